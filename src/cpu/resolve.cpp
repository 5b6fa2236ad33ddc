// kResolve: tone-maps the plain path's accumulator into the float and the 8-bit image, one thread
// per pixel. Either output may be null.
#include "kernels/launchers.h"
#include "kernels/resolve.h"

#include <cstring>

#include "cpu/launch.h"
#include "cpu/simd.h"
#include "cpu/tone_lanes.h"

namespace tl {

namespace cpu {

TL_SIMD_CLONES
void toneLanes(const float* x, const float* scale, float* out) {
    simd::VF v, s;
    std::memcpy(&v, x, sizeof v);
    std::memcpy(&s, scale, sizeof s);
    const simd::VF t = (simd::VF{} + 1.0f) - simd::expF(s * (-v));
    std::memcpy(out, &t, sizeof t);
}

}  // namespace cpu

gpu::Error launchResolve(LaunchConfig cfg, const float* accumulator, TLUChar4* image, TLFloat4* imageFloat,
                         int32_t pixelCount, float exposure) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    // Threads beyond the pixel count return at once, as on the GPU.
    const uint64_t threads = static_cast<uint64_t>(cfg.blocks) * cfg.threadsPerBlock;
    const uint64_t pixels = pixelCount > 0 ? static_cast<uint64_t>(pixelCount) : 0u;
    const uint64_t n = threads < pixels ? threads : pixels;
    // An empty pixel resolves to transparent black for any finite exposure (expF(+-0) is exactly 1),
    // so most of a sparse frame is written without the exponentials.
    const bool finiteExposure = exposure - exposure == 0.0f;
    const uint64_t groups = (n + cpu::kPixelsPerLanes - 1) / cpu::kPixelsPerLanes;
    float scale[simd::kLanes];
    for (float& e : scale) e = exposure;
    gpu::cpu::parallelFor(groups, [&](uint64_t g) {
        const uint64_t first = g * cpu::kPixelsPerLanes;
        const uint64_t count = n - first < cpu::kPixelsPerLanes ? n - first : cpu::kPixelsPerLanes;
        const float* a = accumulator + 4u * first;
        bool empty = finiteExposure;
        for (uint64_t c = 0; c < 4 * count && empty; ++c) empty = a[c] == 0.0f;
        if (empty) {
            for (uint64_t t = first; t < first + count; ++t) cpu::storeEmptyPixel(t, image, imageFloat);
            return;
        }
        if (count < cpu::kPixelsPerLanes) {
            for (uint64_t t = first; t < first + count; ++t) {
                const float* p = accumulator + 4u * t;
                cpu::storePixel(t, resolveLinear(p[0], p[1], p[2], p[3], exposure), image, imageFloat);
            }
            return;
        }
        float tone[simd::kLanes];
        cpu::toneLanes(a, scale, tone);
        for (uint64_t q = 0; q < cpu::kPixelsPerLanes; ++q) {
            const float* p = tone + 4 * q;
            cpu::storePixel(first + q, premultiplied(p[0], p[1], p[2], p[3]), image, imageFloat);
        }
    });
    return gpu::kSuccess;
}

void resolveOnHost(const float* sums, TLUChar4* image, TLFloat4* imageFloat, int32_t pixelCount, float exposure) {
    const uint64_t pixels = pixelCount > 0 ? static_cast<uint64_t>(pixelCount) : 0u;
    const LaunchConfig all{static_cast<uint32_t>((pixels + 255) / 256), 256};
    launchResolve(all, sums, image, imageFloat, pixelCount, exposure);
}

}  // namespace tl
