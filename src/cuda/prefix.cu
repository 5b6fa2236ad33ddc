// kPrefix: turns columns of deep-map slices into mid-slice running sums (the shadow maps per view,
// the camera depth map with each pixel's total). One column per work item; in a map of
// several columns a row, neighbouring work items read neighbouring floats.
#include "kernels/deep_maps.h"
#include "kernels/launchers.h"

#include "cuda/device_loop.h"


namespace tl {

__global__ void kPrefix(float* data, uint64_t columns, int32_t slices, uint64_t rowLength, float* totals) {
    const uint64_t stride = gridStride();
    for (uint64_t c = globalThreadIndex(); c < columns; c += stride) {
        const float total = slices < 1 ? 0.0f : prefixColumn(mapColumn(data, c, slices, rowLength), slices);
        if (totals) totals[c] = total;
        if (columns - c <= stride) break;  // the next index would reach columns, or wrap past 2^64
    }
}

gpu::Error launchPrefix(LaunchConfig cfg, float* data, uint64_t columns, int32_t slices, uint64_t rowLength,
                        float* totals) {
    if (rowLength == 0) return gpu::kErrorInvalidValue;
    kPrefix<<<cfg.blocks, cfg.threadsPerBlock>>>(data, columns, slices, rowLength, totals);
    return launchError();
}

}  // namespace tl

