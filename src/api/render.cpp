// tlRender and tlAccumulate on a context: the request is checked, the device selected, and the frame
// rendered with the context's particles, buffers and events. tlResolve needs no context.
#include <climits>

#include "api/context.h"

namespace tl {
namespace {

FrameResources resourcesOf(TLContext* ctx) {
    return FrameResources{ctx->device, ctx->store.arrays(), ctx->pixels, ctx->lit, ctx->startEvent.get(),
                          ctx->stopEvent.get()};
}

}  // namespace

int render(TLContext* ctx, const FrameRequest& request) {
    if (failed(ctx, checkFrameRequest(request, ctx->store.count)) || !selectDevice(ctx)) return 1;
    FrameResources resources = resourcesOf(ctx);
    return failed(ctx, renderFrame(request, resources)) ? 1 : 0;
}

int accumulate(TLContext* ctx, const TLCamera* camera, const TLRenderSettings* settings, uint64_t firstIndex,
               TLFloat4* sums) {
    const FrameRequest request{camera, settings, nullptr, 0, nullptr, nullptr, nullptr};
    if (failed(ctx, checkAccumulation(request, ctx->store.count, firstIndex, sums)) || !selectDevice(ctx)) return 1;
    FrameResources resources = resourcesOf(ctx);
    return failed(ctx, accumulateFrame(request, resources, firstIndex, sums)) ? 1 : 0;
}

int resolve(int width, int height, float exposure, const TLFloat4* sums, TLUChar4* rgbaOut, TLFloat4* floatOut) {
    if (!sums || width < 1 || height < 1 || static_cast<int64_t>(width) * height > INT_MAX) return 1;
    resolveSums(sums, rgbaOut, floatOut, width * height, exposure);
    return 0;
}

int deviceMemory(TLContext* ctx, uint64_t* freeBytes, uint64_t* totalBytes) {
    if (!selectDevice(ctx)) return 1;
    size_t freeNow = 0, total = 0;
    if (checkCuda(ctx, gpu::memGetInfo(&freeNow, &total), "cudaMemGetInfo")) return 1;
    if (freeBytes) *freeBytes = freeNow;
    if (totalBytes) *totalBytes = total;
    return 0;
}

}  // namespace tl
