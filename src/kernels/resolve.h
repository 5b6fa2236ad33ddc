// One pixel of the plain path's resolve: the exponential tone curve, the float image's alpha and the
// gamma-encoded byte.
#pragma once

#include "kernels/portable.h"
#include "taluna.h"

namespace tl {

// 1.0f / 2.2f, one unit in the last place below the float nearest to 1/2.2.
constexpr float kInvGamma = 0.45454544f;

TL_HD float toneCurve(float x, float exposure) { return 1.0f - expF(exposure * (-x)); }

// The float image's alpha from the four tone-mapped channels: the brightest of them, at least 0, so no
// colour exceeds it (premultiplied form). A NaN channel is ignored by the maximum.
TL_HD TLFloat4 premultiplied(float r, float g, float b, float a) {
    float alpha = 0.0f;
    alpha = r > alpha ? r : alpha;
    alpha = g > alpha ? g : alpha;
    alpha = b > alpha ? b : alpha;
    alpha = a > alpha ? a : alpha;
    return TLFloat4{r, g, b, alpha};
}

// Tone-mapped, premultiplied pixel; colours are not clamped.
TL_HD TLFloat4 resolveLinear(float r, float g, float b, float a, float exposure) {
    return premultiplied(toneCurve(r, exposure), toneCurve(g, exposure), toneCurve(b, exposure),
                         toneCurve(a, exposure));
}

// Gamma 2.2 byte of a tone-mapped channel; a negative value (NaN after the power) gives 0.
TL_HD uint8_t encodeByte(float v) {
    return static_cast<uint8_t>(floatToUint(powF(v, kInvGamma) * 255.0f + 0.5f) & 0xFFu);
}

// The 8-bit pixel: the float pixel composited over black, always opaque.
TL_HD TLUChar4 encodePixel(TLFloat4 v) { return TLUChar4{encodeByte(v.x), encodeByte(v.y), encodeByte(v.z), 255}; }

}  // namespace tl
