// Grid-stride loop helpers and the launch check shared by the CUDA kernels.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "kernels/runtime.h"

namespace tl {

__device__ __forceinline__ uint64_t globalThreadIndex() {
    return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}
__device__ __forceinline__ uint64_t gridStride() { return static_cast<uint64_t>(gridDim.x) * blockDim.x; }

// The error of the launch just issued (a refused configuration, or a fault an earlier kernel left).
inline gpu::Error launchError() { return cudaGetLastError(); }

}  // namespace tl
