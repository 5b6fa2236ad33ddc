// tlRender on the CPU library with arbitrary camera, settings and light records (NaN, infinities,
// negative and huge sizes, counts and slice numbers) over a small cloud, on both paths, with a
// runtime failure injected at any step. Every call must return 0 or 1; a failure must carry a
// message naming the failed step and the runtime's description of the error; a refusal must come before any output is written; and afterwards
// the context must render a valid frame.
//
// Device allocations are limited to 1 MiB, so image, shadow-map and depth-map sizes of any value
// reach their refusals without the machine holding the memory. The harness caps only the number of
// samples (particles x copies x samples), which no allocation bounds, unless it overflows 64 bits and
// must be refused.
//
// Input, in this order (missing bytes read as zero):
//   control   8 bytes: flags (bits 0-1 cloud: 0 empty, 1 test cloud, 2 test cloud with velocity,
//             3 particles from the input; bit 2 8-bit image, bit 3 float image, bit 4 time, bit 5 null
//             light array, bit 6 null camera, bit 7 null settings), particle count, cloud seed, fault
//             site (1 to 6, else none), its call number, its error code, number of light records given
//             (at most 8), unused
//   TLCamera, TLRenderSettings, the light count (int32), the light records, then per particle (cloud 3)
//   position, colour and velocity.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "library_checks.h"
#include "taluna.h"

namespace {

using taluna::fuzz::Input;

constexpr size_t kAllocationLimit = 1u << 20;
constexpr uint64_t kMaxWork = 1u << 16;
constexpr int kMaxLights = 8;

struct Control {
    uint8_t flags;
    uint8_t particles;
    uint8_t seed;
    uint8_t faultSite;
    uint8_t faultCall;
    uint8_t faultCode;
    uint8_t lightsGiven;
    uint8_t unused;
};
static_assert(sizeof(Control) == 8);

bool knownFailure(const std::string& text, bool lit) {
    if (text == "tlRender: invalid parameters") return true;
    // Only the lit path has grow-only buffers that refuse a size.
    return taluna::fuzz::isStepFailure(text, lit);
}

// Fills the store; returns false when the control asks for nothing that needs checking.
void fillCloud(TLContext* ctx, const Control& c, Input& in) {
    const uint64_t n = c.particles;
    switch (c.flags & 3) {
        case 0:
            FUZZ_CHECK(tlReserve(ctx, 16, 0) == 0, tlLastError(ctx));
            break;
        case 1:
        case 2:
            FUZZ_CHECK(tlGenerateTestCloud(ctx, n, c.seed, (c.flags & 3) == 2) == 0, tlLastError(ctx));
            break;
        default: {
            std::vector<TLV3> positions(n), velocities(n);
            std::vector<TLUChar4> colors(n);
            for (uint64_t i = 0; i < n; ++i) {
                in.bytes(&positions[i], sizeof(TLV3));
                in.bytes(&colors[i], sizeof(TLUChar4));
                in.bytes(&velocities[i], sizeof(TLV3));
            }
            FUZZ_CHECK(tlReserve(ctx, n, 1) == 0, tlLastError(ctx));
            if (n > 0) {
                FUZZ_CHECK(tlUpload(ctx, positions.data(), colors.data(), velocities.data(), n, 0) == 0,
                           tlLastError(ctx));
            }
        }
    }
}

// Particles x copies x samples as the driver counts them; false when it does not fit 64 bits.
bool workCount(uint64_t count, const TLRenderSettings& s, uint64_t* work) {
    const uint64_t copies = s.jitterCount > 0 ? static_cast<uint64_t>(s.jitterCount) + 1u : 1u;
    const uint64_t samples = s.samples > 0 ? static_cast<uint64_t>(s.samples) : 1u;
    uint64_t perParticle = 0;
    return !__builtin_mul_overflow(copies, samples, &perParticle) &&
           !__builtin_mul_overflow(count, perParticle, work);
}

// A plain frame, and a lit one with a shadow-casting light, both of a valid size: a context that has
// been through any failure must still render them.
void renderValidFrames(TLContext* ctx) {
    const TLCamera camera = tlDefaultCamera();
    TLRenderSettings s = tlDefaultSettings();
    s.width = 8, s.height = 6, s.intensity = 1.0f;
    std::vector<TLUChar4> rgba(48);
    FUZZ_CHECK(tlRender(ctx, &camera, &s, nullptr, 0, rgba.data(), nullptr, nullptr) == 0, tlLastError(ctx));
    s.lightingMode = TL_LIGHTING_LIT;
    s.shadowMapSize = 16, s.shadowSlices = 4, s.depthSlices = 4;
    TLLight sun = tlDefaultLight();
    sun.kind = TL_LIGHT_DIRECTIONAL, sun.castShadows = 1;
    FUZZ_CHECK(tlRender(ctx, &camera, &s, &sun, 1, rgba.data(), nullptr, nullptr) == 0, tlLastError(ctx));
    for (const TLUChar4& p : rgba) FUZZ_CHECK(p.w == 255, "the 8-bit image is opaque");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const Control c = in.take<Control>();
    TLCamera camera = in.take<TLCamera>();
    TLRenderSettings settings = in.take<TLRenderSettings>();
    const int32_t lightCount = in.take<int32_t>();
    TLLight lights[kMaxLights];
    std::memset(lights, 0, sizeof lights);
    // The library reads at most the first eight lights, whatever the count says.
    for (int l = 0; l < kMaxLights && l < c.lightsGiven; ++l) lights[l] = in.take<TLLight>();

    TLContext* ctx = tlCreate(0);
    FUZZ_CHECK(ctx && tlLastError(ctx)[0] == 0, "a context");
    tl::gpu::cpu::limitAllocations(kAllocationLimit);
    fillCloud(ctx, c, in);
    const uint64_t count = tlGetCount(ctx);

    const bool nullCamera = c.flags & 64, nullSettings = c.flags & 128, nullLights = c.flags & 32;
    uint64_t work = 0;
    const bool workFits = workCount(count, settings, &work);
    if (workFits && work > kMaxWork) {
        if (settings.jitterCount > 0) settings.jitterCount %= 4;
        if (settings.samples > 0) settings.samples = 1 + settings.samples % 8;
    }
    const int64_t pixels = int64_t(settings.width) * int64_t(settings.height);
    const bool validSize = settings.width >= 1 && settings.height >= 1 && pixels <= INT32_MAX;
    const bool refused = nullCamera || nullSettings || !validSize || !workFits;
    const bool lit = !nullSettings && settings.lightingMode == TL_LIGHTING_LIT;
    const bool imageFits = validSize && uint64_t(pixels) * 16u <= kAllocationLimit;

    // Outputs of the frame's size where it can be rendered; otherwise a single pixel, which a call
    // that must fail before writing never reaches (the sanitizer reports any write beyond it).
    const size_t outPixels = !refused && imageFits ? size_t(pixels) : 1;
    const TLUChar4 rgbaMark{1, 2, 3, 4};
    const TLFloat4 floatMark{-7.0f, -7.0f, -7.0f, -7.0f};
    std::vector<TLUChar4> rgba(outPixels, rgbaMark);
    std::vector<TLFloat4> floats(outPixels, floatMark);
    float ms = -1.0f;

    const bool faulted = taluna::fuzz::armFault(c.faultSite, c.faultCall, c.faultCode);
    const int rc = tlRender(ctx, nullCamera ? nullptr : &camera, nullSettings ? nullptr : &settings,
                            nullLights ? nullptr : lights, lightCount, (c.flags & 4) ? rgba.data() : nullptr,
                            (c.flags & 8) ? floats.data() : nullptr, (c.flags & 16) ? &ms : nullptr);
    const std::string error = tlLastError(ctx);
    taluna::fuzz::disarmFaults();

    FUZZ_CHECK(rc == 0 || rc == 1, "0 or 1");
    FUZZ_CHECK(tlGetCount(ctx) == count, "a frame leaves the store alone");
    if (refused) {
        FUZZ_CHECK(rc == 1 && error == "tlRender: invalid parameters", error);
    } else if (rc == 1) {
        FUZZ_CHECK(knownFailure(error, lit), error);
        if (!faulted) {
            // Without an injected failure only allocations beyond the limit and a missing light
            // array can fail, all before the first output is written.
            if (!imageFits) FUZZ_CHECK(error == "cudaMalloc accumulator: out of memory", error);
            else if (!lit) FUZZ_CHECK(false, "a plain frame of a size that fits fails: " + error);
            else if (error != "tlRender: invalid parameters")
                FUZZ_CHECK(error.rfind("cudaMalloc shadow maps: ", 0) == 0 ||
                               error.rfind("cudaMalloc camera depth map: ", 0) == 0,
                           error);
            else FUZZ_CHECK(nullLights && lightCount > 0, "only a missing light array is an invalid lit frame");
        }
    } else {
        FUZZ_CHECK(imageFits, "a frame beyond the allocation limit was rendered");
        FUZZ_CHECK(!(lit && nullLights && lightCount > 0), "a positive light count without lights was accepted");
        if (c.flags & 16) FUZZ_CHECK(ms >= 0.0f, "a non-negative time");
        if (c.flags & 4)
            for (const TLUChar4& p : rgba) FUZZ_CHECK(p.w == 255, "the 8-bit image is opaque");
    }
    if (rc == 1 && !faulted) {
        FUZZ_CHECK(ms == -1.0f, "no time written by a failed frame");
        for (const TLUChar4& p : rgba) FUZZ_CHECK(std::memcmp(&p, &rgbaMark, sizeof p) == 0, "8-bit output untouched");
        for (const TLFloat4& p : floats)
            FUZZ_CHECK(std::memcmp(&p, &floatMark, sizeof p) == 0, "float output untouched");
    }

    renderValidFrames(ctx);
    tl::gpu::cpu::limitAllocations(0);
    tlDestroy(ctx);
    return 0;
}
