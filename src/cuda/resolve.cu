// kResolve: tone-maps the plain path's accumulator into the float and the 8-bit image, one thread
// per pixel. Either output may be null.
#include "kernels/launchers.h"
#include "kernels/resolve.h"

#include "cuda/device_loop.h"

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

gpu::Error launchResolve(LaunchConfig cfg, const float* accumulator, TLUChar4* image, TLFloat4* imageFloat,
                         int32_t pixelCount, float exposure) {
    kResolve<<<cfg.blocks, cfg.threadsPerBlock>>>(reinterpret_cast<const float4*>(accumulator),
                                                  reinterpret_cast<uchar4*>(image),
                                                  reinterpret_cast<float4*>(imageFloat), pixelCount, exposure);
    return launchError();
}

}  // namespace tl

