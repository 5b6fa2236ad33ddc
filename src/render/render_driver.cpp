// tlRender: renders one frame of the context's cloud into host memory.
#include "api/context.h"

using namespace tl;

extern "C" TL_API int tlRender(TLContext* ctx, const TLCamera* camera, const TLRenderSettings* settings,
                               const TLLight* lights, int lightCount, TLUChar4* rgbaOut, TLFloat4* floatOut,
                               float* msOut) {
    (void)camera, (void)settings, (void)lights, (void)lightCount, (void)rgbaOut, (void)floatOut, (void)msOut;
    if (!ctx) return 1;
    setError(ctx, "not implemented");
    return 1;
}
