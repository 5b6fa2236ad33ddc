// Sequences of tlReserve, tlUpload, tlSetCount, tlGenerateTestCloud, tlGetCount and small frames with
// arbitrary arguments and runtime failures injected at any call. A model of the store
// (capacity, count and the two velocity flags, as the particle store's tables give them) is checked
// after every call, every failure must name its step and the runtime's error, and at the end the
// context must still fill its store and render.
//
// Device allocations are limited to 1 MiB, so reservations between that and the estimate of free
// memory reach the allocation failures without the memory. Amounts come in three bands: small (under
// 4096), medium (under 2^23, mostly beyond the limit) and any 64-bit value shifted right by 0 to 63
// bits (the "Not enough VRAM" and "particle count too large" refusals).
//
// Input: a sequence of operations, each an operation byte followed by its arguments.
#include <cstring>
#include <string>
#include <vector>

#include "api/context.h"
#include "fuzz_support.h"
#include "library_checks.h"
#include "taluna.h"

namespace {

using taluna::fuzz::Input;

constexpr size_t kAllocationLimit = 1u << 20;
constexpr int kMaxOperations = 64;
constexpr uint64_t kMaxRenderedParticles = 1u << 17;

struct Model {
    uint64_t capacity = 0;
    uint64_t count = 0;
    bool hasVelocity = false;
    bool velocityValid = false;
};

uint64_t amount(Input& in) {
    const uint64_t v = in.take<uint64_t>();
    switch (v >> 62) {
        case 0:
        case 1: return v % 4096u;
        case 2: return v % (1u << 23);
        default: return v >> (v & 63u);
    }
}

void expectState(TLContext* ctx, const Model& m) {
    FUZZ_CHECK(tlGetCount(ctx) == m.count, "count " + std::to_string(m.count));
    FUZZ_CHECK(ctx->store.capacity == m.capacity, "capacity " + std::to_string(m.capacity));
    FUZZ_CHECK((ctx->store.hasVelocity) == m.hasVelocity, "hasVelocity");
    FUZZ_CHECK((ctx->store.velocityValid) == m.velocityValid, "velocityValid");
    FUZZ_CHECK(ctx->store.count <= ctx->store.capacity, "count within capacity");
}

// tlReserve's effect on the model, from its result and message; returns whether it reallocated.
bool applyReserve(TLContext* ctx, Model& m, uint64_t n, bool withVelocity, int rc, bool faulted) {
    const std::string error = tlLastError(ctx);
    if (n <= m.capacity && (!withVelocity || m.hasVelocity)) {
        FUZZ_CHECK(rc == 0, "a reservation within the capacity changes nothing");
        return false;
    }
    if (n > UINT64_MAX / (withVelocity ? 28u : 16u)) {
        FUZZ_CHECK(rc == 1 && error == "tlReserve: particle count too large", error);
        return false;
    }
    if (rc == 0) {
        m = Model{n, 0, withVelocity, false};
        return true;
    }
    if (error.rfind("Not enough VRAM: needs ", 0) == 0) {
        FUZZ_CHECK(error.find(" GB, approx. ") != std::string::npos && error.size() > 40 &&
                       error.compare(error.size() - 13, 13, " GB available") == 0,
                   error);
        return false;
    }
    FUZZ_CHECK(taluna::fuzz::isStepFailure(error), error);
    // Without an injected failure only the allocation limit refuses, and only a large array.
    FUZZ_CHECK(faulted || n * 12u > kAllocationLimit, "an allocation within the limit failed: " + error);
    m = Model{};
    return true;
}

void upload(TLContext* ctx, Model& m, Input& in, bool faulted) {
    const uint8_t flags = in.byte();
    const uint64_t n = amount(in), offset = amount(in);
    const bool nullPositions = flags & 1, withColors = flags & 2, withVelocities = flags & 4;
    uint64_t end = 0;
    const bool fits = !__builtin_add_overflow(offset, n, &end) && end <= m.capacity;
    // Arrays of n entries where the upload is accepted; a single entry where it must be refused
    // before reading (the sanitizer reports any read beyond it).
    const bool accepted = !nullPositions && fits && !(withVelocities && !m.hasVelocity);
    const size_t entries = accepted && n > 0 ? size_t(n) : 1;
    std::vector<TLV3> positions(entries), velocities(entries);
    std::vector<TLUChar4> colors(entries);
    for (size_t i = 0; i < entries && i < 8; ++i) {
        in.bytes(&positions[i], sizeof(TLV3));
        in.bytes(&colors[i], sizeof(TLUChar4));
        in.bytes(&velocities[i], sizeof(TLV3));
    }
    positions.back() = positions.front();
    const int rc = tlUpload(ctx, nullPositions ? nullptr : positions.data(), withColors ? colors.data() : nullptr,
                            withVelocities ? velocities.data() : nullptr, n, offset);
    const std::string error = tlLastError(ctx);
    if (nullPositions) {
        FUZZ_CHECK(rc == 1 && error == "tlUpload: invalid parameters", error);
    } else if (!fits) {
        FUZZ_CHECK(rc == 1 && error == "tlUpload: capacity exceeded (call tlReserve first)", error);
    } else if (withVelocities && !m.hasVelocity) {
        FUZZ_CHECK(rc == 1 && error == "tlUpload: velocity passed but reserved without velocity", error);
    } else if (rc == 1) {
        FUZZ_CHECK(faulted, "an upload failed without an injected failure: " + error);
        FUZZ_CHECK(taluna::fuzz::isStepFailure(error), error);
    } else {
        FUZZ_CHECK(rc == 0, "0 or 1");
        if (offset == 0) m.velocityValid = withVelocities;
        if (end > m.count) m.count = end;
        if (n > 0) {
            // The last entry arrived, with white and zero where nothing was given.
            const uint64_t last = offset + n - 1;
            FUZZ_CHECK(std::memcmp(&ctx->store.positions.get()[last], &positions.back(), sizeof(TLV3)) == 0, "position");
            const TLUChar4 white{255, 255, 255, 255};
            FUZZ_CHECK(std::memcmp(&ctx->store.colors.get()[last], withColors ? &colors.back() : &white, 4) == 0, "colour");
            if (m.hasVelocity) {
                const TLV3 zero{0.0f, 0.0f, 0.0f};
                FUZZ_CHECK(std::memcmp(&ctx->store.velocity.get()[last], withVelocities ? &velocities.back() : &zero,
                                       sizeof(TLV3)) == 0,
                           "velocity");
            }
        }
    }
}

void generate(TLContext* ctx, Model& m, Input& in, bool faulted) {
    const uint64_t n = amount(in);
    const uint32_t seed = in.take<uint32_t>();
    const bool withVelocity = in.byte() & 1;
    const int rc = tlGenerateTestCloud(ctx, n, seed, withVelocity);
    const std::string error = tlLastError(ctx);
    const bool generatorFailed =
        rc == 1 && taluna::fuzz::isStepFailure(error) && error.find("generator kernel: ") != std::string::npos;
    // Its reservation behaves as tlReserve, and only a failure of the kernel comes after it.
    applyReserve(ctx, m, n, withVelocity, generatorFailed ? 0 : rc, faulted);
    if (generatorFailed) {
        FUZZ_CHECK(faulted, "the generator failed without an injected failure: " + error);
    } else if (rc == 0) {
        m.count = n;
        m.velocityValid = withVelocity;
    }
}

void renderFrame(TLContext* ctx, const Model& m, bool faulted) {
    if (m.count > kMaxRenderedParticles) return;
    const TLCamera camera = tlDefaultCamera();
    TLRenderSettings s = tlDefaultSettings();
    s.width = 8, s.height = 6, s.intensity = 1.0f, s.samples = 2, s.shutter = 1.0f;
    std::vector<TLUChar4> rgba(48);
    const int rc = tlRender(ctx, &camera, &s, nullptr, 0, rgba.data(), nullptr, nullptr);
    if (rc != 0) {
        FUZZ_CHECK(faulted, std::string("a frame failed without an injected failure: ") + tlLastError(ctx));
        FUZZ_CHECK(taluna::fuzz::isStepFailure(tlLastError(ctx)), tlLastError(ctx));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    TLContext* ctx = tlCreate(0);
    FUZZ_CHECK(ctx && tlLastError(ctx)[0] == 0, "a context");
    tl::gpu::cpu::limitAllocations(kAllocationLimit);
    Model m;
    bool faulted = false;
    for (int op = 0; op < kMaxOperations && in.remaining() > 0; ++op) {
        switch (in.byte() % 8) {
            case 0: {
                const uint64_t n = amount(in);
                const bool withVelocity = in.byte() & 1;
                const int rc = tlReserve(ctx, n, withVelocity);
                FUZZ_CHECK(rc == 0 || rc == 1, "0 or 1");
                applyReserve(ctx, m, n, withVelocity, rc, faulted);
                break;
            }
            case 1: upload(ctx, m, in, faulted); break;
            case 2: {
                const uint64_t n = amount(in);
                const int rc = tlSetCount(ctx, n);
                if (n <= m.capacity) {
                    FUZZ_CHECK(rc == 0, "a count within the capacity");
                    m.count = n;
                } else {
                    FUZZ_CHECK(rc == 1 && std::string(tlLastError(ctx)) == "tlSetCount: larger than capacity",
                               tlLastError(ctx));
                }
                break;
            }
            case 3: generate(ctx, m, in, faulted); break;
            case 4: renderFrame(ctx, m, faulted); break;
            case 5: {
                const uint8_t site = in.byte(), call = in.byte(), code = in.byte();
                faulted = taluna::fuzz::armFault(site, call, code) || faulted;
                break;
            }
            case 6: break;  // nothing: null contexts are the API tests' business
            default:
                taluna::fuzz::disarmFaults();
                faulted = false;
                break;
        }
        expectState(ctx, m);
    }
    taluna::fuzz::disarmFaults();

    // Whatever happened, the context fills its store and renders.
    FUZZ_CHECK(tlGenerateTestCloud(ctx, 256, 1, 0) == 0, tlLastError(ctx));
    FUZZ_CHECK(tlGetCount(ctx) == 256, "count after the last cloud");
    Model after;
    after.count = 256;
    renderFrame(ctx, after, false);
    tl::gpu::cpu::limitAllocations(0);
    tlDestroy(ctx);
    return 0;
}
