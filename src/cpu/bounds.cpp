// kBounds: one reduction over all particles for the lighting path (box, largest squared speed,
// moments). Partials are reduced within a warp (or a host worker) first, so each warp touches the
// records with 13 atomics only.
#include "kernels/bounds.h"
#include "kernels/launchers.h"

#include <omp.h>

#include "cpu/launch.h"
#include "cpu/simd.h"

namespace tl {
namespace {

TL_FMA_CLONES
void boundsRange(BoundsPartial& b, const TLV3* positions, const TLV3* velocities, uint64_t begin, uint64_t end) {
    for (uint64_t i = begin; i < end; ++i) boundsAdd(b, positions[i], velocities ? velocities + i : nullptr);
}

}  // namespace

gpu::Error launchBounds(LaunchConfig cfg, const TLV3* positions, const TLV3* velocities, uint64_t count, float* bounds,
                        double* moments) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    // One partial per worker over a contiguous range, merged with the same atomics a warp uses.
#pragma omp parallel
    {
        BoundsPartial b = boundsStart();
        const uint64_t t = static_cast<uint64_t>(omp_get_thread_num()), used = static_cast<uint64_t>(omp_get_num_threads());
        boundsRange(b, positions, velocities, count / used * t + (t < count % used ? t : count % used),
                    count / used * (t + 1) + (t + 1 < count % used ? t + 1 : count % used));
        boundsMerge(b, bounds, moments);
    }
    return gpu::kSuccess;
}

}  // namespace tl
