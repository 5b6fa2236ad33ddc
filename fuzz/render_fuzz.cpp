// tlRender with arbitrary camera, settings and lights over a small cloud, on both paths, with a runtime
// failure injected at any step: 0 or 1, a failure names its step and the runtime's error, a refusal
// writes no output, and the context renders afterwards. Allocations are limited to 1 MiB, so sizes of
// any value reach their refusals; only the work (particles x copies x samples) is capped.
// Input: Control, TLCamera, TLRenderSettings, the light count (int32), Control::lightsGiven (at most
// 8) TLLight records, then for cloud 3 each particle's position, colour and velocity.
#include "fuzz_support.h"
#include "library_checks.h"  // with <cstring>, <string> and <vector>
#include "taluna.h"

namespace {

using taluna::fuzz::Input;

constexpr size_t kAllocationLimit = 1u << 20;
constexpr int kMaxLights = 8;

struct Control {
    // Bits 0-1 the cloud (0 empty, 1 test cloud, 2 with velocity, 3 from the input); bit 2 an 8-bit
    // image, 3 a float image, 4 the time; bit 5 a null light array, 6 a null camera, 7 null settings.
    uint8_t flags, particles, seed, faultSite, faultCall, faultCode, lightsGiven, unused;
};

void fillCloud(TLContext* ctx, const Control& c, Input& in) {
    const uint64_t n = c.particles;
    if ((c.flags & 3) == 0) FUZZ_CHECK(tlReserve(ctx, 16, 0) == 0, tlLastError(ctx));
    if ((c.flags & 3) == 1 || (c.flags & 3) == 2)
        FUZZ_CHECK(tlGenerateTestCloud(ctx, n, c.seed, (c.flags & 3) == 2) == 0, tlLastError(ctx));
    if ((c.flags & 3) == 3) {
        std::vector<TLV3> positions(n), velocities(n);
        std::vector<TLUChar4> colors(n);
        taluna::fuzz::readParticles(in, positions.data(), colors.data(), velocities.data(), n);
        FUZZ_CHECK(tlReserve(ctx, n, 1) == 0, tlLastError(ctx));
        if (n > 0)
            FUZZ_CHECK(tlUpload(ctx, positions.data(), colors.data(), velocities.data(), n, 0) == 0, tlLastError(ctx));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const Control c = in.take<Control>();
    TLCamera camera = in.take<TLCamera>();
    TLRenderSettings settings = in.take<TLRenderSettings>();
    const int32_t lightCount = in.take<int32_t>();
    TLLight lights[kMaxLights] = {};  // the library reads at most eight, whatever the count says
    for (int l = 0; l < kMaxLights && l < c.lightsGiven; ++l) lights[l] = in.take<TLLight>();

    TLContext* ctx = tlCreate(0);
    FUZZ_CHECK(ctx && tlLastError(ctx)[0] == 0, "a context");
    tl::gpu::cpu::limitAllocations(kAllocationLimit);
    fillCloud(ctx, c, in);
    const uint64_t count = tlGetCount(ctx);

    const bool nullCamera = c.flags & 64, nullSettings = c.flags & 128, nullLights = c.flags & 32;
    // Particles x copies x samples as the driver counts them, capped where it fits 64 bits.
    const uint64_t copies = settings.jitterCount > 0 ? uint64_t(settings.jitterCount) + 1u : 1u;
    const uint64_t samples = settings.samples > 0 ? uint64_t(settings.samples) : 1u;
    uint64_t perParticle = 0, work = 0;
    const bool workFits = !__builtin_mul_overflow(copies, samples, &perParticle) &&
                          !__builtin_mul_overflow(count, perParticle, &work);
    if (workFits && work > (1u << 16) && settings.jitterCount > 0) settings.jitterCount %= 4;
    if (workFits && work > (1u << 16) && settings.samples > 0) settings.samples = 1 + settings.samples % 8;
    const int64_t pixels = int64_t(settings.width) * int64_t(settings.height);
    const bool validSize = settings.width >= 1 && settings.height >= 1 && pixels <= INT32_MAX;
    const bool refused = nullCamera || nullSettings || !validSize || !workFits;
    const bool lit = !nullSettings && settings.lightingMode == TL_LIGHTING_LIT;
    const bool imageFits = validSize && uint64_t(pixels) * 16u <= kAllocationLimit;

    // Outputs of the frame's size where it can be rendered, else one pixel (the sanitizer reports more).
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
    tl::gpu::cpu::clearFaults();

    FUZZ_CHECK(rc == 0 || rc == 1, "0 or 1");
    FUZZ_CHECK(tlGetCount(ctx) == count, "a frame leaves the store alone");
    const bool invalid = error == "tlRender: invalid parameters";
    if (refused) {
        FUZZ_CHECK(rc == 1 && invalid, error);
    } else if (rc == 1) {
        // Only the lit path has grow-only buffers that refuse a size.
        FUZZ_CHECK(invalid || taluna::fuzz::isStepFailure(error, lit), error);
        // Without an injected failure only allocations beyond the limit and a missing light array fail.
        if (!faulted && !imageFits) FUZZ_CHECK(error == "cudaMalloc accumulator: out of memory", error);
        else if (!faulted && invalid) FUZZ_CHECK(lit && nullLights && lightCount > 0, "only a missing light array");
        else if (!faulted)
            FUZZ_CHECK(lit && (error.starts_with("cudaMalloc shadow maps: ") ||
                               error.starts_with("cudaMalloc camera depth map: ")), error);
    } else {
        FUZZ_CHECK(imageFits, "a frame beyond the allocation limit was rendered");
        FUZZ_CHECK(!(lit && nullLights && lightCount > 0), "a positive light count without lights was accepted");
        if (c.flags & 16) FUZZ_CHECK(ms >= 0.0f, "a non-negative time");
        if (c.flags & 4)
            for (const TLUChar4& p : rgba) FUZZ_CHECK(p.w == 255, "the 8-bit image is opaque");
    }
    if (rc == 1 && !faulted) {
        FUZZ_CHECK(ms == -1.0f, "no time written by a failed frame");
        for (size_t i = 0; i < outPixels; ++i)
            FUZZ_CHECK(!std::memcmp(&rgba[i], &rgbaMark, 4) && !std::memcmp(&floats[i], &floatMark, 16), "untouched");
    }

    // Whatever failed, a plain and a lit frame render.
    FUZZ_CHECK(taluna::fuzz::renderSmallFrame(ctx, false) == 0 && taluna::fuzz::renderSmallFrame(ctx, true) == 0,
               tlLastError(ctx));
    tl::gpu::cpu::limitAllocations(0);
    tlDestroy(ctx);
    return 0;
}
