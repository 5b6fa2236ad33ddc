// What the lighting path derives on the host from the cloud's bounds and moments: the padded box
// that every sample stays within, the core box where most of the cloud is, and the extinction
// cross-section of one particle.
#pragma once

#include <cstdint>

#include "kernels/bounds.h"
#include "kernels/frame.h"

namespace tl {

struct Box {
    float lo[3];
    float hi[3];
};

// The bounding box widened by the farthest a sample moves (motion blur) and by three standard
// deviations of the copy jitter; (-1, -1, -1) to (1, 1, 1) before widening for an empty cloud.
Box paddedBox(const BoundsRecord& bounds, uint64_t count, const TLFrame& frame);

// Per axis, mean +- two standard deviations clipped to the padded box; an axis falls back to the
// padded box with fewer than two particles or when the result is thinner than 0.001.
Box coreBox(const MomentsRecord& moments, uint64_t count, const Box& padded);

// density times a quarter of the core box's surface (its mean projected area), shared among the
// particles; 0 for an empty cloud and for a density that is not positive.
float particleCrossSection(const Box& core, uint64_t count, float density);

}  // namespace tl
