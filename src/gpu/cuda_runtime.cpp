// The runtime on an NVIDIA GPU: each operation forwards to the CUDA runtime on the default stream.
#include <cuda_runtime_api.h>

#include <cstdio>
#include <cstring>

#include "gpu/runtime.h"

namespace tl::gpu {

Error setDevice(int device) { return cudaSetDevice(device); }

Error getDeviceProperties(DeviceProperties* props, int device) {
    if (!props) return cudaErrorInvalidValue;
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof prop);
    cudaError_t err = cudaGetDeviceProperties(&prop, device);
    if (err != cudaSuccess) return err;
    std::memset(props, 0, sizeof *props);
    std::snprintf(props->name, sizeof props->name, "%s", prop.name);
    props->major = prop.major;
    props->minor = prop.minor;
    return cudaSuccess;
}

Error memGetInfo(size_t* freeBytes, size_t* totalBytes) { return cudaMemGetInfo(freeBytes, totalBytes); }

Error multiProcessorCount(int* count, int device) {
    return cudaDeviceGetAttribute(count, cudaDevAttrMultiProcessorCount, device);
}

Error malloc(void** ptr, size_t bytes) { return cudaMalloc(ptr, bytes); }
Error free(void* ptr) { return cudaFree(ptr); }
Error copyToDevice(void* dst, const void* src, size_t bytes) {
    return cudaMemcpy(dst, src, bytes, cudaMemcpyHostToDevice);
}
Error copyToHost(void* dst, const void* src, size_t bytes) {
    return cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToHost);
}
Error memset(void* dst, int value, size_t bytes) { return cudaMemset(dst, value, bytes); }
Error memsetAsync(void* dst, int value, size_t bytes) { return cudaMemsetAsync(dst, value, bytes, 0); }

Error eventCreate(Event* event) {
    cudaEvent_t e = nullptr;
    cudaError_t err = cudaEventCreate(&e);
    if (err == cudaSuccess) *event = e;
    return err;
}
Error eventDestroy(Event event) { return cudaEventDestroy(static_cast<cudaEvent_t>(event)); }
Error eventRecord(Event event) { return cudaEventRecord(static_cast<cudaEvent_t>(event), 0); }
Error eventSynchronize(Event event) { return cudaEventSynchronize(static_cast<cudaEvent_t>(event)); }
Error eventElapsedTime(float* ms, Event start, Event stop) {
    return cudaEventElapsedTime(ms, static_cast<cudaEvent_t>(start), static_cast<cudaEvent_t>(stop));
}

Error getLastError() { return cudaGetLastError(); }
Error deviceSynchronize() { return cudaDeviceSynchronize(); }
const char* errorString(Error err) { return cudaGetErrorString(static_cast<cudaError_t>(err)); }

}  // namespace tl::gpu
