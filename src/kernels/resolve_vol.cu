// kResolveVol: turns the lit accumulator and the total optical depth into the float and the 8-bit
// image, one thread per pixel. Either output may be null.
#include "kernels/resolve_vol.h"
#include "kernels/volume_kernels.h"

#if defined(__CUDACC__)

namespace tl {

__global__ void kResolveVol(const float* __restrict__ accumulator, const float* __restrict__ totalDepth,
                            uchar4* image, float4* imageFloat, int32_t count, float exposure) {
    const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i >= count) return;
    const TLFloat4 v = resolveLitPixel(accumulator + 4 * static_cast<int64_t>(i), totalDepth[i], exposure);
    if (imageFloat) imageFloat[i] = make_float4(v.x, v.y, v.z, v.w);
    if (image) {
        const TLUChar4 b = encodePixel(v);
        image[i] = make_uchar4(b.x, b.y, b.z, b.w);
    }
}

void launchResolveVol(LaunchConfig cfg, const float* accumulator, const float* totalDepth, TLUChar4* image,
                      TLFloat4* imageFloat, int32_t pixelCount, float exposure) {
    kResolveVol<<<cfg.blocks, cfg.threadsPerBlock>>>(accumulator, totalDepth, reinterpret_cast<uchar4*>(image),
                                                     reinterpret_cast<float4*>(imageFloat), pixelCount, exposure);
}

}  // namespace tl

#else
#include "gpu/cpu_launch.h"

namespace tl {

void launchResolveVol(LaunchConfig cfg, const float* accumulator, const float* totalDepth, TLUChar4* image,
                      TLFloat4* imageFloat, int32_t pixelCount, float exposure) {
    if (!gpu::cpu::launchAccepted(cfg)) return;
    // Threads beyond the pixel count do nothing, as on the GPU.
    const uint64_t threads = static_cast<uint64_t>(cfg.blocks) * cfg.threadsPerBlock;
    const uint64_t pixels = pixelCount > 0 ? static_cast<uint64_t>(pixelCount) : 0u;
    const uint64_t n = threads < pixels ? threads : pixels;
    // A pixel no sample reached resolves to transparent black for any finite exposure (expF(+-0) is
    // exactly 1); most of a sparse frame is skipped without the exponentials.
    const bool finiteExposure = exposure - exposure == 0.0f;
    gpu::cpu::parallelFor(n, [&](uint64_t i) {
        const float* a = accumulator + 4u * i;
        if (finiteExposure && a[0] == 0.0f && a[1] == 0.0f && a[2] == 0.0f && totalDepth[i] == 0.0f) {
            if (imageFloat) imageFloat[i] = TLFloat4{0.0f, 0.0f, 0.0f, 0.0f};
            if (image) image[i] = TLUChar4{0, 0, 0, 255};
            return;
        }
        const TLFloat4 v = resolveLitPixel(a, totalDepth[i], exposure);
        if (imageFloat) imageFloat[i] = v;
        if (image) image[i] = encodePixel(v);
    });
}

}  // namespace tl
#endif
