// The particle store: reserve against the free device memory, uploads whole or in pieces, the count.
#include <cstdio>

#include "api/context.h"

namespace tl {
namespace {

constexpr uint64_t kHeadroomBytes = 536870912;  // memory left to the rest of the GPU's users
constexpr uint64_t kBytesWithVelocity = 28;
constexpr uint64_t kBytesWithoutVelocity = 16;
// From this many particles on, a store also readies the buffers of a frame at the default image size:
// their memory then costs the reservation, not the first frame. Smaller clouds render too quickly for
// it to matter.
constexpr uint64_t kPrepareFramesFrom = uint64_t{1} << 20;

// Best effort: a frame that finds nothing prepared allocates for itself.
void prepareFrames(TLContext* ctx, uint64_t n) {
    if (n < kPrepareFramesFrom) return;
    const TLRenderSettings defaults = tlDefaultSettings();
    if (ctx->pixels.width == 0 && ensurePixelBuffers(ctx->pixels, defaults.width, defaults.height)) return;
    prepareSplat(n, ctx->pixels.width, ctx->pixels.height);
}

// False, with the refusal stored, when n particles of perParticle bytes would leave less than the
// headroom free (memory the store already holds counts as free).
bool fitsDevice(TLContext* ctx, uint64_t n, uint64_t perParticle) {
    const ParticleStore& store = ctx->store;
    const uint64_t held = store.capacity() * (store.hasVelocity ? kBytesWithVelocity : kBytesWithoutVelocity);
    size_t freeBytes = 0, totalBytes = 0;
    gpu::memGetInfo(&freeBytes, &totalBytes);
    const uint64_t available = static_cast<uint64_t>(freeBytes) + held;
    const uint64_t needed = n * perParticle;
    // needed + headroom > available, written so that nothing wraps.
    if (available >= kHeadroomBytes && needed <= available - kHeadroomBytes) return true;
    // The amount shown never goes below zero, even when less than the headroom is free.
    const uint64_t shown = available > kHeadroomBytes ? available - kHeadroomBytes : 0;
    char text[256];
    std::snprintf(text, sizeof text, "Not enough VRAM: needs %.2f GB, approx. %.2f GB available",
                  static_cast<double>(needed) / 1073741824.0, static_cast<double>(shown) / 1073741824.0);
    setError(ctx, text);
    return false;
}

}  // namespace

int reserve(TLContext* ctx, uint64_t n, int withVelocity) {
    ParticleStore& store = ctx->store;
    if (n <= store.capacity() && (!withVelocity || store.hasVelocity)) return 0;
    const uint64_t perParticle = withVelocity ? kBytesWithVelocity : kBytesWithoutVelocity;
    if (n > UINT64_MAX / perParticle) {
        setError(ctx, "tlReserve: particle count too large");
        return 1;
    }
    if (!selectDevice(ctx) || !fitsDevice(ctx, n, perParticle)) return 1;
    store.release();
    Status status = store.positions.grow(n, "cudaMalloc positions");
    if (!status) status = store.colors.grow(n, "cudaMalloc colors");
    if (!status && withVelocity) status = store.velocity.grow(n, "cudaMalloc velocity");
    if (failed(ctx, status)) {
        store.release();
        return 1;
    }
    store.hasVelocity = withVelocity != 0;
    prepareFrames(ctx, n);
    return 0;
}

int upload(TLContext* ctx, const TLV3* positions, const TLUChar4* colors, const TLV3* velocities, uint64_t n,
           uint64_t offset) {
    ParticleStore& store = ctx->store;
    if (!positions) {
        setError(ctx, "tlUpload: invalid parameters");
        return 1;
    }
    if (offset > store.capacity() || n > store.capacity() - offset) {
        setError(ctx, "tlUpload: capacity exceeded (call tlReserve first)");
        return 1;
    }
    if (velocities && !store.hasVelocity) {
        setError(ctx, "tlUpload: velocity passed but reserved without velocity");
        return 1;
    }
    if (!selectDevice(ctx)) return 1;
    if (checkCuda(ctx, gpu::copyToDevice(store.positions.get() + offset, positions, n * sizeof(TLV3)),
                  "upload positions"))
        return 1;
    TLUChar4* colorsAt = store.colors.get() + offset;
    if (colors ? checkCuda(ctx, gpu::copyToDevice(colorsAt, colors, n * sizeof(TLUChar4)), "upload colors")
               : checkCuda(ctx, gpu::memset(colorsAt, 255, n * sizeof(TLUChar4)), "set colors to white"))
        return 1;
    if (store.hasVelocity) {
        TLV3* velocityAt = store.velocity.get() + offset;
        if (velocities ? checkCuda(ctx, gpu::copyToDevice(velocityAt, velocities, n * sizeof(TLV3)), "upload velocity")
                       : checkCuda(ctx, gpu::memset(velocityAt, 0, n * sizeof(TLV3)), "clear velocity"))
            return 1;
    }
    // The first piece of a cloud uploaded in pieces decides whether its velocities are rendered.
    if (offset == 0) store.velocityValid = velocities != nullptr;
    if (offset + n > store.count) store.count = offset + n;
    return 0;
}

int setCount(TLContext* ctx, uint64_t n) {
    if (n > ctx->store.capacity()) {
        setError(ctx, "tlSetCount: larger than capacity");
        return 1;
    }
    ctx->store.count = n;
    return 0;
}

}  // namespace tl
