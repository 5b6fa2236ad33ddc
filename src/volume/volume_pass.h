// The lighting path's volume pass: measures the cloud, builds and uploads the constant block, builds
// the shadow maps and the camera depth map, and shades every sample into the accumulator. It leaves
// the lit colour sums in ctx->accumulator and each pixel's optical depth in ctx->totalDepth for the
// lit resolve.
#pragma once

#include "api/context.h"
#include "render/frame.h"

namespace tl {

// All work is queued on the default stream. Returns 0, or 1 with the context's last error set; a
// failure stops the pass at once. velocities is the array the frame uses, or null.
int runVolumePass(TLContext* ctx, const TLCamera* camera, const TLRenderSettings* settings, const TLFrame* frame,
                  const TLLight* lights, int32_t lightCount, const TLV3* velocities);

}  // namespace tl
