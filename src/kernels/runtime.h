// The GPU runtime operations the library uses, behind one small interface. Two implementations exist:
// src/cuda/runtime.cpp forwards to the CUDA runtime, src/cpu/runtime.cpp runs everything on the host
// with host memory as device memory. Nothing above knows which one it is linked with.
//
// Error codes follow the CUDA runtime's numbering; 0 is success. Every operation returns its own
// error and leaves none pending: a failure is reported once, by the call that failed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tl::gpu {

using Error = int;

enum : Error {
    kSuccess = 0,
    kErrorInvalidValue = 1,
    kErrorMemoryAllocation = 2,
    kErrorInitializationError = 3,
    kErrorInvalidConfiguration = 9,
    kErrorInsufficientDriver = 35,
    kErrorNoDevice = 100,
    kErrorInvalidDevice = 101,
    kErrorInvalidResourceHandle = 400,
    kErrorNotReady = 600,
    kErrorLaunchFailure = 719,
    kErrorNotSupported = 801,
};

// Opaque timing event.
using Event = void*;

struct DeviceProperties {
    char name[256];
    int major;
    int minor;
};

Error setDevice(int device);
Error getDeviceProperties(DeviceProperties* props, int device);
Error memGetInfo(size_t* freeBytes, size_t* totalBytes);
Error multiProcessorCount(int* count, int device);

Error malloc(void** ptr, size_t bytes);
Error free(void* ptr);
Error copyToDevice(void* dst, const void* src, size_t bytes);
Error copyToHost(void* dst, const void* src, size_t bytes);
Error memset(void* dst, int value, size_t bytes);
// Page-locked host memory for downloads to pass through (a faster transfer from a GPU). A runtime whose
// device memory is host memory has none to offer: it gives null and success, and downloads go straight.
Error mallocStaging(void** ptr, size_t bytes);
Error freeStaging(void* ptr);
// Ordered on the default stream; returns before the fill on a real GPU.
Error memsetAsync(void* dst, int value, size_t bytes);

Error eventCreate(Event* event);
Error eventDestroy(Event event);
Error eventRecord(Event event);
Error eventSynchronize(Event event);
Error eventElapsedTime(float* ms, Event start, Event stop);

Error deviceSynchronize();

// Static description of a code; may be null or empty when the runtime has none.
const char* errorString(Error err);

}  // namespace tl::gpu

namespace tl {

// The outcome of a step of the library: success (what is null), a failed runtime call (the step's
// text and the runtime's error), or a refusal of its own (err is success and `what` the whole
// message, or `detail` replaces the runtime's description).
struct Status {
    const char* what = nullptr;
    gpu::Error err = gpu::kSuccess;
    const char* detail = nullptr;

    static Status failed(const char* step, gpu::Error e) { return Status{e != gpu::kSuccess ? step : nullptr, e}; }
    explicit operator bool() const { return what != nullptr; }  // true on failure
};

}  // namespace tl
