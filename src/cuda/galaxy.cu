// kGenerateGalaxy: fills the particle store with the procedural galaxy, one particle per work item.
#include "kernels/galaxy.h"
#include "kernels/launchers.h"

#include "cuda/device_loop.h"


namespace tl {

__global__ void kGenerateGalaxy(TLV3* positions, TLUChar4* colors, TLV3* velocity, uint64_t first, uint64_t n,
                                uint32_t seed) {
    for (uint64_t i = globalThreadIndex(); i < n; i += gridStride()) {
        storeGalaxyParticle(i, first, seed, positions, colors, velocity);
    }
}

gpu::Error launchGenerateGalaxy(LaunchConfig cfg, TLV3* positions, TLUChar4* colors, TLV3* velocity, uint64_t first,
                                uint64_t n, uint32_t seed) {
    kGenerateGalaxy<<<cfg.blocks, cfg.threadsPerBlock>>>(positions, colors, velocity, first, n, seed);
    return launchError();
}

}  // namespace tl

