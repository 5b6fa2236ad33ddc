// Camera placements derived from the scene's camera: fitted to a cloud's bounds, turned for an orbit.
#pragma once

#include "taluna.h"

namespace taluna::render {

// Looks at the centre of the box [lo, hi] from the camera's viewing direction, from the distance at
// which the box's bounding sphere, grown by a tenth as a margin, just fits the narrower of the two fields
// of view (perspective only).
TLCamera fitCamera(const TLCamera& camera, TLV3 lo, TLV3 hi, float aspect);

// When the viewing direction is (within 1e-3 radians) parallel to the up vector, or up is zero, no image
// plane orientation follows from them: up is then replaced by the world axis least aligned with the view.
// Returns whether it was.
bool fixUp(TLCamera& camera);

// The camera turned by `degrees` about the up axis through the target, counter-clockwise seen from the
// up side. The target and up stay; the eye moves on its circle.
TLCamera orbitCamera(const TLCamera& camera, double degrees);

}  // namespace taluna::render
