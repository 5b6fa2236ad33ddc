// The exponential tone curve of simd::kLanes values at once, and the pixel stores, of the CPU resolve
// launchers (the plain and the lit resolve).
#pragma once

#include <cstdint>

#include "cpu/simd.h"
#include "kernels/resolve.h"

namespace tl::cpu {

// Pixels whose four values fill the lanes of one toneLanes call.
constexpr uint64_t kPixelsPerLanes = simd::kLanes / 4;

// out[l] = 1 - expF(scale[l] x (-x[l])) for l < simd::kLanes, lane by lane the bits of the scalar
// expression: toneCurve(x, exposure) with the exposure as the scale, 1 - expF(-x) with a scale of 1.
void toneLanes(const float* x, const float* scale, float* out);

// Pixel t of whichever outputs are given.
inline void storePixel(uint64_t t, const TLFloat4& v, TLUChar4* image, TLFloat4* imageFloat) {
    if (imageFloat) imageFloat[t] = v;
    if (image) image[t] = encodePixel(v);
}

// A pixel no sample reached, for a finite exposure: transparent black, the byte opaque black (what
// storePixel writes for it, without the power).
inline void storeEmptyPixel(uint64_t t, TLUChar4* image, TLFloat4* imageFloat) {
    if (imageFloat) imageFloat[t] = TLFloat4{0.0f, 0.0f, 0.0f, 0.0f};
    if (image) image[t] = TLUChar4{0, 0, 0, 255};
}

}  // namespace tl::cpu
