// kGenerateGalaxy: fills the particle store with the procedural galaxy, one particle per work item.
#include "kernels/galaxy.h"
#include "kernels/launchers.h"

#include "cpu/launch.h"
#include "cpu/simd.h"

namespace tl {
namespace {

TL_FMA_CLONES
void galaxyRange(uint64_t begin, uint64_t end, uint64_t first, uint32_t seed, TLV3* positions, TLUChar4* colors,
                 TLV3* velocity) {
    for (uint64_t i = begin; i < end; ++i) storeGalaxyParticle(i, first, seed, positions, colors, velocity);
}

}  // namespace

gpu::Error launchGenerateGalaxy(LaunchConfig cfg, TLV3* positions, TLUChar4* colors, TLV3* velocity, uint64_t first,
                                uint64_t n, uint32_t seed) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    constexpr uint64_t kParticlesAtATime = 4096;
    gpu::cpu::parallelFor((n + kParticlesAtATime - 1) / kParticlesAtATime, [&](uint64_t k) {
        const uint64_t begin = k * kParticlesAtATime;
        galaxyRange(begin, n - begin < kParticlesAtATime ? n : begin + kParticlesAtATime, first, seed, positions, colors,
                    velocity);
    });
    return gpu::kSuccess;
}

}  // namespace tl
