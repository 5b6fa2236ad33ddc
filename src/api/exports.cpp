// The exported C functions: each is one call behind the exception firewall.
#include "api/context.h"
#include "io/image_writers.h"

using namespace tl;

extern "C" {

TL_API int tlApiVersion(void) { return TL_API_VERSION; }

TL_API TLContext* tlCreate(int device) {
    return firewall(nullptr, static_cast<TLContext*>(nullptr), [&] { return createContext(device); });
}

TL_API void tlDestroy(TLContext* ctx) {
    guarded(ctx, 0, [&] {
        destroyContext(ctx);
        return 0;
    });
}

TL_API const char* tlLastError(TLContext* ctx) { return ctx ? ctx->lastError.c_str() : "no context"; }

TL_API int tlDeviceInfo(TLContext* ctx, char* buffer, int bufferSize) {
    return guarded(ctx, 1, [&] { return deviceInfo(ctx, buffer, bufferSize); });
}

TL_API int tlReserve(TLContext* ctx, uint64_t n, int withVelocity) {
    return guarded(ctx, 1, [&] { return reserve(ctx, n, withVelocity); });
}

TL_API int tlUpload(TLContext* ctx, const TLV3* positions, const TLUChar4* colors, const TLV3* velocities,
                    uint64_t n, uint64_t offset) {
    return guarded(ctx, 1, [&] { return upload(ctx, positions, colors, velocities, n, offset); });
}

TL_API int tlSetCount(TLContext* ctx, uint64_t n) {
    return guarded(ctx, 1, [&] { return setCount(ctx, n); });
}

TL_API uint64_t tlGetCount(TLContext* ctx) { return ctx ? ctx->store.count : 0; }

TL_API int tlGenerateTestCloud(TLContext* ctx, uint64_t n, uint32_t seed, int withVelocity) {
    return guarded(ctx, 1, [&] { return generateTestCloud(ctx, 0, n, seed, withVelocity); });
}

TL_API int tlGenerateTestCloudRange(TLContext* ctx, uint64_t first, uint64_t n, uint32_t seed, int withVelocity) {
    return guarded(ctx, 1, [&] { return generateTestCloudRange(ctx, first, n, seed, withVelocity); });
}

TL_API int tlDeviceMemory(TLContext* ctx, uint64_t* freeBytes, uint64_t* totalBytes) {
    return guarded(ctx, 1, [&] { return deviceMemory(ctx, freeBytes, totalBytes); });
}

TL_API int tlRender(TLContext* ctx, const TLCamera* camera, const TLRenderSettings* settings, const TLLight* lights,
                    int lightCount, TLUChar4* rgbaOut, TLFloat4* floatOut, float* msOut) {
    const FrameRequest request{camera, settings, lights, lightCount, rgbaOut, floatOut, msOut};
    return guarded(ctx, 1, [&] { return render(ctx, request); });
}

TL_API int tlAccumulate(TLContext* ctx, const TLCamera* camera, const TLRenderSettings* settings, uint64_t firstIndex,
                        TLFloat4* sums) {
    return guarded(ctx, 1, [&] { return accumulate(ctx, camera, settings, firstIndex, sums); });
}

TL_API int tlResolve(int width, int height, float exposure, const TLFloat4* sums, TLUChar4* rgbaOut,
                     TLFloat4* floatOut) {
    return firewall(nullptr, 1, [&] { return resolve(width, height, exposure, sums, rgbaOut, floatOut); });
}

TL_API int tlSavePNG(const char* path, int width, int height, const float* rgba, int sixteenBit) {
    return firewall(nullptr, 1, [&] { return io::savePNG(path, width, height, rgba, sixteenBit != 0); });
}

TL_API int tlSaveEXR(const char* path, int width, int height, const float* rgba) {
    return firewall(nullptr, 1, [&] { return io::saveEXR(path, width, height, rgba); });
}

}  // extern "C"
