// Host-side entry points of the kernels. Each kernel source defines its launcher twice: for the CUDA
// library as a real kernel launch, for the CPU library as an OpenMP loop over the same per-item code.
// A launch never reports directly: errors surface through gpu::getLastError(), as with CUDA.
#pragma once

#include <cstdint>

#include "taluna.h"

struct TLFrame;

namespace tl {

struct LaunchConfig {
    uint32_t blocks;
    uint32_t threadsPerBlock;
};

void launchGenerateGalaxy(LaunchConfig cfg, TLV3* positions, TLUChar4* colors, TLV3* velocity, uint64_t n,
                          uint32_t seed);

// kSplat: adds every sample of the n work items into the accumulator (four floats per pixel). The
// kernel receives its own copy of the frame.
void launchSplat(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLUChar4* colors,
                 const TLV3* velocities, uint64_t n, float* accumulator);

// kResolve: one thread per pixel; image and imageFloat may each be null.
void launchResolve(LaunchConfig cfg, const float* accumulator, TLUChar4* image, TLFloat4* imageFloat,
                   int32_t pixelCount, float exposure);

}  // namespace tl
