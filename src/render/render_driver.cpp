// tlRender: renders one frame of the context's cloud into host memory.
#include <climits>
#include <cstdint>

#include "api/context.h"
#include "gpu/check.h"
#include "kernels/kernels.h"
#include "kernels/volume_kernels.h"
#include "render/frame.h"
#include "volume/volume_pass.h"

namespace tl {
namespace {

constexpr uint32_t kBlock = 256;

void releasePixelBuffers(TLContext* ctx) {
    gpu::free(ctx->accumulator);
    gpu::free(ctx->image);
    gpu::free(ctx->imageFloat);
    gpu::free(ctx->totalDepth);
    ctx->accumulator = nullptr;
    ctx->image = nullptr;
    ctx->imageFloat = nullptr;
    ctx->totalDepth = nullptr;
    ctx->width = 0;
    ctx->height = 0;
}

// The four per-pixel buffers follow the image size; an unchanged size reuses them as they are.
// After a failed allocation the recorded size stays 0 x 0, so the next call starts over.
bool ensurePixelBuffers(TLContext* ctx, int32_t width, int32_t height) {
    if (width == ctx->width && height == ctx->height) return true;
    releasePixelBuffers(ctx);
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (checkCuda(ctx, gpu::malloc(reinterpret_cast<void**>(&ctx->accumulator), pixels * 16u),
                  "cudaMalloc accumulator"))
        return false;
    if (checkCuda(ctx, gpu::malloc(reinterpret_cast<void**>(&ctx->image), pixels * 4u), "cudaMalloc image"))
        return false;
    if (checkCuda(ctx, gpu::malloc(reinterpret_cast<void**>(&ctx->imageFloat), pixels * 16u),
                  "cudaMalloc image (float)"))
        return false;
    if (checkCuda(ctx, gpu::malloc(reinterpret_cast<void**>(&ctx->totalDepth), pixels * 4u),
                  "cudaMalloc total depth"))
        return false;
    ctx->width = width;
    ctx->height = height;
    return true;
}

// Samples of a frame: count x (jitterCount + 1) x samples with the settings' clamps; false when the
// product does not fit 64 bits.
bool workCount(uint64_t count, const TLRenderSettings& s, uint64_t* n) {
    const uint64_t copies = s.jitterCount > 0 ? static_cast<uint64_t>(s.jitterCount) + 1u : 1u;
    const uint64_t samples = s.samples > 0 ? static_cast<uint64_t>(s.samples) : 1u;
    uint64_t perParticle = 0;
    return !__builtin_mul_overflow(copies, samples, &perParticle) && !__builtin_mul_overflow(count, perParticle, n);
}

int render(TLContext* ctx, const TLCamera* camera, const TLRenderSettings* settings, const TLLight* lights,
           int lightCount, TLUChar4* rgbaOut, TLFloat4* floatOut, float* msOut) {
    // The kernels and copies count pixels in 32 bits: larger images are refused before any GPU call,
    // as are frames whose sample count does not fit 64 bits.
    uint64_t n = 0;
    if (!camera || !settings || settings->width < 1 || settings->height < 1 ||
        static_cast<uint64_t>(settings->width) * static_cast<uint64_t>(settings->height) > INT32_MAX ||
        !workCount(ctx->count, *settings, &n)) {
        setError(ctx, "tlRender: invalid parameters");
        return 1;
    }
    if (!selectDevice(ctx)) return 1;
    if (!ensurePixelBuffers(ctx, settings->width, settings->height)) return 1;
    const int32_t pixelCount = settings->width * settings->height;

    const TLFrame frame = buildFrame(*camera, *settings);
    const TLV3* velocities = ctx->velocityValid && frame.shutter > 0.0f ? ctx->velocity : nullptr;

    gpu::eventRecord(ctx->startEvent);
    const LaunchConfig resolve{static_cast<uint32_t>((static_cast<uint64_t>(pixelCount) + kBlock - 1) / kBlock), kBlock};
    if (settings->lightingMode == 1) {
        if (runVolumePass(ctx, camera, settings, &frame, lights, lightCount, velocities) != 0) return 1;
        launchResolveVol(resolve, ctx->accumulator, ctx->totalDepth, rgbaOut ? ctx->image : nullptr,
                         floatOut ? ctx->imageFloat : nullptr, pixelCount, settings->exposure);
    } else {
        gpu::memsetAsync(ctx->accumulator, 0, static_cast<size_t>(pixelCount) * 16u);
        if (n > 0) {
            const LaunchConfig splat{gridSizeFor(ctx, n, kBlock), kBlock};
            launchSplat(splat, frame, ctx->positions, ctx->colors, velocities, n, ctx->accumulator);
        }
        launchResolve(resolve, ctx->accumulator, rgbaOut ? ctx->image : nullptr, floatOut ? ctx->imageFloat : nullptr,
                      pixelCount, settings->exposure);
    }
    gpu::eventRecord(ctx->stopEvent);

    if (checkCuda(ctx, gpu::getLastError(), "launch render kernel")) return 1;
    if (checkCuda(ctx, gpu::eventSynchronize(ctx->stopEvent), "run render kernel")) return 1;
    if (msOut) {
        float ms = 0.0f;
        gpu::eventElapsedTime(&ms, ctx->startEvent, ctx->stopEvent);
        // The query's result is not examined; its error must not surface in a later call's check.
        gpu::getLastError();
        *msOut = ms;
    }
    if (rgbaOut && checkCuda(ctx, gpu::copyToHost(rgbaOut, ctx->image, static_cast<size_t>(pixelCount) * 4u),
                             "download image"))
        return 1;
    if (floatOut &&
        checkCuda(ctx, gpu::copyToHost(floatOut, ctx->imageFloat, static_cast<size_t>(pixelCount) * 16u),
                  "download image (float)"))
        return 1;
    return 0;
}

}  // namespace
}  // namespace tl

using namespace tl;

extern "C" TL_API int tlRender(TLContext* ctx, const TLCamera* camera, const TLRenderSettings* settings,
                               const TLLight* lights, int lightCount, TLUChar4* rgbaOut, TLFloat4* floatOut,
                               float* msOut) {
    if (!ctx) return 1;
    return guarded(ctx, 1, [&] { return render(ctx, camera, settings, lights, lightCount, rgbaOut, floatOut, msOut); });
}
