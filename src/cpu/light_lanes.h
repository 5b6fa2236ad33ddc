// What a light sends to simd::kLanes samples at once (lightTerm's falloff, cone and phase, without
// the shadow lookup), for the CPU's shading batches.
#pragma once

#include <cstdint>

#include "kernels/lit_constants.h"

namespace tl::cpu {

// ViewDirection of the points (px, py, pz)[l], l < simd::kLanes, into (vx, vy, vz): the unit vectors
// towards the eye, zero at the eye. Found once for a batch, whatever its lights.
void viewDirectionLanes(const LitConstants& vc, const float* px, const float* py, const float* pz, float* vx,
                        float* vy, float* vz);

// For the same points and their view directions: reaches[l] is lightTerm's `reaches` (all ones or
// zero) and, where it reaches, intensity[l] has the bits of lightTerm's intensity. Each operation is
// the scalar code's, in the same order, rounded once.
void lightIntensityLanes(const LitConstants& vc, const LitLight& light, const float* px, const float* py,
                         const float* pz, const float* vx, const float* vy, const float* vz, float* intensity,
                         int32_t* reaches);

}  // namespace tl::cpu
