// The record behind the opaque TLContext handle, and the exception firewall of the C interface.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "gpu/runtime.h"
#include "taluna.h"

struct TLContext {
    int32_t device = 0;
    // False when tlCreate could not initialise the device: the context then refuses all GPU work.
    bool deviceReady = false;

    // Particle store.
    TLV3* positions = nullptr;
    TLUChar4* colors = nullptr;
    TLV3* velocity = nullptr;
    uint8_t hasVelocity = 0;
    uint8_t velocityValid = 0;
    uint64_t capacity = 0;
    uint64_t count = 0;

    // Per-pixel render buffers, reallocated when the image size changes.
    float* accumulator = nullptr;
    TLUChar4* image = nullptr;
    TLFloat4* imageFloat = nullptr;
    int32_t width = 0;
    int32_t height = 0;

    // Lighting path buffers (grow-only).
    float* shadowMaps = nullptr;
    uint64_t shadowMapsCapacity = 0;
    float* cameraDepth = nullptr;
    uint64_t cameraDepthCapacity = 0;
    float* totalDepth = nullptr;
    void* bounds = nullptr;
    void* moments = nullptr;

    tl::gpu::Event startEvent = nullptr;
    tl::gpu::Event stopEvent = nullptr;

    // Text of the most recent failure; replaced by each failure, never cleared by a success.
    std::string lastError;
};

namespace tl {

// Replaces the last-error text. Storage for ordinary messages is reserved at creation, so this does
// not allocate; should a longer text fail to fit, the text is cut rather than lost.
void setError(TLContext* ctx, const char* text);
inline void setError(TLContext* ctx, const std::string& text) { setError(ctx, text.c_str()); }

// Drops the thread's pending runtime error when a call ends. What the call's unexamined runtime
// calls left behind (a failed device selection or memory query on a context whose device is gone)
// belongs to that call: a later call, of this context or another one on the thread, must not report
// it as its own failure.
struct PendingErrorDrop {
    PendingErrorDrop() = default;
    PendingErrorDrop(const PendingErrorDrop&) = delete;
    PendingErrorDrop& operator=(const PendingErrorDrop&) = delete;
    ~PendingErrorDrop() { gpu::getLastError(); }
};

// Selects the context's device before GPU work. False, with the last error set, on a context whose
// device could not be initialised ("Could not initialize CUDA device", before any runtime call) or
// when the selection fails: work must never land on whatever device the thread had current.
bool selectDevice(TLContext* ctx);

// Runs body, turning any C++ exception into the failure result: nothing C++ crosses the C boundary.
// No runtime error outlives the call.
template <class Result, class Body>
Result guarded(TLContext* ctx, Result failure, Body&& body) noexcept {
    const PendingErrorDrop drop;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        if (ctx) setError(ctx, "out of host memory");
    } catch (const std::exception& e) {
        if (ctx) setError(ctx, e.what());
    } catch (...) {
        if (ctx) setError(ctx, "internal error");
    }
    return failure;
}

// Number of blocks for a one-dimensional launch over n items: enough to cover n, at least 1, at most
// 32 per multiprocessor (grid-stride loops cover the rest).
uint32_t gridSizeFor(TLContext* ctx, uint64_t n, uint32_t blockSize);

// Grows a device float buffer to hold at least neededFloats (contents are not kept and not cleared).
// Returns true on failure, with the last error set under `what`.
bool ensureDeviceBuffer(TLContext* ctx, float** buffer, uint64_t* capacityFloats, uint64_t neededFloats,
                        const char* what);

}  // namespace tl
