// kResolve: tone-maps the plain path's accumulator into the float and the 8-bit image, one thread
// per pixel. Either output may be null. A pixel no sample reached (all four sums +0) takes the
// resolved empty pixel, computed once by the launcher, instead of four tone curves and three powers.
#include "kernels/launchers.h"
#include "kernels/resolve.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "cuda/device_loop.h"

namespace tl {

__global__ void kResolve(const float4* __restrict__ accumulator, uchar4* image, float4* imageFloat,
                         int32_t pixelCount, float exposure, float4 emptyFloat, uchar4 emptyByte) {
    const uint32_t t = blockIdx.x * blockDim.x + threadIdx.x;
    if (t >= static_cast<uint32_t>(pixelCount)) return;
    const float4 acc = __ldg(accumulator + t);
    if ((__float_as_uint(acc.x) | __float_as_uint(acc.y) | __float_as_uint(acc.z) | __float_as_uint(acc.w)) == 0u) {
        if (imageFloat) imageFloat[t] = emptyFloat;
        if (image) image[t] = emptyByte;
        return;
    }
    const TLFloat4 v = resolveLinear(acc.x, acc.y, acc.z, acc.w, exposure);
    if (imageFloat) imageFloat[t] = make_float4(v.x, v.y, v.z, v.w);
    if (image) {
        const TLUChar4 b = encodePixel(v);
        image[t] = make_uchar4(b.x, b.y, b.z, b.w);
    }
}

gpu::Error launchResolve(LaunchConfig cfg, const float* accumulator, TLUChar4* image, TLFloat4* imageFloat,
                         int32_t pixelCount, float exposure) {
    const TLFloat4 e = resolveLinear(0.0f, 0.0f, 0.0f, 0.0f, exposure);
    const TLUChar4 b = encodePixel(e);
    kResolve<<<cfg.blocks, cfg.threadsPerBlock>>>(
        reinterpret_cast<const float4*>(accumulator), reinterpret_cast<uchar4*>(image),
        reinterpret_cast<float4*>(imageFloat), pixelCount, exposure, make_float4(e.x, e.y, e.z, e.w),
        make_uchar4(b.x, b.y, b.z, b.w));
    return launchError();
}

// The kernel's per-pixel code on the host, the pixels split over a few host threads (more gain little:
// the loop is bound by memory soon after).
void resolveOnHost(const float* sums, TLUChar4* image, TLFloat4* imageFloat, int32_t pixelCount, float exposure) {
    const uint64_t pixels = pixelCount > 0 ? static_cast<uint64_t>(pixelCount) : 0u;
    auto part = [&](uint64_t first, uint64_t last) {
        for (uint64_t t = first; t < last; ++t) {
            const float* a = sums + 4 * t;
            const TLFloat4 v = resolveLinear(a[0], a[1], a[2], a[3], exposure);
            if (imageFloat) imageFloat[t] = v;
            if (image) image[t] = encodePixel(v);
        }
    };
    const uint64_t threads = std::min<uint64_t>(std::max(1u, std::thread::hardware_concurrency()), 16);
    const uint64_t per = (pixels + threads - 1) / threads;
    std::vector<std::thread> helpers;
    try {
        for (uint64_t first = per; first < pixels; first += per)
            helpers.emplace_back(part, first, std::min(pixels, first + per));
    } catch (...) {
        // No thread to be had: the calling thread does the rest.
        for (std::thread& h : helpers) h.join();
        part(std::min(pixels, per * (helpers.size() + 1)), pixels);
        part(0, std::min(pixels, per));
        return;
    }
    part(0, std::min(pixels, per));
    for (std::thread& h : helpers) h.join();
}

}  // namespace tl
