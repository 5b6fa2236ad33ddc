// kGenerateGalaxy: fills the particle store with the procedural galaxy, one particle per work item.
#include "kernels/galaxy.h"
#include "kernels/kernels.h"

#if defined(__CUDACC__)
#include "kernels/device_loop.h"

namespace tl {

__global__ void kGenerateGalaxy(TLV3* positions, TLUChar4* colors, TLV3* velocity, uint64_t n, uint32_t seed) {
    for (uint64_t i = globalThreadIndex(); i < n; i += gridStride()) {
        storeGalaxyParticle(i, seed, positions, colors, velocity);
    }
}

void launchGenerateGalaxy(LaunchConfig cfg, TLV3* positions, TLUChar4* colors, TLV3* velocity, uint64_t n,
                          uint32_t seed) {
    kGenerateGalaxy<<<cfg.blocks, cfg.threadsPerBlock>>>(positions, colors, velocity, n, seed);
}

}  // namespace tl

#else
#include "gpu/cpu_launch.h"

namespace tl {

void launchGenerateGalaxy(LaunchConfig cfg, TLV3* positions, TLUChar4* colors, TLV3* velocity, uint64_t n,
                          uint32_t seed) {
    if (!gpu::cpu::launchAccepted(cfg)) return;
    gpu::cpu::parallelFor(n, [&](uint64_t i) {
        storeGalaxyParticle(i, seed, positions, colors, velocity);
    });
}

}  // namespace tl
#endif
