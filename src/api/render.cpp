// tlRender on a context: the request is checked, the device selected, and the frame rendered with the
// context's particles, buffers and events.
#include "api/context.h"

namespace tl {

int render(TLContext* ctx, const FrameRequest& request) {
    if (failed(ctx, checkFrameRequest(request, ctx->store.count)) || !selectDevice(ctx)) return 1;
    FrameResources resources{ctx->device, ctx->store.arrays(), ctx->pixels, ctx->lit, ctx->startEvent.get(),
                             ctx->stopEvent.get()};
    return failed(ctx, renderFrame(request, resources)) ? 1 : 0;
}

}  // namespace tl
