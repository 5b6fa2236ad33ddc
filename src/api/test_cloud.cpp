// The procedural test cloud, generated on the device, and the launch-size rule shared by all kernels.
#include "api/context.h"
#include "gpu/check.h"
#include "kernels/kernels.h"

namespace tl {

uint32_t gridSizeFor(TLContext* ctx, uint64_t n, uint32_t blockSize) {
    int sm = 0;
    gpu::multiProcessorCount(&sm, ctx->device);
    if (blockSize == 0) blockSize = 1;
    uint64_t blocks = n / blockSize + (n % blockSize != 0 ? 1 : 0);
    if (blocks < 1) blocks = 1;
    const uint64_t limit = sm > 0 ? 32ull * static_cast<uint64_t>(sm) : 32ull * 64ull;
    return static_cast<uint32_t>(blocks < limit ? blocks : limit);
}

}  // namespace tl

using namespace tl;

extern "C" TL_API int tlGenerateTestCloud(TLContext* ctx, uint64_t n, uint32_t seed, int withVelocity) {
    if (!ctx) return 1;
    return guarded(ctx, 1, [&] {
        if (tlReserve(ctx, n, withVelocity) != 0) return 1;
        if (!selectDevice(ctx)) return 1;
        const LaunchConfig cfg{gridSizeFor(ctx, n, 256), 256};
        launchGenerateGalaxy(cfg, ctx->positions, ctx->colors, withVelocity ? ctx->velocity : nullptr, n, seed);
        if (checkCuda(ctx, gpu::getLastError(), "launch generator kernel")) return 1;
        if (checkCuda(ctx, gpu::deviceSynchronize(), "run generator kernel")) return 1;
        ctx->count = n;
        ctx->velocityValid = withVelocity ? 1 : 0;
        return 0;
    });
}
