// kPrefix: turns columns of deep-map slices into mid-slice running sums (the shadow maps per view,
// the camera depth map with each pixel's total). One column per work item, walked in order.
#include "kernels/deep_maps.h"
#include "kernels/volume_kernels.h"

#if defined(__CUDACC__)
#include "kernels/device_loop.h"

namespace tl {

__global__ void kPrefix(float* data, uint64_t columns, int32_t slices, float* totals) {
    const uint64_t stride = gridStride();
    for (uint64_t c = globalThreadIndex(); c < columns; c += stride) {
        const float total = slices < 1 ? 0.0f : prefixColumn(data + c * static_cast<uint64_t>(slices), slices);
        if (totals) totals[c] = total;
        if (columns - c <= stride) break;  // the next index would reach columns, or wrap past 2^64
    }
}

void launchPrefix(LaunchConfig cfg, float* data, uint64_t columns, int32_t slices, float* totals) {
    kPrefix<<<cfg.blocks, cfg.threadsPerBlock>>>(data, columns, slices, totals);
}

}  // namespace tl

#else
#include "gpu/cpu_launch.h"

namespace tl {

void launchPrefix(LaunchConfig cfg, float* data, uint64_t columns, int32_t slices, float* totals) {
    if (!gpu::cpu::launchAccepted(cfg)) return;
    gpu::cpu::parallelFor(columns, [&](uint64_t c) {
        float* column = data + c * static_cast<uint64_t>(slices);
        // Most columns of a sparse map are empty, and stay so: reading them is enough. (Cleared
        // entries are +0.0, which the running sums would leave unchanged.)
        uint32_t bits = 0;
        for (int32_t s = 0; s < slices; ++s) bits |= floatBits(column[s]);
        const float total = bits == 0u ? 0.0f : prefixColumn(column, slices);
        if (totals) totals[c] = total;
    });
}

}  // namespace tl
#endif
