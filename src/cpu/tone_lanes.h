// The exponential tone curve of simd::kLanes values at once, for the CPU resolve launchers.
#pragma once

namespace tl::cpu {

// out[l] = 1 - expF(scale[l] x (-x[l])) for l < simd::kLanes, lane by lane the bits of the scalar
// expression: toneCurve(x, exposure) with the exposure as the scale, 1 - expF(-x) with a scale of 1.
void toneLanes(const float* x, const float* scale, float* out);

}  // namespace tl::cpu
