#include "lit/bounds_derivations.h"

#include <algorithm>
#include <cmath>

namespace tl {

Box paddedBox(const BoundsRecord& bounds, uint64_t count, const TLFrame& frame) {
    Box box;
    for (int a = 0; a < 3; ++a) {
        box.lo[a] = count == 0 ? -1.0f : bounds.min[a];
        box.hi[a] = count == 0 ? 1.0f : bounds.max[a];
    }
    const float speed = count == 0 ? 0.0f : std::sqrt(bounds.speedSq);
    const float jitter = frame.jitterCount > 0 ? 1.0f : 0.0f;
    // The jitter's spread is |sigma| whatever its sign.
    const float pad = speed * (frame.shutter * 0.5f) + std::fabs(frame.jitterSigma) * 3.0f * jitter + 0.001f;
    for (int a = 0; a < 3; ++a) {
        box.lo[a] -= pad;
        box.hi[a] += pad;
    }
    return box;
}

Box coreBox(const MomentsRecord& moments, uint64_t count, const Box& padded) {
    Box core = padded;
    if (count < 2) return core;
    const double n = static_cast<double>(count);
    for (int a = 0; a < 3; ++a) {
        const double mean = moments.sum[a] / n;
        const double var = std::max(moments.sumSq[a] / n - mean * mean, 0.0);
        const double d = 2.0 * std::sqrt(var);
        const float lo = std::max(padded.lo[a], static_cast<float>(mean - d));
        const float hi = std::min(padded.hi[a], static_cast<float>(mean + d));
        if (hi - lo >= 0.001f) {
            core.lo[a] = lo;
            core.hi[a] = hi;
        }
    }
    return core;
}

float particleCrossSection(const Box& core, uint64_t count, float density) {
    if (count == 0 || !(density > 0.0f)) return 0.0f;
    float e[3];
    for (int a = 0; a < 3; ++a) e[a] = std::max(core.hi[a] - core.lo[a], 0.001f);
    return (e[2] * e[0] + (e[2] * e[1] + e[1] * e[0])) * 0.5f * density / static_cast<float>(count);
}

}  // namespace tl
