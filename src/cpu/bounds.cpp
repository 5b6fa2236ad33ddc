// kBounds: one reduction over all particles for the lighting path (box, largest squared speed,
// moments). Partials are reduced within a warp (or a host worker) first, so each warp touches the
// records with 13 atomics only.
#include "kernels/bounds.h"
#include "kernels/launchers.h"

#include "cpu/launch.h"

namespace tl {

gpu::Error launchBounds(LaunchConfig cfg, const TLV3* positions, const TLV3* velocities, uint64_t count, float* bounds,
                        double* moments) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    // One partial per worker, merged with the same atomics a warp uses.
#pragma omp parallel
    {
        BoundsPartial b = boundsStart();
#pragma omp for schedule(static) nowait
        for (uint64_t i = 0; i < count; ++i) boundsAdd(b, positions[i], velocities ? velocities + i : nullptr);
        boundsMerge(b, bounds, moments);
    }
    return gpu::kSuccess;
}

}  // namespace tl
