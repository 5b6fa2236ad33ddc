// Camera placements derived from the scene's camera: fitted to a cloud's bounds, turned for an orbit.
#pragma once

#include "taluna.h"

namespace taluna::render {

// Looks at the centre of the box [lo, hi] from the camera's viewing direction, from the distance at
// which the box's bounding sphere just fits the narrower of the two fields of view (perspective only).
TLCamera fitCamera(const TLCamera& camera, TLV3 lo, TLV3 hi, float aspect);

// The camera turned by `degrees` about the up axis through the target, counter-clockwise seen from the
// up side. The target and up stay; the eye moves on its circle.
TLCamera orbitCamera(const TLCamera& camera, double degrees);

}  // namespace taluna::render
