// kResolveVol: turns the lit accumulator and the total optical depth into the float and the 8-bit
// image, one thread per pixel. Either output may be null.
#include "kernels/resolve_vol.h"
#include "kernels/launchers.h"

#include <cstring>

#include "cpu/launch.h"
#include "cpu/simd.h"
#include "cpu/tone_lanes.h"

namespace tl {

gpu::Error launchResolveVol(LaunchConfig cfg, const float* accumulator, const float* totalDepth, TLUChar4* image,
                            TLFloat4* imageFloat, int32_t pixelCount, float exposure) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    // Threads beyond the pixel count do nothing, as on the GPU.
    const uint64_t threads = static_cast<uint64_t>(cfg.blocks) * cfg.threadsPerBlock;
    const uint64_t pixels = pixelCount > 0 ? static_cast<uint64_t>(pixelCount) : 0u;
    const uint64_t n = threads < pixels ? threads : pixels;
    // A pixel no sample reached resolves to transparent black for any finite exposure (expF(+-0) is
    // exactly 1); most of a sparse frame is skipped without the exponentials.
    const bool finiteExposure = exposure - exposure == 0.0f;
    auto empty = [&](uint64_t i) {
        const float* a = accumulator + 4u * i;
        return finiteExposure && a[0] == 0.0f && a[1] == 0.0f && a[2] == 0.0f && totalDepth[i] == 0.0f;
    };
    // The colours' tone curve, and 1 - expF(-tau) for the optical depth (1 x (-tau) is -tau).
    float scale[simd::kLanes];
    for (uint64_t l = 0; l < simd::kLanes; ++l) scale[l] = l % 4 == 3 ? 1.0f : exposure;
    gpu::cpu::parallelFor((n + cpu::kPixelsPerLanes - 1) / cpu::kPixelsPerLanes, [&](uint64_t g) {
        const uint64_t first = g * cpu::kPixelsPerLanes;
        const uint64_t count = n - first < cpu::kPixelsPerLanes ? n - first : cpu::kPixelsPerLanes;
        bool allEmpty = true;
        for (uint64_t q = 0; q < count && allEmpty; ++q) allEmpty = empty(first + q);
        if (allEmpty) {
            for (uint64_t t = first; t < first + count; ++t) cpu::storeEmptyPixel(t, image, imageFloat);
            return;
        }
        if (count < cpu::kPixelsPerLanes) {
            for (uint64_t t = first; t < first + count; ++t)
                cpu::storePixel(t, resolveLitPixel(accumulator + 4u * t, totalDepth[t], exposure), image, imageFloat);
            return;
        }
        float x[simd::kLanes], tone[simd::kLanes];
        for (uint64_t q = 0; q < cpu::kPixelsPerLanes; ++q) {
            std::memcpy(x + 4 * q, accumulator + 4u * (first + q), 3 * sizeof(float));
            x[4 * q + 3] = totalDepth[first + q];
        }
        cpu::toneLanes(x, scale, tone);  // resolveLitPixel of cpu::kPixelsPerLanes pixels
        for (uint64_t q = 0; q < cpu::kPixelsPerLanes; ++q) {
            const float* p = tone + 4 * q;
            cpu::storePixel(first + q, TLFloat4{p[0], p[1], p[2], p[3]}, image, imageFloat);
        }
    });
    return gpu::kSuccess;
}

}  // namespace tl
