// The lit kernels that read the frame's lit constants: kLightSplat, kCamSplat and kShade.
// The constants travel with each launch (a __grid_constant__ parameter on the GPU, where the hardware
// keeps them in constant memory; a reference on the CPU), so lit frames of different contexts never
// share them. Their per-item code lives in kernels/shadow_maps.h and kernels/lit_shading.h.
#include "kernels/lit_shading.h"
#include "kernels/shadow_maps.h"
#include "kernels/lit_constants.h"
#include "kernels/launchers.h"

#include "cuda/device_loop.h"


namespace tl {

// Kernel parameters of this size need CUDA 12.1 and compute capability 7.0 or later.
static_assert(sizeof(LitConstants) <= 32764 - 256, "lit constants fit the kernel parameter space");

__global__ void kLightSplat(const __grid_constant__ LitConstants vc, TLFrame frame,
                            const TLV3* __restrict__ positions, const TLV3* __restrict__ velocities, uint64_t n,
                            float* shadowMaps) {
    const uint64_t stride = gridStride();
    for (uint64_t w = globalThreadIndex(); w < n; w += stride) {
        lightSplatItem(vc, frame, positions, velocities, w, shadowMaps);
        if (n - w <= stride) break;  // the next index would reach n, or wrap past 2^64
    }
}

__global__ void kCamSplat(const __grid_constant__ LitConstants vc, TLFrame frame,
                          const TLV3* __restrict__ positions, const TLV3* __restrict__ velocities, uint64_t n,
                          float* cameraDepth) {
    const uint64_t stride = gridStride();
    for (uint64_t w = globalThreadIndex(); w < n; w += stride) {
        camSplatItem(vc, frame, positions, velocities, w, cameraDepth);
        if (n - w <= stride) break;
    }
}

__global__ void kShade(const __grid_constant__ LitConstants vc, TLFrame frame, const TLV3* __restrict__ positions,
                       const TLUChar4* __restrict__ colors, const TLV3* __restrict__ velocities, uint64_t n,
                       const float* __restrict__ shadowMaps, const float* __restrict__ cameraDepth,
                       float* accumulator) {
    const uint64_t stride = gridStride();
    for (uint64_t w = globalThreadIndex(); w < n; w += stride) {
        shadeItem(vc, frame, positions, colors, velocities, w, shadowMaps, cameraDepth, accumulator);
        if (n - w <= stride) break;
    }
}

gpu::Error launchLightSplat(LaunchConfig cfg, const LitConstants& vc, const TLFrame& frame, const TLV3* positions,
                            const TLV3* velocities, uint64_t n, float* shadowMaps) {
    kLightSplat<<<cfg.blocks, cfg.threadsPerBlock>>>(vc, frame, positions, velocities, n, shadowMaps);
    return launchError();
}

gpu::Error launchCamSplat(LaunchConfig cfg, const LitConstants& vc, const TLFrame& frame, const TLV3* positions,
                          const TLV3* velocities, uint64_t n, float* cameraDepth) {
    kCamSplat<<<cfg.blocks, cfg.threadsPerBlock>>>(vc, frame, positions, velocities, n, cameraDepth);
    return launchError();
}

gpu::Error launchShade(LaunchConfig cfg, const LitConstants& vc, const TLFrame& frame, const TLV3* positions,
                       const TLUChar4* colors, const TLV3* velocities, uint64_t n, const float* shadowMaps,
                       const float* cameraDepth, float* accumulator) {
    kShade<<<cfg.blocks, cfg.threadsPerBlock>>>(vc, frame, positions, colors, velocities, n, shadowMaps, cameraDepth,
                                                accumulator);
    return launchError();
}

}  // namespace tl

