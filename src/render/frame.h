// buildFrame: derives each frame's camera frame from the caller's camera and settings.
#pragma once

#include "kernels/frame.h"
#include "taluna.h"

namespace tl {

// Derives the frame from the camera and the settings; host only, pure, never fails. Degenerate
// cameras give degenerate frames (an eye on its target culls everything).
TLFrame buildFrame(const TLCamera& camera, const TLRenderSettings& settings);

}  // namespace tl
