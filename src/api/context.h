// The record behind the opaque TLContext handle, the exception firewall of the C interface, and the
// functions behind the exported ones (src/api/exports.cpp).
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "api/particle_store.h"
#include "kernels/device_buffer.h"
#include "kernels/runtime.h"
#include "render/render_driver.h"
#include "taluna.h"
#include "lit/lit_pass.h"

// Everything a context owns; its buffers and events release themselves with it.
struct TLContext {
    int32_t device = 0;
    bool deviceReady = false;  // false when tlCreate could not initialise the device
    tl::ParticleStore store;
    tl::PixelBuffers pixels;
    tl::LitBuffers lit;
    tl::TimingEvent startEvent;
    tl::TimingEvent stopEvent;
    // Text of the most recent failure; replaced by each failure, never cleared by a success.
    std::string lastError;
};

namespace tl {

// Replaces the last-error text. Storage for ordinary messages is reserved at creation, so this does
// not allocate; should a longer text fail to fit, the text is cut rather than lost.
void setError(TLContext* ctx, const char* text);

// True on failure, with the text "step: runtime description" (or the status's own text) stored in
// ctx; a runtime without a description for the code gives "step: error <code>".
bool failed(TLContext* ctx, const Status& status);
inline bool checkCuda(TLContext* ctx, gpu::Error err, const char* step) {
    return failed(ctx, Status::failed(step, err));
}

// Selects the context's device before GPU work. False, with the last error set, on a context whose
// device could not be initialised ("Could not initialize CUDA device", before any runtime call) or
// when the selection fails: work must never land on whatever device the thread had current.
bool selectDevice(TLContext* ctx);

// Runs body, turning any C++ exception into the failure result (with a text when ctx is non-null):
// nothing C++ crosses the C boundary.
template <class Result, class Body>
Result firewall(TLContext* ctx, Result failure, Body&& body) noexcept {
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

// The firewall of a function on a context: a null context fails quietly.
template <class Result, class Body>
Result guarded(TLContext* ctx, Result failure, Body&& body) noexcept {
    return ctx ? firewall(ctx, failure, body) : failure;
}

TLContext* createContext(int device);
void destroyContext(TLContext* ctx);
int deviceInfo(TLContext* ctx, char* buffer, int bufferSize);
int reserve(TLContext* ctx, uint64_t n, int withVelocity);
int upload(TLContext* ctx, const TLV3* positions, const TLUChar4* colors, const TLV3* velocities, uint64_t n,
           uint64_t offset);
int setCount(TLContext* ctx, uint64_t n);
int generateTestCloud(TLContext* ctx, uint64_t first, uint64_t n, uint32_t seed, int withVelocity);
int generateTestCloudRange(TLContext* ctx, uint64_t first, uint64_t n, uint32_t seed, int withVelocity);
int render(TLContext* ctx, const FrameRequest& request);
int accumulate(TLContext* ctx, const TLCamera* camera, const TLRenderSettings* settings, uint64_t firstIndex,
               TLFloat4* sums);
int resolve(int width, int height, float exposure, const TLFloat4* sums, TLUChar4* rgbaOut, TLFloat4* floatOut);
int deviceMemory(TLContext* ctx, uint64_t* freeBytes, uint64_t* totalBytes);

}  // namespace tl
