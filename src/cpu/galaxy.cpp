// kGenerateGalaxy: fills the particle store with the procedural galaxy, one particle per work item.
#include "kernels/galaxy.h"
#include "kernels/launchers.h"

#include "cpu/launch.h"

namespace tl {

gpu::Error launchGenerateGalaxy(LaunchConfig cfg, TLV3* positions, TLUChar4* colors, TLV3* velocity, uint64_t first,
                                uint64_t n, uint32_t seed) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    gpu::cpu::parallelFor(n, [&](uint64_t i) {
        storeGalaxyParticle(i, first, seed, positions, colors, velocity);
    });
    return gpu::kSuccess;
}

}  // namespace tl
