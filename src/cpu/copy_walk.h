// The CPU launchers' walk over one particle's work items. The GPU gives each work item (copy, sample)
// a thread of its own; here the samples of one copy are visited together, so the copy's jitter is
// computed once, and without motion blur and lens (where every sample of a copy sits at the same
// point) the copy is visited once for all its samples.
#pragma once

#include <cstdint>

#include "kernels/frame.h"
#include "kernels/sampling.h"

namespace tl::cpu {

// Copy offsets one at a time, of the store's particle i.
struct ScalarJitter {
    const TLFrame& f;
    TLV3 operator()(uint64_t i, uint32_t k) const { return copyJitter(cloudIndex(f, i), k, f.jitterSigma); }
};

struct CopyWalk {
    const TLFrame& f;
    const TLV3* positions;
    const TLV3* velocities;
    uint64_t per;      // work items per particle
    uint32_t samples;  // work items per copy
    bool perSample;    // motion blur or lens: every sample has its own position or pixel

    CopyWalk(const TLFrame& frame, const TLV3* p, const TLV3* v)
        : f(frame),
          positions(p),
          velocities(v),
          per(workPerParticle(frame)),
          samples(static_cast<uint32_t>(frame.samples > 0 ? frame.samples : 1)),
          perSample(motionBlurOn(frame, v) || depthOfFieldOn(frame)) {}

    // Calls visit(i, p, s, times) for the samples of particle i's first `items` work items in
    // work-index order, with the sample's position and hash state (0 when nothing draws from it);
    // `times` samples share them. jitter(i, k) gives copy k's offset. base is positions[i], or a copy
    // of it the caller already holds.
    template <class Visit, class Jitter>
    void particle(uint64_t i, TLV3 base, uint64_t items, Visit&& visit, Jitter&& jitter) const {
        for (uint32_t k = 0; k <= static_cast<uint32_t>(f.jitterCount); ++k) {
            const uint64_t first = static_cast<uint64_t>(k) * samples;
            if (first >= items) return;
            const uint32_t count = items - first < samples ? static_cast<uint32_t>(items - first) : samples;
            TLV3 p = base;
            if (k >= 1) {
                const TLV3 o = jitter(i, k);
                p = TLV3{p.x + o.x, p.y + o.y, p.z + o.z};
            }
            if (!perSample) {
                visit(i, p, 0u, count);
                continue;
            }
            for (uint32_t j = 0; j < count; ++j) {
                uint32_t s = sampleState(cloudIndex(f, i), k, j, f.seed);
                TLV3 q = p;
                if (motionBlurOn(f, velocities)) q = applyMotion(f, q, velocities[i], s);
                visit(i, q, s, 1u);
            }
        }
    }
    template <class Visit, class Jitter>
    void particle(uint64_t i, uint64_t items, Visit&& visit, Jitter&& jitter) const {
        particle(i, positions[i], items, visit, jitter);
    }
    template <class Visit>
    void particle(uint64_t i, uint64_t items, Visit&& visit) const {
        particle(i, positions[i], items, visit, ScalarJitter{f});
    }
};

}  // namespace tl::cpu
