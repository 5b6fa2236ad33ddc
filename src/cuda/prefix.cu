// kPrefix: turns columns of deep-map slices into mid-slice running sums (the shadow maps per view,
// the camera depth map with each pixel's total). One column per work item, walked in order.
#include "kernels/deep_maps.h"
#include "kernels/launchers.h"

#include "cuda/device_loop.h"


namespace tl {

__global__ void kPrefix(float* data, uint64_t columns, int32_t slices, float* totals) {
    const uint64_t stride = gridStride();
    for (uint64_t c = globalThreadIndex(); c < columns; c += stride) {
        const float total = slices < 1 ? 0.0f : prefixColumn(data + c * static_cast<uint64_t>(slices), slices);
        if (totals) totals[c] = total;
        if (columns - c <= stride) break;  // the next index would reach columns, or wrap past 2^64
    }
}

gpu::Error launchPrefix(LaunchConfig cfg, float* data, uint64_t columns, int32_t slices, float* totals) {
    kPrefix<<<cfg.blocks, cfg.threadsPerBlock>>>(data, columns, slices, totals);
    return launchError();
}

}  // namespace tl

