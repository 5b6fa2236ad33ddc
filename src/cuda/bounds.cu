// kBounds: one reduction over all particles for the lighting path (box, largest squared speed,
// moments). Partials are reduced within a warp (or a host worker) first, so each warp touches the
// records with 13 atomics only.
#include "kernels/bounds.h"
#include "kernels/launchers.h"

#include "cuda/device_loop.h"


namespace tl {

__global__ void kBounds(const TLV3* __restrict__ positions, const TLV3* __restrict__ velocities, uint64_t count,
                        float* bounds, double* moments) {
    BoundsPartial b = boundsStart();
    const uint64_t stride = gridStride();
    for (uint64_t i = globalThreadIndex(); i < count; i += stride) {
        boundsAdd(b, positions[i], velocities ? velocities + i : nullptr);
        if (count - i <= stride) break;  // the next index would reach count, or wrap past 2^64
    }
    // Every lane takes part, also those that had no particle: they carry the start values.
    for (int offset = 16; offset > 0; offset >>= 1) {
        BoundsPartial o;
        for (int a = 0; a < 3; ++a) {
            o.min[a] = __shfl_down_sync(0xFFFFFFFFu, b.min[a], offset);
            o.max[a] = __shfl_down_sync(0xFFFFFFFFu, b.max[a], offset);
            o.sum[a] = __shfl_down_sync(0xFFFFFFFFu, b.sum[a], offset);
            o.sumSq[a] = __shfl_down_sync(0xFFFFFFFFu, b.sumSq[a], offset);
        }
        o.speedSq = __shfl_down_sync(0xFFFFFFFFu, b.speedSq, offset);
        boundsCombine(b, o);
    }
    if ((threadIdx.x & 31u) == 0u) boundsMerge(b, bounds, moments);
}

gpu::Error launchBounds(LaunchConfig cfg, const TLV3* positions, const TLV3* velocities, uint64_t count, float* bounds,
                        double* moments) {
    kBounds<<<cfg.blocks, cfg.threadsPerBlock>>>(positions, velocities, count, bounds, moments);
    return launchError();
}

}  // namespace tl

