// What a light sends to simd::kLanes samples at once (lightTerm's falloff, cone and phase, without
// the shadow lookup), for the CPU's shading batches.
#pragma once

#include <cstdint>

#include "kernels/lit_constants.h"

namespace tl::cpu {

// For the points (px, py, pz)[l], l < simd::kLanes: reaches[l] is lightTerm's `reaches` (all ones or
// zero) and, where it reaches, intensity[l] has the bits of lightTerm's intensity: each operation in
// the same order and rounded once.
void lightIntensityLanes(const LitConstants& vc, const LitLight& light, const float* px, const float* py,
                         const float* pz, float* intensity, int32_t* reaches);

}  // namespace tl::cpu
