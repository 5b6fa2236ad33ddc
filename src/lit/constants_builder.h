// Fills the lit constants of one frame: the lights with their
// cone cosines, the light-space shadow views fitted around the cloud's padded box, and the slicing
// of the camera's depth range.
#pragma once

#include <cstdint>

#include "kernels/lit_constants.h"
#include "kernels/frame.h"
#include "taluna.h"

namespace tl {

struct LightBasis {
    TLV3 right;
    TLV3 up;
};

// Right and up axes of a light looking along dir: the reference axis is +Y, or +X when dir is
// within about 18 degrees of vertical. A zero vector stays zero.
LightBasis lightBasis(TLV3 dir);

struct ValueRange {
    float min;
    float max;
};

// Smallest and largest of row . (corner, 1) over the eight corners of the box [lo, hi].
ValueRange boxRange(const float lo[3], const float hi[3], const float row[4]);

// Fills out, which the caller has zeroed, from the frame's records and the cloud's padded box
// [lo, hi]. Returns the number of floats the shadow-map buffer must hold (0 when no light casts
// shadows); a size beyond 64 bits saturates at UINT64_MAX, which no allocation satisfies. A null
// lights array counts as no lights; lights past the eighth are ignored.
uint64_t buildLitConstants(const TLCamera* camera, const TLRenderSettings* settings, const TLFrame* frame,
                              const TLLight* lights, int32_t lightCount, const float lo[3], const float hi[3],
                              float particleCrossSection, LitConstants* out);

}  // namespace tl
