// kBounds per item: the cloud's bounding box, its largest squared speed and the per-axis sums and
// sums of squares of the coordinates. Threads (or host workers) reduce their particles into a
// partial, partials are combined, and each combined partial is merged into the two device records
// with 13 atomics.
#pragma once

#include "kernels/portable.h"
#include "taluna.h"

namespace tl {

constexpr float kLargestFloat = 3.4028235e38f;

// The bounds record in device memory (28 bytes of a 32-byte buffer).
struct BoundsRecord {
    float min[3];
    float max[3];
    float speedSq;  // largest squared speed, 0 without velocities
};
static_assert(sizeof(BoundsRecord) == 28, "bounds record is seven floats");

// The moments record: sums, then sums of squares, per axis.
struct MomentsRecord {
    double sum[3];
    double sumSq[3];
};
static_assert(sizeof(MomentsRecord) == 48, "moments record is six doubles");

inline BoundsRecord initialBounds() {
    return BoundsRecord{{kLargestFloat, kLargestFloat, kLargestFloat},
                        {-kLargestFloat, -kLargestFloat, -kLargestFloat},
                        0.0f};
}

struct BoundsPartial {
    float min[3];
    float max[3];
    float speedSq;
    double sum[3];
    double sumSq[3];
};

TL_HD BoundsPartial boundsStart() {
    BoundsPartial b;
    for (int a = 0; a < 3; ++a) {
        b.min[a] = kLargestFloat;
        b.max[a] = -kLargestFloat;
        b.sum[a] = 0.0;
        b.sumSq[a] = 0.0;
    }
    b.speedSq = 0.0f;
    return b;
}

// Comparisons that keep the old value for NaN, so a NaN coordinate never enters the box.
TL_HD float keepMin(float a, float b) { return b < a ? b : a; }
TL_HD float keepMax(float a, float b) { return b > a ? b : a; }

TL_HD void boundsAdd(BoundsPartial& b, TLV3 p, const TLV3* velocity) {
    const float c[3] = {p.x, p.y, p.z};
    for (int a = 0; a < 3; ++a) {
        b.min[a] = keepMin(b.min[a], c[a]);
        b.max[a] = keepMax(b.max[a], c[a]);
        const double d = static_cast<double>(c[a]);
        b.sum[a] = b.sum[a] + d;
        b.sumSq[a] = fmaD(d, d, b.sumSq[a]);
    }
    if (velocity) {
        const TLV3 v = *velocity;
        const float s = fmaF(v.z, v.z, fmaF(v.x, v.x, v.y * v.y));
        b.speedSq = keepMax(b.speedSq, s);
    }
}

TL_HD void boundsCombine(BoundsPartial& b, const BoundsPartial& o) {
    for (int a = 0; a < 3; ++a) {
        b.min[a] = keepMin(b.min[a], o.min[a]);
        b.max[a] = keepMax(b.max[a], o.max[a]);
        b.sum[a] = b.sum[a] + o.sum[a];
        b.sumSq[a] = b.sumSq[a] + o.sumSq[a];
    }
    b.speedSq = keepMax(b.speedSq, o.speedSq);
}

// Merges a partial into the records: min x, max x, min y, max y, min z, max z, speed, then
// sum x, sum x^2, sum y, sum y^2, sum z, sum z^2.
TL_HD void boundsMerge(const BoundsPartial& b, float* bounds, double* moments) {
    for (int a = 0; a < 3; ++a) {
        atomicMinF(bounds + a, b.min[a]);
        atomicMaxF(bounds + 3 + a, b.max[a]);
    }
    atomicMaxF(bounds + 6, b.speedSq);
    for (int a = 0; a < 3; ++a) {
        atomicAddD(moments + a, b.sum[a]);
        atomicAddD(moments + 3 + a, b.sumSq[a]);
    }
}

}  // namespace tl
