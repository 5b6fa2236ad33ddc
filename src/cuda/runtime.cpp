// The runtime on an NVIDIA GPU: each operation forwards to the CUDA runtime on the default stream.
// CUDA also keeps a failed call's error as the thread's pending error, which the next launch check
// would report again; each operation hands its error back and clears that copy.
#include <cuda_runtime_api.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernels/runtime.h"

namespace tl::gpu {
namespace {

Error reported(cudaError_t err) {
    if (err != cudaSuccess) cudaGetLastError();
    return err;
}

}  // namespace

Error setDevice(int device) { return reported(cudaSetDevice(device)); }

Error getDeviceProperties(DeviceProperties* props, int device) {
    if (!props) return cudaErrorInvalidValue;
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof prop);
    const Error err = reported(cudaGetDeviceProperties(&prop, device));
    if (err != cudaSuccess) return err;
    std::memset(props, 0, sizeof *props);
    std::snprintf(props->name, sizeof props->name, "%s", prop.name);
    props->major = prop.major;
    props->minor = prop.minor;
    return cudaSuccess;
}

Error memGetInfo(size_t* freeBytes, size_t* totalBytes) { return reported(cudaMemGetInfo(freeBytes, totalBytes)); }

Error multiProcessorCount(int* count, int device) {
    return reported(cudaDeviceGetAttribute(count, cudaDevAttrMultiProcessorCount, device));
}

Error malloc(void** ptr, size_t bytes) { return reported(cudaMalloc(ptr, bytes)); }
Error free(void* ptr) { return reported(cudaFree(ptr)); }
Error copyToDevice(void* dst, const void* src, size_t bytes) {
    return reported(cudaMemcpy(dst, src, bytes, cudaMemcpyHostToDevice));
}
Error copyToHost(void* dst, const void* src, size_t bytes) {
    return reported(cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToHost));
}
Error mallocStaging(void** ptr, size_t bytes) {
    if (!ptr) return cudaErrorInvalidValue;
    *ptr = nullptr;
    // TALUNA_CUDA_DOWNLOAD=pageable downloads straight into the caller's memory, for comparing the two.
    const char* mode = std::getenv("TALUNA_CUDA_DOWNLOAD");
    if (mode && std::strcmp(mode, "pageable") == 0) return cudaSuccess;
    return reported(cudaMallocHost(ptr, bytes));
}
Error freeStaging(void* ptr) { return reported(cudaFreeHost(ptr)); }
Error memset(void* dst, int value, size_t bytes) { return reported(cudaMemset(dst, value, bytes)); }
Error memsetAsync(void* dst, int value, size_t bytes) { return reported(cudaMemsetAsync(dst, value, bytes, 0)); }

Error eventCreate(Event* event) {
    cudaEvent_t e = nullptr;
    const Error err = reported(cudaEventCreate(&e));
    if (err == cudaSuccess) *event = e;
    return err;
}
Error eventDestroy(Event event) { return reported(cudaEventDestroy(static_cast<cudaEvent_t>(event))); }
Error eventRecord(Event event) { return reported(cudaEventRecord(static_cast<cudaEvent_t>(event), 0)); }
Error eventSynchronize(Event event) { return reported(cudaEventSynchronize(static_cast<cudaEvent_t>(event))); }
Error eventElapsedTime(float* ms, Event start, Event stop) {
    return reported(cudaEventElapsedTime(ms, static_cast<cudaEvent_t>(start), static_cast<cudaEvent_t>(stop)));
}

Error deviceSynchronize() { return reported(cudaDeviceSynchronize()); }
const char* errorString(Error err) { return cudaGetErrorString(static_cast<cudaError_t>(err)); }

}  // namespace tl::gpu
