// kResolveVol: turns the lit accumulator and the total optical depth into the float and the 8-bit
// image, one thread per pixel. Either output may be null.
#include "kernels/resolve_vol.h"
#include "kernels/launchers.h"

#include "cuda/device_loop.h"

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

gpu::Error launchResolveVol(LaunchConfig cfg, const float* accumulator, const float* totalDepth, TLUChar4* image,
                            TLFloat4* imageFloat, int32_t pixelCount, float exposure) {
    kResolveVol<<<cfg.blocks, cfg.threadsPerBlock>>>(accumulator, totalDepth, reinterpret_cast<uchar4*>(image),
                                                     reinterpret_cast<float4*>(imageFloat), pixelCount, exposure);
    return launchError();
}

}  // namespace tl

