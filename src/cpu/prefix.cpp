// kPrefix: turns columns of deep-map slices into mid-slice running sums (the shadow maps per view,
// the camera depth map with each pixel's total). Contiguous columns are walked one at a time; a
// map stored in rows of several columns is walked row by row, each slice across the whole row.
#include "kernels/deep_maps.h"
#include "kernels/launchers.h"

#include <omp.h>

#include <algorithm>
#include <new>
#include <vector>

#include "cpu/launch.h"
#include "cpu/simd.h"

namespace tl {
namespace {

// Bitwise OR of n floats' bits: zero when all are +0.0.
uint32_t orBits(const float* data, uint64_t n) {
    uint32_t bits = 0;
    for (uint64_t k = 0; k < n; ++k) bits |= floatBits(data[k]);
    return bits;
}

TL_FMA_CLONES
void prefixColumns(float* data, uint64_t begin, uint64_t end, int32_t slices, float* totals) {
    for (uint64_t c = begin; c < end; ++c) {
        const DeepColumn column{data + c * static_cast<uint64_t>(slices), 1};
        // Most columns of a sparse map are empty, and stay so: reading them is enough. (Cleared
        // entries are +0.0, which the running sums would leave unchanged.)
        const float total = orBits(column.first, static_cast<uint64_t>(slices)) == 0u ? 0.0f : prefixColumn(column, slices);
        if (totals) totals[c] = total;
    }
}

// prefixColumn's sums for every column of rows [begin, end), a slice of the whole row at a time;
// sums holds rowLength floats.
TL_FMA_CLONES
void prefixRows(float* data, uint64_t begin, uint64_t end, int32_t slices, uint64_t rowLength, float* totals,
                float* sums) {
    const uint64_t floats = rowLength * static_cast<uint64_t>(slices);
    for (uint64_t row = begin; row < end; ++row) {
        float* const r = data + row * floats;
        float* const rowTotals = totals ? totals + row * rowLength : nullptr;
        if (orBits(r, floats) == 0u) {  // an empty row stays empty
            if (rowTotals) std::fill(rowTotals, rowTotals + rowLength, 0.0f);
            continue;
        }
        std::fill(sums, sums + rowLength, 0.0f);
        for (int32_t s = 0; s < slices; ++s) {
            float* const e = r + static_cast<uint64_t>(s) * rowLength;
            for (uint64_t x = 0; x < rowLength; ++x) {
                const float v = e[x];
                e[x] = fmaF(v, 0.5f, sums[x]);
                sums[x] = sums[x] + v;
            }
        }
        if (rowTotals) std::copy(sums, sums + rowLength, rowTotals);
    }
}

}  // namespace

gpu::Error launchPrefix(LaunchConfig cfg, float* data, uint64_t columns, int32_t slices, uint64_t rowLength,
                        float* totals) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    if (rowLength == 0) return gpu::kErrorInvalidValue;
    constexpr uint64_t kColumnsAtATime = 1024;
    if (rowLength > 1) {
        const uint64_t rows = columns / rowLength;
        const uint64_t rowsAtATime = rowLength < kColumnsAtATime ? kColumnsAtATime / rowLength : 1;
        std::vector<float> sums;
        try {
            sums.resize(static_cast<size_t>(omp_get_max_threads()) * rowLength);
        } catch (const std::bad_alloc&) {
            return gpu::kErrorMemoryAllocation;
        }
        gpu::cpu::parallelFor((rows + rowsAtATime - 1) / rowsAtATime, [&](uint64_t k) {
            const uint64_t begin = k * rowsAtATime;
            prefixRows(data, begin, rows - begin < rowsAtATime ? rows : begin + rowsAtATime, slices, rowLength, totals,
                       sums.data() + static_cast<uint64_t>(omp_get_thread_num()) * rowLength);
        });
        return gpu::kSuccess;
    }
    const uint64_t pieces = (columns + kColumnsAtATime - 1) / kColumnsAtATime;
    gpu::cpu::parallelFor(pieces, [&](uint64_t k) {
        const uint64_t begin = k * kColumnsAtATime;
        prefixColumns(data, begin, columns - begin < kColumnsAtATime ? columns : begin + kColumnsAtATime, slices,
                      totals);
    });
    return gpu::kSuccess;
}

}  // namespace tl
