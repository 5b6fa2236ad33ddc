// kPrefix: turns columns of deep-map slices into mid-slice running sums (the shadow maps per view,
// the camera depth map with each pixel's total). One column per work item, walked in order.
#include "kernels/deep_maps.h"
#include "kernels/launchers.h"

#include "cpu/launch.h"

namespace tl {

gpu::Error launchPrefix(LaunchConfig cfg, float* data, uint64_t columns, int32_t slices, float* totals) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    gpu::cpu::parallelFor(columns, [&](uint64_t c) {
        float* column = data + c * static_cast<uint64_t>(slices);
        // Most columns of a sparse map are empty, and stay so: reading them is enough. (Cleared
        // entries are +0.0, which the running sums would leave unchanged.)
        uint32_t bits = 0;
        for (int32_t s = 0; s < slices; ++s) bits |= floatBits(column[s]);
        const float total = bits == 0u ? 0.0f : prefixColumn(column, slices);
        if (totals) totals[c] = total;
    });
    return gpu::kSuccess;
}

}  // namespace tl
