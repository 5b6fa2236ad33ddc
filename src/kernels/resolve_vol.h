// One pixel of the lit resolve: the exponential tone curve on the lit colour sums, and coverage from
// the pixel's total optical depth.
#pragma once

#include "kernels/resolve.h"

namespace tl {

// Colours are linear and at most 1; alpha ignores the exposure. The 8-bit pixel is always opaque.
TL_HD TLFloat4 resolveLitPixel(const float* accumulator, float totalDepth, float exposure) {
    TLFloat4 out;
    out.x = toneCurve(accumulator[0], exposure);
    out.y = toneCurve(accumulator[1], exposure);
    out.z = toneCurve(accumulator[2], exposure);
    out.w = 1.0f - expF(-totalDepth);
    return out;
}

}  // namespace tl
