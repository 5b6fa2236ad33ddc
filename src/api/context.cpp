// Context lifecycle, last error and device information.
#include "api/context.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "gpu/check.h"

namespace tl {
namespace {
constexpr const char* kCouldNotInitialize = "Could not initialize CUDA device";
}  // namespace

void setError(TLContext* ctx, const char* text) {
    if (!ctx) return;
    try {
        ctx->lastError.assign(text);
    } catch (...) {
        size_t room = ctx->lastError.capacity();
        ctx->lastError.assign(text, std::min(std::strlen(text), room));
    }
}

bool selectDevice(TLContext* ctx) {
    if (!ctx->deviceReady) {
        setError(ctx, kCouldNotInitialize);
        return false;
    }
    return !checkCuda(ctx, gpu::setDevice(ctx->device), "cudaSetDevice");
}

}  // namespace tl

using namespace tl;

extern "C" {

TL_API int tlApiVersion(void) { return TL_API_VERSION; }

TL_API TLContext* tlCreate(int device) {
    TLContext* ctx = new (std::nothrow) TLContext();
    if (!ctx) return nullptr;
    try {
        ctx->lastError.reserve(512);
    } catch (...) {
        delete ctx;
        return nullptr;
    }
    ctx->device = device;
    bool ok = gpu::setDevice(device) == gpu::kSuccess;
    ok = ok && gpu::eventCreate(&ctx->startEvent) == gpu::kSuccess;
    ok = ok && gpu::eventCreate(&ctx->stopEvent) == gpu::kSuccess;
    ctx->deviceReady = ok;
    if (!ok) setError(ctx, kCouldNotInitialize);
    // The failure is reported by the text above; the runtime must not report it again in a later call.
    gpu::getLastError();
    return ctx;
}

TL_API void tlDestroy(TLContext* ctx) {
    if (!ctx) return;
    gpu::setDevice(ctx->device);
    void* buffers[] = {ctx->positions,  ctx->colors,     ctx->velocity,    ctx->accumulator,
                       ctx->image,      ctx->imageFloat, ctx->shadowMaps,  ctx->cameraDepth,
                       ctx->totalDepth, ctx->bounds,     ctx->moments};
    for (void* p : buffers) gpu::free(p);
    if (ctx->startEvent) gpu::eventDestroy(ctx->startEvent);
    if (ctx->stopEvent) gpu::eventDestroy(ctx->stopEvent);
    // Errors of the calls above must not leak into the thread's next unrelated check.
    gpu::getLastError();
    delete ctx;
}

TL_API const char* tlLastError(TLContext* ctx) { return ctx ? ctx->lastError.c_str() : "no context"; }

TL_API int tlDeviceInfo(TLContext* ctx, char* buffer, int bufferSize) {
    if (!ctx || !buffer || bufferSize < 1) return 1;
    return guarded(ctx, 1, [&] {
        gpu::DeviceProperties prop;
        std::memset(&prop, 0, sizeof prop);
        if (checkCuda(ctx, gpu::getDeviceProperties(&prop, ctx->device), "cudaGetDeviceProperties")) return 1;
        gpu::setDevice(ctx->device);
        size_t freeBytes = 0, totalBytes = 0;
        gpu::memGetInfo(&freeBytes, &totalBytes);
        std::snprintf(buffer, static_cast<size_t>(bufferSize), "%s | CC %d.%d | VRAM free %.1f / %.1f GB", prop.name,
                      prop.major, prop.minor, static_cast<double>(freeBytes) / 1073741824.0,
                      static_cast<double>(totalBytes) / 1073741824.0);
        return 0;
    });
}

}  // extern "C"
