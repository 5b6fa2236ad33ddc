// The particle store: positions, colours and optional velocities on the device, grow-only.
#include <cstdio>

#include "api/context.h"
#include "gpu/check.h"

namespace tl {
namespace {

constexpr uint64_t kHeadroomBytes = 536870912;  // memory left to the rest of the GPU's users
constexpr uint64_t kBytesWithVelocity = 28;
constexpr uint64_t kBytesWithoutVelocity = 16;

void releaseStore(TLContext* ctx) {
    gpu::free(ctx->positions);
    gpu::free(ctx->colors);
    gpu::free(ctx->velocity);
    ctx->positions = nullptr;
    ctx->colors = nullptr;
    ctx->velocity = nullptr;
    ctx->capacity = 0;
    ctx->count = 0;
    ctx->hasVelocity = 0;
    ctx->velocityValid = 0;
}

int reserve(TLContext* ctx, uint64_t n, int withVelocity) {
    if (n <= ctx->capacity && (!withVelocity || ctx->hasVelocity)) return 0;
    const uint64_t perParticle = withVelocity ? kBytesWithVelocity : kBytesWithoutVelocity;
    if (n > UINT64_MAX / perParticle) {
        setError(ctx, "tlReserve: particle count too large");
        return 1;
    }
    if (!selectDevice(ctx)) return 1;
    const uint64_t held = ctx->capacity * (ctx->hasVelocity ? kBytesWithVelocity : kBytesWithoutVelocity);
    size_t freeBytes = 0, totalBytes = 0;
    gpu::memGetInfo(&freeBytes, &totalBytes);
    const uint64_t available = static_cast<uint64_t>(freeBytes) + held;
    const uint64_t needed = n * perParticle;
    // needed + headroom > available, written so that nothing wraps.
    if (available < kHeadroomBytes || needed > available - kHeadroomBytes) {
        // The amount shown never goes below zero, even when less than the headroom is free.
        const uint64_t shown = available > kHeadroomBytes ? available - kHeadroomBytes : 0;
        char text[256];
        std::snprintf(text, sizeof text, "Not enough VRAM: needs %.2f GB, approx. %.2f GB available",
                      static_cast<double>(needed) / 1073741824.0, static_cast<double>(shown) / 1073741824.0);
        setError(ctx, text);
        return 1;
    }
    releaseStore(ctx);
    if (checkCuda(ctx, gpu::malloc(reinterpret_cast<void**>(&ctx->positions), n * sizeof(TLV3)),
                  "cudaMalloc positions"))
        return 1;
    if (checkCuda(ctx, gpu::malloc(reinterpret_cast<void**>(&ctx->colors), n * sizeof(TLUChar4)),
                  "cudaMalloc colors"))
        return 1;
    if (withVelocity) {
        if (checkCuda(ctx, gpu::malloc(reinterpret_cast<void**>(&ctx->velocity), n * sizeof(TLV3)),
                      "cudaMalloc velocity"))
            return 1;
        ctx->hasVelocity = 1;
    }
    ctx->capacity = n;
    return 0;
}

int upload(TLContext* ctx, const TLV3* positions, const TLUChar4* colors, const TLV3* velocities, uint64_t n,
           uint64_t offset) {
    if (!positions) {
        setError(ctx, "tlUpload: invalid parameters");
        return 1;
    }
    if (offset > ctx->capacity || n > ctx->capacity - offset) {
        setError(ctx, "tlUpload: capacity exceeded (call tlReserve first)");
        return 1;
    }
    if (velocities && !ctx->hasVelocity) {
        setError(ctx, "tlUpload: velocity passed but reserved without velocity");
        return 1;
    }
    if (!selectDevice(ctx)) return 1;
    if (checkCuda(ctx, gpu::copyToDevice(ctx->positions + offset, positions, n * sizeof(TLV3)), "upload positions"))
        return 1;
    if (colors) {
        if (checkCuda(ctx, gpu::copyToDevice(ctx->colors + offset, colors, n * sizeof(TLUChar4)), "upload colors"))
            return 1;
    } else if (checkCuda(ctx, gpu::memset(ctx->colors + offset, 255, n * sizeof(TLUChar4)), "set colors to white")) {
        return 1;
    }
    if (ctx->hasVelocity) {
        if (velocities) {
            if (checkCuda(ctx, gpu::copyToDevice(ctx->velocity + offset, velocities, n * sizeof(TLV3)),
                          "upload velocity"))
                return 1;
        } else if (checkCuda(ctx, gpu::memset(ctx->velocity + offset, 0, n * sizeof(TLV3)), "clear velocity")) {
            return 1;
        }
    }
    // The first piece of a cloud uploaded in pieces decides whether its velocities are rendered.
    if (offset == 0) ctx->velocityValid = velocities ? 1 : 0;
    if (offset + n > ctx->count) ctx->count = offset + n;
    return 0;
}

}  // namespace

bool ensureDeviceBuffer(TLContext* ctx, float** buffer, uint64_t* capacityFloats, uint64_t neededFloats,
                        const char* what) {
    if (neededFloats <= *capacityFloats) return false;
    gpu::free(*buffer);
    *buffer = nullptr;
    *capacityFloats = 0;
    if (neededFloats > UINT64_MAX / sizeof(float)) {
        setError(ctx, std::string(what) + ": size too large");
        return true;
    }
    if (checkCuda(ctx, gpu::malloc(reinterpret_cast<void**>(buffer), neededFloats * sizeof(float)), what))
        return true;
    *capacityFloats = neededFloats;
    return false;
}

}  // namespace tl

using namespace tl;

extern "C" {

TL_API int tlReserve(TLContext* ctx, uint64_t n, int withVelocity) {
    if (!ctx) return 1;
    return guarded(ctx, 1, [&] { return reserve(ctx, n, withVelocity); });
}

TL_API int tlUpload(TLContext* ctx, const TLV3* positions, const TLUChar4* colors, const TLV3* velocities,
                    uint64_t n, uint64_t offset) {
    if (!ctx) return 1;
    return guarded(ctx, 1, [&] { return upload(ctx, positions, colors, velocities, n, offset); });
}

TL_API int tlSetCount(TLContext* ctx, uint64_t n) {
    if (!ctx) return 1;
    if (n > ctx->capacity) {
        setError(ctx, "tlSetCount: larger than capacity");
        return 1;
    }
    ctx->count = n;
    return 0;
}

TL_API uint64_t tlGetCount(TLContext* ctx) { return ctx ? ctx->count : 0; }

}  // extern "C"
