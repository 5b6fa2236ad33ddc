// The per-device constant block of the lighting path. On the CPU runtime the block is part of the
// runtime itself (gpu::cpu::constantBlock()).
#if defined(__CUDACC__)
#include <cuda_runtime.h>

#include <cstddef>

#include "gpu/runtime.h"

namespace tl {

__constant__ unsigned char cVol[8192];

gpu::Error uploadConstantBlock(const void* src, size_t bytes) {
    if (bytes > sizeof cVol) return cudaErrorInvalidValue;
    return cudaMemcpyToSymbol(cVol, src, bytes, 0, cudaMemcpyHostToDevice);
}

}  // namespace tl
#endif
