// kResolve: tone-maps the plain path's accumulator into the float and the 8-bit image, one thread
// per pixel. Either output may be null.
#include "kernels/kernels.h"
#include "kernels/resolve.h"

#if defined(__CUDACC__)

namespace tl {

__global__ void kResolve(const float4* __restrict__ accumulator, uchar4* image, float4* imageFloat,
                         int32_t pixelCount, float exposure) {
    const uint32_t t = blockIdx.x * blockDim.x + threadIdx.x;
    if (t >= static_cast<uint32_t>(pixelCount)) return;
    const float4 acc = __ldg(accumulator + t);
    const TLFloat4 v = resolveLinear(acc.x, acc.y, acc.z, acc.w, exposure);
    if (imageFloat) imageFloat[t] = make_float4(v.x, v.y, v.z, v.w);
    if (image) {
        const TLUChar4 b = encodePixel(v);
        image[t] = make_uchar4(b.x, b.y, b.z, b.w);
    }
}

void launchResolve(LaunchConfig cfg, const float* accumulator, TLUChar4* image, TLFloat4* imageFloat,
                   int32_t pixelCount, float exposure) {
    kResolve<<<cfg.blocks, cfg.threadsPerBlock>>>(reinterpret_cast<const float4*>(accumulator),
                                                  reinterpret_cast<uchar4*>(image),
                                                  reinterpret_cast<float4*>(imageFloat), pixelCount, exposure);
}

}  // namespace tl

#else
#include "gpu/cpu_launch.h"

namespace tl {

void launchResolve(LaunchConfig cfg, const float* accumulator, TLUChar4* image, TLFloat4* imageFloat,
                   int32_t pixelCount, float exposure) {
    if (!gpu::cpu::launchAccepted(cfg)) return;
    // Threads beyond the pixel count return at once, as on the GPU.
    const uint64_t threads = static_cast<uint64_t>(cfg.blocks) * cfg.threadsPerBlock;
    const uint64_t pixels = pixelCount > 0 ? static_cast<uint64_t>(pixelCount) : 0u;
    const uint64_t n = threads < pixels ? threads : pixels;
    // An empty pixel resolves to transparent black for any finite exposure (expF(+-0) is exactly 1);
    // most of a sparse frame is skipped without the exponentials.
    const bool finiteExposure = exposure - exposure == 0.0f;
    gpu::cpu::parallelFor(n, [&](uint64_t t) {
        const float* a = accumulator + 4u * t;
        if (finiteExposure && a[0] == 0.0f && a[1] == 0.0f && a[2] == 0.0f && a[3] == 0.0f) {
            if (imageFloat) imageFloat[t] = TLFloat4{0.0f, 0.0f, 0.0f, 0.0f};
            if (image) image[t] = TLUChar4{0, 0, 0, 255};
            return;
        }
        const TLFloat4 v = resolveLinear(a[0], a[1], a[2], a[3], exposure);
        if (imageFloat) imageFloat[t] = v;
        if (image) image[t] = encodePixel(v);
    });
}

}  // namespace tl
#endif
