// kPrefix: turns columns of deep-map slices into mid-slice running sums (the shadow maps per view,
// the camera depth map with each pixel's total). One column per work item, walked in order.
#include "kernels/deep_maps.h"
#include "kernels/launchers.h"

#include "cpu/launch.h"
#include "cpu/simd.h"

namespace tl {
namespace {

TL_FMA_CLONES
void prefixColumns(float* data, uint64_t begin, uint64_t end, int32_t slices, float* totals) {
    for (uint64_t c = begin; c < end; ++c) {
        float* column = data + c * static_cast<uint64_t>(slices);
        // Most columns of a sparse map are empty, and stay so: reading them is enough. (Cleared
        // entries are +0.0, which the running sums would leave unchanged.)
        uint32_t bits = 0;
        for (int32_t s = 0; s < slices; ++s) bits |= floatBits(column[s]);
        const float total = bits == 0u ? 0.0f : prefixColumn(column, slices);
        if (totals) totals[c] = total;
    }
}

}  // namespace

gpu::Error launchPrefix(LaunchConfig cfg, float* data, uint64_t columns, int32_t slices, float* totals) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    constexpr uint64_t kColumnsAtATime = 1024;
    const uint64_t pieces = (columns + kColumnsAtATime - 1) / kColumnsAtATime;
    gpu::cpu::parallelFor(pieces, [&](uint64_t k) {
        const uint64_t begin = k * kColumnsAtATime;
        prefixColumns(data, begin, columns - begin < kColumnsAtATime ? columns : begin + kColumnsAtATime, slices,
                      totals);
    });
    return gpu::kSuccess;
}

}  // namespace tl
