// The per-device constant block of the lighting path, cVol, and the kernels that read it: kLightSplat,
// kCamSplat and kShade. They share this translation unit with the block because the library is built
// without relocatable device code, so a __constant__ variable is visible to its own file only. Their
// per-item code lives in kernels/shadow_maps.h and kernels/lit_shading.h. On the CPU runtime the
// block is part of the runtime (gpu::cpu::constantBlock()).
#include "kernels/lit_shading.h"
#include "kernels/shadow_maps.h"
#include "kernels/volume_constants.h"
#include "kernels/volume_kernels.h"

#if defined(__CUDACC__)
#include <cuda_runtime.h>

#include <cstddef>

#include "gpu/runtime.h"
#include "kernels/device_loop.h"

namespace tl {

__constant__ VolumeConstants cVol;

gpu::Error uploadConstantBlock(const void* src, size_t bytes) {
    if (bytes > sizeof cVol) return cudaErrorInvalidValue;
    return cudaMemcpyToSymbol(cVol, src, bytes, 0, cudaMemcpyHostToDevice);
}

__global__ void kLightSplat(TLFrame frame, const TLV3* __restrict__ positions, const TLV3* __restrict__ velocities,
                            uint64_t n, float* shadowMaps) {
    const uint64_t stride = gridStride();
    for (uint64_t w = globalThreadIndex(); w < n; w += stride) {
        lightSplatItem(cVol, frame, positions, velocities, w, shadowMaps);
        if (n - w <= stride) break;  // the next index would reach n, or wrap past 2^64
    }
}

__global__ void kCamSplat(TLFrame frame, const TLV3* __restrict__ positions, const TLV3* __restrict__ velocities,
                          uint64_t n, float* cameraDepth) {
    const uint64_t stride = gridStride();
    for (uint64_t w = globalThreadIndex(); w < n; w += stride) {
        camSplatItem(cVol, frame, positions, velocities, w, cameraDepth);
        if (n - w <= stride) break;
    }
}

__global__ void kShade(TLFrame frame, const TLV3* __restrict__ positions, const TLUChar4* __restrict__ colors,
                       const TLV3* __restrict__ velocities, uint64_t n, const float* __restrict__ shadowMaps,
                       const float* __restrict__ cameraDepth, float* accumulator) {
    const uint64_t stride = gridStride();
    for (uint64_t w = globalThreadIndex(); w < n; w += stride) {
        shadeItem(cVol, frame, positions, colors, velocities, w, shadowMaps, cameraDepth, accumulator);
        if (n - w <= stride) break;
    }
}

void launchLightSplat(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLV3* velocities,
                      uint64_t n, float* shadowMaps) {
    kLightSplat<<<cfg.blocks, cfg.threadsPerBlock>>>(frame, positions, velocities, n, shadowMaps);
}

void launchCamSplat(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLV3* velocities,
                    uint64_t n, float* cameraDepth) {
    kCamSplat<<<cfg.blocks, cfg.threadsPerBlock>>>(frame, positions, velocities, n, cameraDepth);
}

void launchShade(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLUChar4* colors,
                 const TLV3* velocities, uint64_t n, const float* shadowMaps, const float* cameraDepth,
                 float* accumulator) {
    kShade<<<cfg.blocks, cfg.threadsPerBlock>>>(frame, positions, colors, velocities, n, shadowMaps, cameraDepth,
                                                accumulator);
}

}  // namespace tl

#else
#include "gpu/cpu_launch.h"
#include "kernels/lit_cpu.h"

namespace tl {
namespace {

const VolumeConstants& hostBlock() { return *static_cast<const VolumeConstants*>(gpu::cpu::constantBlock()); }

}  // namespace

void launchLightSplat(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLV3* velocities,
                      uint64_t n, float* shadowMaps) {
    if (!gpu::cpu::launchAccepted(cfg)) return;
    const VolumeConstants& vc = hostBlock();
    if (!(vc.copyCrossSection > 0.0f)) return;  // every deposit would be 0
    const litcpu::Walk walk(frame, positions, velocities);
    const uint32_t* order = litcpu::orderByShadowMap(vc, positions, n / walk.per);
    litcpu::forEachSample(walk, order, nullptr, n, [&](uint64_t, TLV3 p, uint32_t, uint32_t times) {
        for (uint32_t t = 0; t < times; ++t) lightSplatPoint(vc, p, shadowMaps);
    }, [](TLV3) {});
}

void launchCamSplat(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLV3* velocities,
                    uint64_t n, float* cameraDepth) {
    if (!gpu::cpu::launchAccepted(cfg)) return;
    const VolumeConstants& vc = hostBlock();
    if (!(vc.sampleCrossSection > 0.0f)) return;  // every deposit would be 0
    const litcpu::Walk walk(frame, positions, velocities);
    const uint32_t* order = litcpu::orderByImage(frame, positions, n / walk.per);
    litcpu::forEachSample(walk, order, nullptr, n, [&](uint64_t, TLV3 p, uint32_t s, uint32_t times) {
        CameraHit hit;
        if (!projectToCamera(frame, p, s, hit)) return;
        for (uint32_t t = 0; t < times; ++t) camSplatHit(vc, frame, hit, cameraDepth);
    }, [](TLV3) {});
}

void launchShade(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLUChar4* colors,
                 const TLV3* velocities, uint64_t n, const float* shadowMaps, const float* cameraDepth,
                 float* accumulator) {
    if (!gpu::cpu::launchAccepted(cfg)) return;
    const VolumeConstants& vc = hostBlock();
    if (!(vc.sampleCrossSection > 0.0f)) return;  // every sample is transparent
    // With shadows most scattered reads are shadow lookups: the shadow-map order serves them.
    const litcpu::Walk walk(frame, positions, velocities);
    const uint64_t particles = n / walk.per;
    const bool shadowOrder = litcpu::firstShadowLight(vc) >= 0;
    const uint32_t* order = shadowOrder ? litcpu::orderByShadowMap(vc, positions, particles)
                                        : litcpu::orderByImage(frame, positions, particles);
    litcpu::forEachSample(walk, order, colors, n, [&](uint64_t i, TLV3 p, uint32_t s, uint32_t times) {
        CameraHit hit;
        if (!projectToCamera(frame, p, s, hit)) return;
        Rgb add;
        if (!shadeHit(vc, frame, hit, p, colors[i], shadowMaps, cameraDepth, add)) return;
        float* pixel = accumulator + 4u * pixelIndex(frame, hit);
        for (uint32_t t = 0; t < times; ++t) addRgb(pixel, add);
    }, [&](TLV3 p) {
        if (shadowOrder) litcpu::prefetchCameraEntries(vc, frame, cameraDepth, accumulator, p);
        else if (vc.lightCount > 0) litcpu::prefetchShadowTexels(vc, shadowMaps, p);
    });
}

}  // namespace tl
#endif
