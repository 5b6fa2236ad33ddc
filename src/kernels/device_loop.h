// Grid-stride loop helpers for the CUDA kernels.
#pragma once

#if defined(__CUDACC__)
#include <cstdint>

namespace tl {
__device__ __forceinline__ uint64_t globalThreadIndex() {
    return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}
__device__ __forceinline__ uint64_t gridStride() { return static_cast<uint64_t>(gridDim.x) * blockDim.x; }
}  // namespace tl
#endif
