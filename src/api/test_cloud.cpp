// The procedural test cloud, generated on the device, whole or a range of its particles.
#include "api/context.h"
#include "kernels/launchers.h"

namespace tl {

int generateTestCloud(TLContext* ctx, uint64_t first, uint64_t n, uint32_t seed, int withVelocity) {
    if (reserve(ctx, n, withVelocity) != 0 || !selectDevice(ctx)) return 1;
    ParticleStore& store = ctx->store;
    int multiprocessors = 0;
    gpu::multiProcessorCount(&multiprocessors, ctx->device);
    const LaunchConfig cfg{gridSizeFor(n, 256, multiprocessors), 256};
    const gpu::Error err = launchGenerateGalaxy(cfg, store.positions.get(), store.colors.get(),
                                                withVelocity ? store.velocity.get() : nullptr, first, n, seed);
    if (checkCuda(ctx, err, "launch generator kernel")) return 1;
    if (checkCuda(ctx, gpu::deviceSynchronize(), "run generator kernel")) return 1;
    store.count = n;
    store.velocityValid = withVelocity != 0;
    return 0;
}

int generateTestCloudRange(TLContext* ctx, uint64_t first, uint64_t n, uint32_t seed, int withVelocity) {
    // Indices beyond 2^64 - 1 would wrap onto the start of the cloud.
    if (n > UINT64_MAX - first) {
        setError(ctx, "tlGenerateTestCloudRange: invalid parameters");
        return 1;
    }
    return generateTestCloud(ctx, first, n, seed, withVelocity);
}

}  // namespace tl
