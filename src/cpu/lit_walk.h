// How the CPU runtime walks the lit kernels (kLightSplat, kCamSplat, kShade). The per-sample math is
// the GPU's (kernels/shadow_maps.h, kernels/lit_shading.h); what differs is the order and grouping of
// the work:
//  - particles are visited in the order of the band of the map their copy 0 lands in: the band of
//    the image for the camera depth map, the band of the first shadow-casting light's maps (and
//    within it the depth slice) for the shadow maps (and for shading, whose scattered reads are
//    mostly shadow lookups then). Deposits and reads stay within a few bands that are in cache
//    instead of missing it all over a map of hundreds of megabytes. The order is only a permutation of the particles: every sample is still
//    visited exactly once, and the arrays of the particles ahead are fetched early;
//  - threads take long runs of the order, the runs walked at the same time far apart (Runs), so that
//    they seldom write the same cache lines;
//  - the samples of one particle copy are visited together (cpu/copy_walk.h); its deposit is still
//    added once per sample;
//  - a launch first copies the positions (and colours) into a scratch array in that order, each
//    particle's slot kept from when the order was built: reading the arrays in index order and
//    writing to one stream per band is far cheaper than reading them all over in band order, which
//    misses cache and TLB on every particle. The copy is made per launch, so a cloud changed in place
//    between frames is still read afresh.
#pragma once

#include <omp.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "cpu/copy_walk.h"
#include "cpu/launch.h"
#include "kernels/lit_shading.h"

namespace tl::litcpu {

// Adds v to *address `times` times in a row, as that many atomic additions of one thread would, with
// a single compare-and-swap: the samples of a copy add the same share to the same entry.
inline void atomicAddRepeated(float* address, float v, uint32_t times) {
    uint32_t* word = reinterpret_cast<uint32_t*>(address);
    uint32_t expected = __atomic_load_n(word, __ATOMIC_RELAXED);
    uint32_t desired;
    do {
        float sum = bitsFloat(expected);
        for (uint32_t t = 0; t < times; ++t) sum = atomicSum(sum, v);
        desired = floatBits(sum);
    } while (!__atomic_compare_exchange_n(word, &expected, desired, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED));
}

// Keys per order at most: bands are made wider for very large maps.
constexpr uint64_t kMaxBands = uint64_t{1} << 16;

// Band of `units` map units (pixels or texels) holding `unit`: 2048 units a band (256 KiB of a
// 32-slice camera depth map), more when there would be too many keys. A band may be split further
// into `depths` groups of depth slices, nearest first: particles of one band and depth then deposit
// into the same rows of slices one after the other.
struct Bands {
    static constexpr uint32_t kMaxDepths = 64;
    uint32_t shift = 11;
    uint32_t depths;
    uint32_t count;  // keys: bands times depths, plus one key for what lands in no band
    explicit Bands(uint64_t units, uint32_t depthGroups = 1)
        : depths(depthGroups < 1 ? 1 : depthGroups > kMaxDepths ? kMaxDepths : depthGroups) {
        while (((units >> shift) + 1) * depths > kMaxBands) ++shift;
        count = static_cast<uint32_t>(((units >> shift) + 1) * depths) + 1u;
    }
    // The key of a unit, and of depth slice `slice` of `slices` when the bands are split by depth.
    uint32_t of(uint64_t unit, int32_t slice = 0, int32_t slices = 1) const {
        const uint64_t group =
            slice > 0 && slices > slice ? static_cast<uint64_t>(slice) * depths / static_cast<uint64_t>(slices) : 0;
        return static_cast<uint32_t>((unit >> shift) * depths + group);
    }
    uint32_t none() const { return count - 1u; }
};

// A particle order: order[t] is the particle visited t-th, slot[i] the place of particle i in it.
struct Order {
    const uint32_t* order = nullptr;
    const uint32_t* slot = nullptr;
    explicit operator bool() const { return order != nullptr; }
};

// A permutation of the particles [0, count) sorted by a key, stable within a key, and its inverse.
// Kept for the next launch with the same signature (kCamSplat and kShade of one frame share one, and
// an unchanged frame reuses it). A stale order would still be a permutation, so it could only cost
// time. Each of the two orders holds 8 bytes per particle of the largest cloud its thread rendered lit.
class ParticleOrder {
public:
    // Empty when the order cannot be built (too many particles or no memory): visit in index order.
    template <class Key>
    Order get(uint64_t count, const Bands& bands, const void* signature, size_t bytes, Key&& key) {
        if (count > UINT32_MAX) return {};
        if (count == count_ && bytes == signature_.size() && std::memcmp(signature, signature_.data(), bytes) == 0)
            return {order_.data(), keys_.data()};
        count_ = 0;
        try {
            signature_.assign(static_cast<const unsigned char*>(signature),
                              static_cast<const unsigned char*>(signature) + bytes);
            build(count, bands.count, key);
        } catch (const std::bad_alloc&) {
            order_.clear();
            keys_.clear();
            signature_.clear();
            return {};
        }
        count_ = count;
        return {order_.data(), keys_.data()};
    }

private:
    template <class Key>
    void build(uint64_t count, uint32_t keys, Key&& key) {
        keys_.resize(count);
        order_.resize(count);
        const int threads = omp_get_max_threads();
        histogram_.assign(static_cast<size_t>(threads) * keys, 0u);
#pragma omp parallel num_threads(threads)
        {
            const int t = omp_get_thread_num(), used = omp_get_num_threads();
            const uint64_t begin = count * t / used, end = count * (t + 1) / used;
            uint64_t* mine = histogram_.data() + static_cast<size_t>(t) * keys;
            for (uint64_t i = begin; i < end; ++i) ++mine[keys_[i] = key(i)];
#pragma omp barrier
#pragma omp single
            {
                uint64_t next = 0;
                for (uint32_t k = 0; k < keys; ++k)
                    for (int u = 0; u < used; ++u) {
                        uint64_t& slot = histogram_[static_cast<size_t>(u) * keys + k];
                        const uint64_t n = slot;
                        slot = next;
                        next += n;
                    }
            }
            // Each key becomes the particle's slot.
            for (uint64_t i = begin; i < end; ++i) {
                const uint64_t slot = mine[keys_[i]]++;
                order_[slot] = static_cast<uint32_t>(i);
                keys_[i] = static_cast<uint32_t>(slot);
            }
        }
    }

    std::vector<uint32_t> keys_;  // the key of each particle while building, then its slot
    std::vector<uint32_t> order_;
    std::vector<uint64_t> histogram_;
    std::vector<unsigned char> signature_;
    uint64_t count_ = 0;
};

// The calling thread's orders, kept between launches.
inline ParticleOrder& cameraOrder() {
    static thread_local ParticleOrder order;
    return order;
}
inline ParticleOrder& lightOrder() {
    static thread_local ParticleOrder order;
    return order;
}

// Particles in the order of the image bands their copy 0 lands in (culled ones last).
inline Order orderByImage(const TLFrame& f, const TLV3* positions, uint64_t count) {
    const Bands bands(static_cast<uint64_t>(f.width) * static_cast<uint64_t>(f.height));
    struct {
        const TLV3* positions;
        TLFrame f;
    } signature;
    std::memset(&signature, 0, sizeof signature);
    signature.positions = positions;
    signature.f = f;
    return cameraOrder().get(count, bands, &signature, sizeof signature, [&](uint64_t i) {
        uint32_t unused = 0;
        CameraHit hit;
        return projectToCamera(f, positions[i], unused, hit) ? bands.of(pixelIndex(f, hit)) : bands.none();
    });
}

// The first light with shadow views, or -1.
inline int32_t firstShadowLight(const LitConstants& vc) {
    for (int32_t l = 0; l < vc.lightCount; ++l)
        if (vc.lights[l].viewCount >= 1) return l;
    return -1;
}

// Particles in the order of the bands of the first shadow-casting light's maps their copy 0 lands in,
// and within a band in the order of its depth slices (outside the maps last); empty without shadows.
inline Order orderByShadowMap(const LitConstants& vc, const TLV3* positions, uint64_t count) {
    const int32_t l = firstShadowLight(vc);
    if (l < 0) return {};
    const LitLight& light = vc.lights[l];
    const uint64_t n = static_cast<uint64_t>(vc.shadowViews[light.firstView].resolution);
    const int32_t slices = vc.shadowViews[light.firstView].slices;
    const Bands bands(static_cast<uint64_t>(light.viewCount) * n * n, slices > 1 ? static_cast<uint32_t>(slices) : 1u);
    struct {
        const TLV3* positions;
        LitConstants vc;
    } signature;
    std::memset(&signature, 0, sizeof signature);
    signature.positions = positions;
    signature.vc = vc;
    return lightOrder().get(count, bands, &signature, sizeof signature, [&](uint64_t i) {
        const int32_t m = shadowViewFor(light, positions[i]);
        LightTexel t;
        if (!lightTexel(vc.shadowViews[m], positions[i], t)) return bands.none();
        const uint64_t face = static_cast<uint64_t>(m - light.firstView);
        return bands.of((face * n + static_cast<uint64_t>(t.ty)) * n + static_cast<uint64_t>(t.tx),
                        lightSlice(vc.shadowViews[m], t.z).i, slices);
    });
}

// A walk's work split into runs of the order, handed to threads one at a time. Runs walked at the
// same time lie far apart in the order, in different bands of the maps: a cache line that two threads
// write moves between their caches on every write. The thread that takes the j-th run walks run
// (j mod T) x (runs / T) + j / T, so the T threads start at T equally spaced places and move on from
// there; threads whose runs cost more take fewer of them.
constexpr uint64_t kChunk = 1024;  // particles a run at least
struct Runs {
    uint64_t particles, threads, count;
    explicit Runs(uint64_t n) : particles(n), threads(static_cast<uint64_t>(omp_get_max_threads())) {
        const uint64_t perThread = n / (kChunk * threads);
        count = threads * (perThread < 1 ? 1 : perThread > 16 ? 16 : perThread);
    }
    // The run handed out j-th.
    uint64_t run(uint64_t j) const { return (j % threads) * (count / threads) + j / threads; }
    // The first particle slot of run k (k = count: the end).
    uint64_t begin(uint64_t k) const {
        return particles / count * k + (k < particles % count ? k : particles % count);
    }
};

// Calls slot(t) for every particle slot t, run by run; called by every thread of a parallel region,
// which it does not wait for.
template <class Slot>
void forEachSlot(const Runs& runs, Slot&& slot) {
#pragma omp for schedule(dynamic, 1) nowait
    for (uint64_t j = 0; j < runs.count; ++j) {
        const uint64_t k = runs.run(j);
        for (uint64_t t = runs.begin(k), end = runs.begin(k + 1); t < end; ++t) slot(t);
    }
}

// How far ahead of the walk a particle's arrays are fetched, and (once its position has arrived)
// what the particle will touch in the maps.
constexpr uint64_t kPrefetchAhead = 16;
constexpr uint64_t kTouchAhead = 8;

// Fetches the entries around copy 0 of a particle at p that a deposit or a lookup in the shadow maps
// touches, for every shadow-casting light. Only a hint: no result depends on it.
inline void prefetchShadowTexels(const LitConstants& vc, const float* shadowMaps, TLV3 p) {
    for (int32_t l = 0; l < vc.lightCount; ++l) {
        const int32_t m = shadowViewFor(vc.lights[l], p);
        if (m < 0) continue;
        const ShadowView& v = vc.shadowViews[m];
        LightTexel t;
        if (!lightTexel(v, p, t)) continue;
        const int32_t slice = lightSlice(v, t.z).i;
        const int32_t x = static_cast<int32_t>(t.tx - 0.5f), y = static_cast<int32_t>(t.ty - 0.5f);
        const int32_t y1 = y + 1 < v.resolution ? y + 1 : y;
        const float* map = shadowMaps + v.mapOffset;
        __builtin_prefetch(&texelColumn(map, v, x, y)[slice]);
        __builtin_prefetch(&texelColumn(map, v, x, y1)[slice]);
    }
}

// Fetches the camera depth map entry and the accumulator pixel of copy 0 of a particle at p.
inline void prefetchCameraEntries(const LitConstants& vc, const TLFrame& f, const float* cameraDepth,
                                  const float* accumulator, TLV3 p) {
    uint32_t unused = 0;
    CameraHit hit;
    if (!projectToCamera(f, p, unused, hit)) return;
    const SlicePosition slice = cameraSlice(vc, sampleDepth(f, hit).depth);
    __builtin_prefetch(cameraDepth + cameraColumn(f, hit, vc.depthSlices) + slice.i);
    if (accumulator) __builtin_prefetch(accumulator + 4u * pixelIndex(f, hit));
}

// The calling thread's copies of the particle arrays in a launch's order, in huge pages where the
// kernel has them. Grown as needed and kept between launches, like the orders.
class OrderedCopy {
public:
    // False without memory: then the launch reads the arrays in place.
    bool reserve(uint64_t count, bool colors) {
        return positions_.reserve(count) && (!colors || colors_.reserve(count));
    }
    TLV3* positions() const { return positions_.data(); }
    TLUChar4* colors() const { return colors_.data(); }

private:
    gpu::cpu::LargeScratch<TLV3> positions_;
    gpu::cpu::LargeScratch<TLUChar4> colors_;
};

inline OrderedCopy& orderedCopy() {
    static thread_local OrderedCopy copy;
    return copy;
}

// Runs visit(state, r, p, s, times, c) over every sample of the n work items, particles in `order`
// (or in index order when it is empty), with c the particle's colour when colors is given (else zero)
// and r the visit's place in the walk: the visits of the particle in slot t are numbered from
// t x visitsPer(walk) on, in work order, so two walks of one launch shape number them alike. Each
// thread keeps a State of its own (made on its stack; work it holds back in batches lives there);
// touch(state, slot, p) is called with the slot and position of the particle kTouchAhead places
// ahead, and done(state) once the thread's share is visited.
inline uint64_t visitsPer(const cpu::CopyWalk& walk) { return walk.perSample ? walk.per : walk.per / walk.samples; }

template <class State, class Visit, class Touch, class Done>
void forEachSample(const cpu::CopyWalk& walk, Order order, const TLUChar4* colors, uint64_t n, Visit&& visit,
                   Touch&& touch, Done&& done) {
    const uint64_t whole = n / walk.per;  // particles with all their work items
    const uint64_t per = visitsPer(walk);
    const bool copied = order && orderedCopy().reserve(whole, colors != nullptr);
    TLV3* const copyP = copied ? orderedCopy().positions() : nullptr;
    TLUChar4* const copyC = copied && colors ? orderedCopy().colors() : nullptr;
    const cpu::ScalarJitter jitter{walk.f};
    const bool velocityAhead = walk.perSample && walk.velocities;
    const Runs runs(whole);
#pragma omp parallel
    {
        State state{};
        if (copied) {
#pragma omp for schedule(static)
            for (uint64_t i = 0; i < whole; ++i) {
                const uint32_t t = order.slot[i];
                copyP[t] = walk.positions[i];
                if (copyC) copyC[t] = colors[i];
            }
        }
        forEachSlot(runs, [&](uint64_t t) {
            const uint64_t i = order ? order.order[t] : t;
            TLV3 base;
            TLUChar4 c{0, 0, 0, 0};
            if (copied) {
                if (velocityAhead && t + kPrefetchAhead < whole)
                    __builtin_prefetch(walk.velocities + order.order[t + kPrefetchAhead]);
                if (t + kTouchAhead < whole) touch(state, t + kTouchAhead, copyP[t + kTouchAhead]);
                base = copyP[t];
                if (copyC) c = copyC[t];
            } else {
                if (order && t + kPrefetchAhead < whole) {
                    const uint32_t ahead = order.order[t + kPrefetchAhead];
                    __builtin_prefetch(walk.positions + ahead);
                    if (colors) __builtin_prefetch(colors + ahead);
                    if (velocityAhead) __builtin_prefetch(walk.velocities + ahead);
                }
                if (order && t + kTouchAhead < whole)
                    touch(state, t + kTouchAhead, walk.positions[order.order[t + kTouchAhead]]);
                base = walk.positions[i];
                if (colors) c = colors[i];
            }
            uint64_t r = t * per;
            walk.particle(
                i, base, walk.per,
                [&](uint64_t, TLV3 p, uint32_t s, uint32_t times) { visit(state, r++, p, s, times, c); }, jitter);
        });
        done(state);
    }
    // A count that ends inside a particle: its first work items.
    if (n - whole * walk.per > 0) {
        State state{};
        const TLUChar4 c = colors ? colors[whole] : TLUChar4{0, 0, 0, 0};
        uint64_t r = whole * per;
        walk.particle(whole, n - whole * walk.per,
                      [&](uint64_t, TLV3 p, uint32_t s, uint32_t times) { visit(state, r++, p, s, times, c); });
        done(state);
    }
}

}  // namespace tl::litcpu
