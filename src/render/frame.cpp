// buildFrame: the camera frame of one render call, in single precision throughout.
#include "render/frame.h"

#include <cmath>
#include <cstring>

#include "kernels/vector_math.h"

namespace tl {
namespace {

constexpr float kDegToRad = 0.017453292f;

}  // namespace

TLFrame buildFrame(const TLCamera& c, const TLRenderSettings& s) {
    TLFrame f;
    std::memset(&f, 0, sizeof f);

    const TLV3 fwd = normalized(sub(c.target, c.eye));
    const TLV3 right = normalized(cross(fwd, c.up));
    const TLV3 up = cross(right, fwd);
    setRow(f.viewX, right, -dot(right, c.eye));
    setRow(f.viewY, up, -dot(up, c.eye));
    setRow(f.viewZ, negated(fwd), dot(fwd, c.eye));

    f.scaleY = 1.0f / std::tan(c.fovY * 0.5f * 3.1415927f / 180.0f);
    f.scaleX = f.scaleY / (static_cast<float>(s.width) / static_cast<float>(s.height));
    f.width = s.width;
    f.height = s.height;

    f.samples = s.samples > 0 ? s.samples : 1;
    f.colorScale = (s.intensity * 0.003921569f) / static_cast<float>(f.samples);
    f.alphaScale = s.intensity / static_cast<float>(f.samples);
    f.jitterCount = s.jitterCount > 0 ? s.jitterCount : 0;
    f.jitterSigma = s.jitterSigma;
    f.shutter = s.shutter > 0.0f ? s.shutter : 0.0f;  // NaN fails the test too

    const bool depthOfField = c.aperture > 0.0f && c.focusDistance > 0.0f;
    f.aperture = depthOfField ? c.aperture : 0.0f;
    f.invFocus = c.focusDistance > 0.0f ? 1.0f / c.focusDistance : 0.0f;
    f.nearClip = 0.01f;
    f.seed = s.seed;
    f.pixelArea =
        (2.0f / (static_cast<float>(f.width) * f.scaleX)) * (2.0f / (static_cast<float>(f.height) * f.scaleY));

    f.poleExponent[0] = 1.0f;
    f.poleExponent[1] = 1.0f;
    if (c.projection != TL_PROJECTION_PANORAMA) return f;

    f.panorama = TL_PROJECTION_PANORAMA;
    float lo = c.lonMin, hi = c.lonMax;
    if (!(hi > lo)) {
        lo = -180.0f;
        hi = 180.0f;
    }
    if (hi - lo > 360.0f) hi = lo + 360.0f;
    float bottom = std::fmax(c.latMin, -90.0f);
    float top = std::fmin(c.latMax, 90.0f);
    if (!(top > bottom)) {
        bottom = -90.0f;
        top = 90.0f;
    }
    f.lonMin = lo * kDegToRad;
    f.lonSpan = (hi - lo) * kDegToRad;
    f.latMax = top * kDegToRad;
    f.latSpan = (top - bottom) * kDegToRad;
    f.pixelArea = (f.lonSpan / static_cast<float>(f.width)) * (f.latSpan / static_cast<float>(f.height));

    f.eyeOffset = c.eyeOffset;
    f.convergence = c.convergence > 0.0f ? c.convergence : 0.0f;
    f.nodalOffset = c.nodalOffset;
    f.poleMode[0] = c.poleModeTop;
    f.poleMode[1] = c.poleModeBottom;
    f.poleAngle[0] = c.poleAngleTop * kDegToRad;
    f.poleAngle[1] = c.poleAngleBottom * kDegToRad;
    f.poleExponent[0] = c.poleExponentTop;
    f.poleExponent[1] = c.poleExponentBottom;
    f.aperture = 0.0f;  // the panorama has no lens
    f.invFocus = 0.0f;
    return f;
}

}  // namespace tl
