// Three-vector helpers on TLV3 for building the frame and the light views, in single precision with
// no fused operations.
#pragma once

#include "kernels/portable.h"
#include "taluna.h"

namespace tl {

TL_HD TLV3 sub(TLV3 a, TLV3 b) { return TLV3{a.x - b.x, a.y - b.y, a.z - b.z}; }
TL_HD TLV3 negated(TLV3 a) { return TLV3{-a.x, -a.y, -a.z}; }
TL_HD float dot(TLV3 a, TLV3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
TL_HD TLV3 cross(TLV3 a, TLV3 b) {
    return TLV3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
TL_HD float length(TLV3 v) { return sqrtF(v.x * v.x + v.y * v.y + v.z * v.z); }

// A zero vector stays zero instead of turning into NaNs.
TL_HD TLV3 normalized(TLV3 v) {
    const float len = length(v);
    return len > 0.0f ? TLV3{v.x / len, v.y / len, v.z / len} : v;
}

// A row of a view: x = row . (P, 1).
TL_HD void setRow(float row[4], TLV3 axis, float offset) {
    row[0] = axis.x;
    row[1] = axis.y;
    row[2] = axis.z;
    row[3] = offset;
}

}  // namespace tl
