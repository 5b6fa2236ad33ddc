// Sequences of tlReserve, tlUpload, tlSetCount, tlGenerateTestCloud and small frames with arbitrary
// arguments and runtime failures injected at any call: 0 or 1, a failure is a refusal or names its
// step and the runtime's error, the store stays consistent (its exact rules are the interface tests'),
// and at the end the context fills its store and renders. Allocations are limited to 1 MiB.
// Input: operations, each an operation byte followed by its arguments.
#include "api/context.h"
#include "fuzz_support.h"
#include "library_checks.h"  // with <cstring>, <string> and <vector>
#include "taluna.h"

namespace {

using taluna::fuzz::Input;

constexpr size_t kAllocationLimit = 1u << 20;

// Under 4096, under 2^23, or any 64-bit value shifted right by 0 to 63 bits.
uint64_t amount(Input& in) {
    const uint64_t v = in.take<uint64_t>();
    return v >> 63 == 0 ? v % 4096u : v >> 62 == 2 ? v % (1u << 23) : v >> (v & 63u);
}

// 0, or 1 with a refusal of the interface ("tl<call>: ..." or "Not enough VRAM: ...") or a step
// failure, which needs an injected failure unless an allocation beyond the limit may fail.
void expectResult(TLContext* ctx, int rc, bool faulted, bool mayExhaust) {
    const std::string error = tlLastError(ctx);
    FUZZ_CHECK(rc == 0 || rc == 1, "0 or 1");
    if (rc == 0 || ((error.starts_with("tl") || error.starts_with("Not enough VRAM: needs ")) &&
                    !taluna::fuzz::isStepFailure(error)))
        return;
    FUZZ_CHECK(taluna::fuzz::isStepFailure(error), error);
    FUZZ_CHECK(faulted || mayExhaust, "a step failed without an injected failure: " + error);
}

void upload(TLContext* ctx, Input& in, bool faulted) {
    const uint8_t flags = in.byte();
    const uint64_t n = amount(in), offset = amount(in);
    const bool nullPositions = flags & 1, withColors = flags & 2, withVelocities = flags & 4;
    uint64_t end = 0;
    const bool fits = !__builtin_add_overflow(offset, n, &end) && end <= ctx->store.capacity();
    const bool accepted = !nullPositions && fits && !(withVelocities && !ctx->store.hasVelocity);
    const size_t entries = accepted && n > 0 ? size_t(n) : 1;  // else one: the sanitizer reports reading more
    const bool validBefore = ctx->store.velocityValid;
    std::vector<TLV3> positions(entries), velocities(entries);
    std::vector<TLUChar4> colors(entries);
    taluna::fuzz::readParticles(in, positions.data(), colors.data(), velocities.data(), entries < 8 ? entries : 8);
    positions.back() = positions.front();
    const int rc = tlUpload(ctx, nullPositions ? nullptr : positions.data(), withColors ? colors.data() : nullptr,
                            withVelocities ? velocities.data() : nullptr, n, offset);
    expectResult(ctx, rc, faulted, false);
    FUZZ_CHECK((rc == 1 && !taluna::fuzz::isStepFailure(tlLastError(ctx))) == !accepted, "refused exactly when invalid");
    FUZZ_CHECK(rc == 1 || ctx->store.velocityValid == (offset == 0 ? withVelocities : validBefore), "velocityValid");
    if (rc == 0 && n > 0)
        FUZZ_CHECK(std::memcmp(&ctx->store.positions.get()[end - 1], &positions.back(), sizeof(TLV3)) == 0, "the last entry");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    TLContext* ctx = tlCreate(0);
    FUZZ_CHECK(ctx && tlLastError(ctx)[0] == 0, "a context");
    const auto& store = ctx->store;
    tl::gpu::cpu::limitAllocations(kAllocationLimit);
    bool faulted = false;
    for (int op = 0; op < 64 && in.remaining() > 0; ++op) {
        const uint8_t operation = in.byte() % 8;
        switch (operation) {
            case 0:
            case 3: {  // tlReserve, or tlGenerateTestCloud (its reservation, then the generator)
                const bool generate = operation == 3;
                const uint64_t n = amount(in), before = store.capacity();
                const uint32_t seed = generate ? in.take<uint32_t>() : 0;
                const bool withVelocity = in.byte() & 1;
                const int rc = generate ? tlGenerateTestCloud(ctx, n, seed, withVelocity) : tlReserve(ctx, n, withVelocity);
                expectResult(ctx, rc, faulted, n > kAllocationLimit / 12);
                const std::string error = tlLastError(ctx);  // a reservation failed on the runtime: empty
                if (rc == 1 && taluna::fuzz::isStepFailure(error) && error.find("generator kernel: ") == error.npos)
                    FUZZ_CHECK(store.capacity() == 0 && store.count == 0, "an empty store");
                if (rc == 0 && generate) FUZZ_CHECK(store.count == n && store.velocityValid == withVelocity, "the cloud");
                if (rc == 0 && !generate && n > before) FUZZ_CHECK(store.capacity() == n && store.count == 0, "a fresh reservation");
            } break;
            case 1: upload(ctx, in, faulted); break;
            case 2: {
                const uint64_t n = amount(in);
                const int rc = tlSetCount(ctx, n);
                expectResult(ctx, rc, faulted, false);
                FUZZ_CHECK((rc == 0) == (n <= store.capacity()) && (rc == 1 || store.count == n), "tlSetCount");
            } break;
            case 4:
                if (tlGetCount(ctx) <= (1u << 17)) expectResult(ctx, taluna::fuzz::renderSmallFrame(ctx, false), faulted, false);
                break;
            case 5: {  // a site, its call number, a code
                const uint8_t site = in.byte(), call = in.byte(), code = in.byte();
                faulted = taluna::fuzz::armFault(site, call, code) || faulted;
            } break;
            case 6: break;  // nothing: null contexts are the interface tests' business
            default: tl::gpu::cpu::clearFaults(), faulted = false;
        }
        FUZZ_CHECK(tlGetCount(ctx) == store.count && store.count <= store.capacity(), "count within capacity");
        FUZZ_CHECK(!store.velocityValid || store.hasVelocity, "valid velocities are reserved");
        FUZZ_CHECK(store.capacity() == 0 || store.positions.get(), "a reserved store has positions");
    }
    tl::gpu::cpu::clearFaults();

    // Whatever happened, the context fills its store and renders.
    FUZZ_CHECK(tlGenerateTestCloud(ctx, 256, 1, 0) == 0 && tlGetCount(ctx) == 256, tlLastError(ctx));
    FUZZ_CHECK(taluna::fuzz::renderSmallFrame(ctx, false) == 0, tlLastError(ctx));
    tl::gpu::cpu::limitAllocations(0);
    tlDestroy(ctx);
    return 0;
}
