// kSplat: the plain path's splatting kernel. Every sample of every particle copy is placed, projected
// and added as a single pixel into the float accumulator.
#include "kernels/launchers.h"
#include "kernels/splat.h"

#include "cuda/device_loop.h"


namespace tl {

__global__ void kSplat(TLFrame frame, const TLV3* __restrict__ positions, const TLUChar4* __restrict__ colors,
                       const TLV3* __restrict__ velocities, uint64_t n, float* accumulator) {
    const uint64_t stride = gridStride();
    for (uint64_t w = globalThreadIndex(); w < n; w += stride) {
        splatWorkItem(frame, positions, colors, velocities, w, accumulator);
        if (n - w <= stride) break;  // the next index would reach n, or wrap past 2^64
    }
}

gpu::Error launchSplat(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLUChar4* colors,
                       const TLV3* velocities, uint64_t n, float* accumulator) {
    kSplat<<<cfg.blocks, cfg.threadsPerBlock>>>(frame, positions, colors, velocities, n, accumulator);
    return launchError();
}

// A kernel launch needs nothing prepared.
void prepareSplat(uint64_t, int32_t, int32_t) {}

}  // namespace tl

