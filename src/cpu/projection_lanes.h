// The perspective projection without lens (projectPerspective, and sampleDepth's depth and footprint)
// of simd::kLanes points at once, for the CPU launchers that walk whole batches of samples.
#pragma once

#include <cstdint>

#include "kernels/frame.h"
#include "kernels/sampling.h"

namespace tl::cpu {

// The pixel of a culled lane: never a pixel, as images hold at most INT32_MAX pixels.
constexpr uint32_t kCulledPixel = 0xFFFFFFFFu;

// Whether projectLanes applies to the frame: a perspective camera without lens.
inline bool projectsInLanes(const TLFrame& f) { return f.panorama != TL_PROJECTION_PANORAMA && !(f.aperture > 0.0f); }

// Projects the points (px, py, pz)[l] for l < simd::kLanes: lane by lane the scalar bits, each
// operation in the same order and rounded once. pixel[l] is pixelIndex of the hit, or kCulledPixel.
void projectLanes(const TLFrame& f, const float* px, const float* py, const float* pz, uint32_t* pixel);
// The same, and depth and footprint receive sampleDepth's two values of each lane that is not culled.
void projectLanes(const TLFrame& f, const float* px, const float* py, const float* pz, uint32_t* pixel, float* depth,
                  float* footprint);

}  // namespace tl::cpu
