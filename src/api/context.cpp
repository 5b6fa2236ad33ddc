// Contexts: creation with the device and its timing events, destruction, last error and device
// information.
#include "api/context.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tl {
namespace {
constexpr const char* kCouldNotInitialize = "Could not initialize CUDA device";
}  // namespace

void setError(TLContext* ctx, const char* text) {
    try {
        ctx->lastError.assign(text);
    } catch (...) {
        size_t room = ctx->lastError.capacity();
        ctx->lastError.assign(text, std::min(std::strlen(text), room));
    }
}

bool failed(TLContext* ctx, const Status& status) {
    if (!status) return false;
    if (!ctx) return true;
    if (status.err == gpu::kSuccess && !status.detail) {
        setError(ctx, status.what);
        return true;
    }
    const char* description = status.detail ? status.detail : gpu::errorString(status.err);
    std::string text = status.what;
    text += ": ";
    if (description && *description) text += description;
    else text += "error " + std::to_string(status.err);
    setError(ctx, text.c_str());
    return true;
}

bool selectDevice(TLContext* ctx) {
    if (!ctx->deviceReady) {
        setError(ctx, kCouldNotInitialize);
        return false;
    }
    return !checkCuda(ctx, gpu::setDevice(ctx->device), "cudaSetDevice");
}

TLContext* createContext(int device) {
    TLContext* ctx = new TLContext();
    try {
        ctx->lastError.reserve(512);
    } catch (...) {
        delete ctx;
        throw;
    }
    ctx->device = device;
    ctx->deviceReady = gpu::setDevice(device) == gpu::kSuccess && ctx->startEvent.create() == gpu::kSuccess &&
                       ctx->stopEvent.create() == gpu::kSuccess;
    if (!ctx->deviceReady) setError(ctx, kCouldNotInitialize);
    return ctx;
}

// The context's buffers and events are released on its device.
void destroyContext(TLContext* ctx) {
    gpu::setDevice(ctx->device);
    delete ctx;
}

int deviceInfo(TLContext* ctx, char* buffer, int bufferSize) {
    if (!buffer || bufferSize < 1) return 1;
    gpu::DeviceProperties prop;
    std::memset(&prop, 0, sizeof prop);
    if (checkCuda(ctx, gpu::getDeviceProperties(&prop, ctx->device), "cudaGetDeviceProperties")) return 1;
    gpu::setDevice(ctx->device);
    size_t freeBytes = 0, totalBytes = 0;
    gpu::memGetInfo(&freeBytes, &totalBytes);  // a failed query shows 0.0
    std::snprintf(buffer, static_cast<size_t>(bufferSize), "%s | CC %d.%d | VRAM free %.1f / %.1f GB", prop.name,
                  prop.major, prop.minor, static_cast<double>(freeBytes) / 1073741824.0,
                  static_cast<double>(totalBytes) / 1073741824.0);
    return 0;
}

}  // namespace tl
