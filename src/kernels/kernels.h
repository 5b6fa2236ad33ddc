// Host-side entry points of the kernels. Each kernel source defines its launcher twice: for the CUDA
// library as a real kernel launch, for the CPU library as an OpenMP loop over the same per-item code.
// A launch never reports directly: errors surface through gpu::getLastError(), as with CUDA.
#pragma once

#include <cstdint>

#include "taluna.h"

namespace tl {

struct LaunchConfig {
    uint32_t blocks;
    uint32_t threadsPerBlock;
};

void launchGenerateGalaxy(LaunchConfig cfg, TLV3* positions, TLUChar4* colors, TLV3* velocity, uint64_t n,
                          uint32_t seed);

}  // namespace tl
