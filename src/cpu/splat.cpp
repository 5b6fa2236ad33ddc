// kSplat: the plain path's splatting kernel. Every sample of every particle copy is placed, projected
// and added as a single pixel into the float accumulator.
#include "kernels/launchers.h"
#include "kernels/splat.h"

#include <omp.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstring>
#include <new>
#include <vector>

#include "cpu/copy_walk.h"
#include "cpu/launch.h"
#include "cpu/projection_lanes.h"
#include "cpu/simd.h"
#include "cpu/splat.h"

namespace tl {
namespace {

// Pixels per band: 16384 pixels are 256 KiB of accumulator, which stay in a core's cache while the
// band's deposits are added.
constexpr uint32_t kBandShift = 14;
constexpr uint32_t kBandMask = (1u << kBandShift) - 1;
// Deposits gathered per round over all threads (8 bytes each) before they are added.
constexpr uint64_t kRoundDeposits = uint64_t{1} << 23;
// Particles handed to a thread at a time. The chunks go round-robin to the threads, so which thread
// gathers which deposit, and with it the order of every sum, is the same on every run.
constexpr uint64_t kChunk = 2048;

// How far ahead (in deposits or particles) the loops ask for memory they will read.
constexpr int kAhead = 16;

// One deposit waiting in a band: the pixel within the band and the particle's colour.
struct Deposit {
    uint32_t pixel;
    TLUChar4 color;
};

// Deposits per block of a band's bin: 4 KiB, handed back whole once a round's bands are added. Every
// band with deposits holds an open block, so blocks stay small: a huge image has many bands.
constexpr uint32_t kBlockDeposits = 512;
// Blocks per piece of memory the bins take from the system: 2 MiB, a huge page where the kernel has them.
constexpr uint32_t kSegmentBlocks = 512;
// Deposits per cache line. A thread gathers each band's deposits in a line of its own (all of them
// together stay in the core's first-level cache) and writes the full line past the caches: a round's
// deposits are far more than the caches hold, and a plain store would first read every line back.
constexpr uint32_t kLineDeposits = 8;
struct alignas(64) Line {
    Deposit d[kLineDeposits];
};

// Writes a full line to (64-byte aligned) memory that is not read again soon.
inline void streamLine(Deposit* to, const Line& line) {
#if defined(__SSE2__)
    const __m128i* from = reinterpret_cast<const __m128i*>(line.d);
    __m128i* out = reinterpret_cast<__m128i*>(to);
    for (int k = 0; k < 4; ++k) _mm_stream_si128(out + k, _mm_load_si128(from + k));
#else
    std::memcpy(to, line.d, sizeof line.d);
#endif
}

// Orders the streamed lines before the barrier that hands the bins to the other threads.
inline void streamFence() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// A thread's deposit bins, one per band: the band's line being gathered, then a list of blocks of
// full lines. The blocks are kept between launches (a finished round hands them back to the thread's
// spares), so a frame neither allocates nor faults in memory once the first has run, and a growing
// bin never copies what it holds.
struct Bins {
    std::vector<std::vector<Deposit*>> full;  // per band: its filled blocks, in filing order
    std::vector<Line> lines;                   // per band: the deposits not yet written to a block
    std::vector<uint32_t> fill;                // per band: deposits in its line
    std::vector<Deposit*> cursor, limit;       // per band: where the next line goes, the open block's end
    std::vector<Deposit*> spare;               // blocks free for any band
    std::vector<void*> segments;               // the memory of all blocks
    bool failed = false;  // no block could be had: this thread adds atomically for the rest of the round

    Bins() = default;
    Bins(const Bins&) = delete;
    Bins& operator=(const Bins&) = delete;
    ~Bins() {
        for (void* s : segments) gpu::cpu::freeLarge(s);
    }

    // Room for `count` bands, every bin empty. Throws std::bad_alloc.
    void prepare(uint64_t count) {
        if (limit.size() < count) {  // limit last: a bin exists once its limit does
            full.resize(count);
            lines.resize(count);
            fill.resize(count, 0);
            cursor.resize(count, nullptr);
            limit.resize(count, nullptr);
        }
        recycle();
        failed = false;
    }

    // Empties every bin: full blocks go back to the spares, the open ones stay open.
    void recycle() {
        for (size_t b = 0; b < limit.size(); ++b) {
            for (Deposit* block : full[b]) spare.push_back(block);
            full[b].clear();
            fill[b] = 0;
            if (limit[b]) cursor[b] = limit[b] - kBlockDeposits;
        }
    }

    // A segment's blocks added to the spares. Throws std::bad_alloc.
    void addSegment() {
        spare.reserve(spare.size() + kSegmentBlocks);
        segments.reserve(segments.size() + 1);
        void* memory = gpu::cpu::allocateLarge(size_t{kSegmentBlocks} * kBlockDeposits * sizeof(Deposit));
        if (!memory) throw std::bad_alloc();
        segments.push_back(memory);
        for (uint32_t k = kSegmentBlocks; k-- > 0;) spare.push_back(static_cast<Deposit*>(memory) + k * kBlockDeposits);
    }

    // Opens a new block for band b; false when there is no memory for it.
    bool open(uint64_t b) {
        try {
            if (spare.empty()) addSegment();
            if (limit[b]) full[b].push_back(limit[b] - kBlockDeposits);
        } catch (const std::bad_alloc&) {
            return false;
        }
        cursor[b] = spare.back();
        limit[b] = cursor[b] + kBlockDeposits;
        spare.pop_back();
        return true;
    }

    // Spare blocks, in memory touched by this thread, for `deposits` more. Throws std::bad_alloc.
    void stock(uint64_t deposits) {
        const uint64_t blocks = (deposits + kBlockDeposits - 1) / kBlockDeposits;
        uint64_t fresh = 0;
        while (spare.size() < blocks) {
            addSegment();
            fresh += kSegmentBlocks;
        }
        for (uint64_t k = spare.size() - fresh; k < spare.size(); ++k)
            std::memset(static_cast<void*>(spare[k]), 0, kBlockDeposits * sizeof(Deposit));
    }

    // Files a deposit into its band's bin; false when the bin is full and could not grow (the
    // deposit is then the caller's to add). A line that found no block stays full in its place.
    bool file(uint32_t pixel, TLUChar4 color) {
        const uint32_t b = pixel >> kBandShift;
        uint32_t n = fill[b];
        if (n == kLineDeposits) return false;
        lines[b].d[n++] = Deposit{pixel & kBandMask, color};
        if (n == kLineDeposits && (cursor[b] != limit[b] || open(b))) {
            streamLine(cursor[b], lines[b]);
            cursor[b] += kLineDeposits;
            n = 0;
        }
        fill[b] = n;
        return true;
    }

    // Calls add(first, last) for the runs of band b's deposits, in filing order.
    template <class Add>
    void forEachRun(uint64_t b, Add&& add) const {
        if (b >= limit.size()) return;
        for (const Deposit* block : full[b]) add(block, block + kBlockDeposits);
        if (limit[b]) add(limit[b] - kBlockDeposits, static_cast<const Deposit*>(cursor[b]));
        add(lines[b].d, lines[b].d + fill[b]);
    }
};

thread_local Bins tBins;

// copyJitter of simd::kLanes (particle, copy) pairs, compiled for the widest vectors the processor
// offers.
TL_SIMD_CLONES
void jitterLanes(const uint64_t* particle, const uint32_t* copy, float sigma, float* x, float* y, float* z) {
    simd::copyJitterLanes(particle, copy, sigma, x, y, z);
}

// The copy offsets of consecutive particles in the order their copies are visited (copies 1 to
// jitterCount of one particle, then of the next), computed simd::kLanes at a time, or read from a
// cache that holds them already. Given a cache that does not, each offset is written to it as it is
// handed out.
class JitterFeed {
public:
    JitterFeed(uint64_t firstParticle, uint32_t jitterCount, float sigma, TLV3* cache = nullptr, bool cached = false)
        : particle_(firstParticle), copies_(jitterCount), sigma_(sigma), cache_(cache), cached_(cached) {}

    TLV3 next() {
        if (cached_) return *cache_++;
        if (pos_ == simd::kLanes) refill();
        const TLV3 o{x_[pos_], y_[pos_], z_[pos_]};
        ++pos_;
        if (cache_) *cache_++ = o;
        return o;
    }

private:
    void refill() {
        uint64_t particles[simd::kLanes];
        uint32_t copies[simd::kLanes];
        for (int l = 0; l < simd::kLanes; ++l) {
            particles[l] = particle_;
            copies[l] = copy_;
            if (++copy_ > copies_) copy_ = 1, ++particle_;
        }
        jitterLanes(particles, copies, sigma_, x_, y_, z_);
        pos_ = 0;
    }

    uint64_t particle_;
    uint32_t copy_ = 1;
    uint32_t copies_;
    float sigma_;
    TLV3* cache_;
    bool cached_;
    int pos_ = simd::kLanes;
    float x_[simd::kLanes], y_[simd::kLanes], z_[simd::kLanes];
};

// Copy offsets depend on the particle's index in the cloud, the copy and sigma alone (not on the
// positions, the camera or the seed), so the calling thread keeps a frame's for the next: an orbit,
// a refined view or a benchmark computes them once. At most this much memory:
constexpr uint64_t kMaxJitterCacheBytes = uint64_t{512} << 20;

class JitterCache {
public:
    // The offsets of copies 1 to `copies` of `particles` particles from cloud index `first`, in the
    // feed's order. *ready tells whether they hold them already; if not, the frame writes them all
    // and then calls filled(). Null when they are not kept: they are kept from the second frame in a
    // row that asks for them on (a single frame does not pay for writing them), and only where they
    // take at most kMaxJitterCacheBytes and the memory is there.
    TLV3* get(uint64_t first, uint64_t particles, uint32_t copies, float sigma, bool* ready) {
        const Key key{first, copies, floatBits(sigma)};
        *ready = valid_ && key == key_ && particles <= particles_;
        if (*ready) return offsets_.data();
        valid_ = false;
        const bool again = key == asked_;
        asked_ = key;
        if (!again || copies == 0 || particles > kMaxJitterCacheBytes / sizeof(TLV3) / copies) return nullptr;
        key_ = key;
        particles_ = particles;
        return offsets_.reserve(particles * copies);
    }
    void filled() { valid_ = true; }

private:
    struct Key {
        uint64_t first;
        uint32_t copies;
        uint32_t sigmaBits;
        bool operator==(const Key&) const = default;
    };
    gpu::cpu::LargeScratch<TLV3> offsets_;
    Key key_{};
    Key asked_{};  // what the last frame asked for
    uint64_t particles_ = 0;
    bool valid_ = false;
};

JitterCache& jitterCache() {
    static thread_local JitterCache cache;
    return cache;
}

// The walk of the plain splat: every sample that is not culled deposits into its pixel.
struct SplatJob {
    cpu::CopyWalk walk;
    const TLUChar4* colors;

    // Calls deposit(pixel, times) for the samples of particle i's first `items` work items in
    // work-index order; jitter(i, k) gives copy k's offset.
    template <class Jitter, class Deposit>
    void particle(uint64_t i, uint64_t items, Jitter&& jitter, Deposit&& deposit) const {
        walk.particle(
            i, items,
            [&](uint64_t, TLV3 p, uint32_t s, uint32_t times) {
                CameraHit hit;
                if (projectToCamera(walk.f, p, s, hit)) deposit(pixelIndex(walk.f, hit), times);
            },
            jitter);
    }
};

// Plain additions that stand for the GPU's atomic ones, with their flush of subnormals.
void addTimes(float* a, const SplatWeights& w, uint32_t times) {
    for (uint32_t t = 0; t < times; ++t) {
        a[0] = atomicSum(a[0], w.r);
        a[1] = atomicSum(a[1], w.g);
        a[2] = atomicSum(a[2], w.b);
        a[3] = atomicSum(a[3], w.a);
    }
}

void addAtomically(float* a, const SplatWeights& w, uint32_t times) {
    for (uint32_t t = 0; t < times; ++t) {
        atomicAddF(a + 0, w.r);
        atomicAddF(a + 1, w.g);
        atomicAddF(a + 2, w.b);
        atomicAddF(a + 3, w.a);
    }
}

// Every thread adds atomically into the accumulator, as the GPU does.
void splatAtomic(const SplatJob& job, uint64_t particles, float* accumulator) {
    const uint64_t chunks = (particles + kChunk - 1) / kChunk;
#pragma omp parallel for schedule(static, 1)
    for (uint64_t c = 0; c < chunks; ++c) {
        const uint64_t end = particles - c * kChunk < kChunk ? particles : c * kChunk + kChunk;
        const TLFrame& f = job.walk.f;
        JitterFeed feed(cloudIndex(f, c * kChunk), static_cast<uint32_t>(f.jitterCount), f.jitterSigma);
        auto jitter = [&](uint64_t, uint32_t) { return feed.next(); };
        for (uint64_t i = c * kChunk; i < end; ++i) {
            const SplatWeights w = splatWeights(job.walk.f, job.colors[i]);
            job.particle(i, job.walk.per, jitter, [&](uint64_t pixel, uint32_t times) {
                addAtomically(accumulator + 4u * pixel, w, times);
            });
        }
    }
}

// Samples of whole particles on their way to the bins: gathered kLanes at a time in work order, so
// that the projection runs on vectors while the deposits keep the order of the scalar walk.
struct ProjectionBatch {
    float x[simd::kLanes], y[simd::kLanes], z[simd::kLanes];
    TLUChar4 color[simd::kLanes];
    int count = 0;

    // Projects the gathered points and calls deposit(pixel, color) for each that is not culled.
    template <class Deposit>
    void flush(const TLFrame& f, Deposit&& deposit) {
        if (count == 0) return;
        for (int l = count; l < simd::kLanes; ++l) x[l] = y[l] = z[l] = 0.0f;  // projected, then ignored
        uint32_t pixel[simd::kLanes];
        cpu::projectLanes(f, x, y, z, pixel);
        for (int l = 0; l < count; ++l)
            if (pixel[l] != cpu::kCulledPixel) deposit(pixel[l], color[l]);
        count = 0;
    }
};

// addTimes for one deposit, the four channels in one vector: the colour's weights (splatWeights, the
// same products) added `times` times with the flush of subnormals that atomicSum does.
typedef float V4 __attribute__((vector_size(16)));
typedef int32_t V4I __attribute__((vector_size(16)));

inline V4 flushSubnormals(V4 v) {
    const V4I bits = V4I(v);
    const V4I subnormal = (bits & 0x7F800000) == 0;
    return V4(bits & ~(subnormal & 0x7FFFFFFF));
}

struct BandAdder {
    V4 unit, scale;  // weights = (channel * unit) * scale: colorScale * c for colours, as splatWeights
    uint32_t times;

    BandAdder(const TLFrame& f, uint32_t t)
        : unit{1.0f, 1.0f, 1.0f, 0.003921569f}, scale{f.colorScale, f.colorScale, f.colorScale, f.alphaScale}, times(t) {}

    void add(float* a, TLUChar4 c) const {
        const V4 w = flushSubnormals(__builtin_convertvector((V4I{c.x, c.y, c.z, c.w}), V4) * unit * scale);
        V4 sum;
        std::memcpy(&sum, a, sizeof sum);
        for (uint32_t t = 0; t < times; ++t) sum = flushSubnormals(flushSubnormals(sum) + w);
        std::memcpy(a, &sum, sizeof sum);
    }
};

// Deposits are first sorted into bands of the image by the thread that computes them, then every
// band is added by one thread: the random additions stay within a cached band instead of missing
// the cache all over the image, and no atomics are needed. Bands are filled from the threads' bins
// in thread order, so the sums come out the same on every run, whichever thread adds a band.
void splatBinned(const SplatJob& job, uint64_t particles, uint64_t pixels, float* accumulator) {
    const TLFrame& f = job.walk.f;
    const uint64_t bands = (pixels + kBandMask) >> kBandShift;
    const uint64_t perParticle = job.walk.perSample ? job.walk.per : job.walk.per / job.walk.samples;
    const uint64_t roundParticles = kRoundDeposits / perParticle > kChunk ? kRoundDeposits / perParticle : kChunk;
    const int threads = omp_get_max_threads();
    std::vector<Bins*> bins(static_cast<size_t>(threads), nullptr);
    const uint32_t samplesPerDeposit = job.walk.perSample ? 1u : job.walk.samples;
    // Every sample of a copy at one point, seen through the perspective camera: projected on vectors.
    const bool vectors = !job.walk.perSample && f.panorama != TL_PROJECTION_PANORAMA;
    const BandAdder adder(f, samplesPerDeposit);
    // The copy offsets kept from an earlier frame, or written by this one for the next.
    bool offsetsReady = false;
    TLV3* const offsets =
        f.jitterCount > 0 ? jitterCache().get(cloudIndex(f, 0), particles, static_cast<uint32_t>(f.jitterCount),
                                              f.jitterSigma, &offsetsReady)
                          : nullptr;

#pragma omp parallel num_threads(threads)
    {
        const int used = omp_get_num_threads();
        Bins& mine = tBins;
        bins[static_cast<size_t>(omp_get_thread_num())] = &mine;
        bool ready = true;
        try {
            mine.prepare(bands);
        } catch (const std::bad_alloc&) {
            ready = false;
        }
        // Files a deposit; out of memory for the bins, it goes straight in, atomically, while the
        // other threads only gather.
        auto deposit = [&](uint64_t pixel, TLUChar4 color) {
            if (!mine.failed) {
                if (mine.file(static_cast<uint32_t>(pixel), color)) return;
                mine.failed = true;
            }
            addAtomically(accumulator + 4u * pixel, splatWeights(f, color), samplesPerDeposit);
        };
        ProjectionBatch batch;
        for (uint64_t first = 0; first < particles; first += roundParticles) {
            const uint64_t last = particles - first < roundParticles ? particles : first + roundParticles;
            const uint64_t chunks = (last - first + kChunk - 1) / kChunk;
            mine.failed = !ready;
#pragma omp for schedule(static, 1) nowait
            for (uint64_t c = 0; c < chunks; ++c) {
                const uint64_t begin = first + c * kChunk;
                const uint64_t end = last - begin < kChunk ? last : begin + kChunk;
                JitterFeed feed(cloudIndex(f, begin), static_cast<uint32_t>(f.jitterCount), f.jitterSigma,
                                offsets ? offsets + begin * static_cast<uint64_t>(f.jitterCount) : nullptr,
                                offsetsReady);
                if (vectors) {
                    const uint32_t copies = static_cast<uint32_t>(f.jitterCount);
                    for (uint64_t i = begin; i < end; ++i) {
                        if (end - i > kAhead) __builtin_prefetch(job.walk.positions + i + kAhead);
                        const TLV3 base = job.walk.positions[i];
                        const TLUChar4 color = job.colors[i];
                        for (uint32_t k = 0; k <= copies; ++k) {
                            TLV3 p = base;
                            if (k >= 1) {
                                const TLV3 o = feed.next();
                                p = TLV3{p.x + o.x, p.y + o.y, p.z + o.z};
                            }
                            batch.x[batch.count] = p.x, batch.y[batch.count] = p.y, batch.z[batch.count] = p.z;
                            batch.color[batch.count] = color;
                            if (++batch.count == simd::kLanes) batch.flush(f, deposit);
                        }
                    }
                    batch.flush(f, deposit);
                    continue;
                }
                auto jitter = [&](uint64_t, uint32_t) { return feed.next(); };
                for (uint64_t i = begin; i < end; ++i) {
                    const TLUChar4 color = job.colors[i];
                    job.particle(i, job.walk.per, jitter, [&](uint64_t pixel, uint32_t) { deposit(pixel, color); });
                }
            }
            streamFence();
#pragma omp barrier
            // (every bin of the round is complete.) Which thread adds a band does not change its sums,
            // so the bands go to whichever thread is free.
#pragma omp for schedule(dynamic, 1)
            for (uint64_t b = 0; b < bands; ++b) {
                float* band = accumulator + 4u * (b << kBandShift);
                for (int t = 0; t < used; ++t) {
                    if (const Bins* from = bins[static_cast<size_t>(t)])
                        from->forEachRun(b, [&](const Deposit* d, const Deposit* last) {
                            // The band's pixels come from memory the first time a round touches them:
                            // ask for them a few deposits ahead.
                            for (; last - d > kAhead; ++d) {
                                __builtin_prefetch(band + 4u * d[kAhead].pixel, 1);
                                adder.add(band + 4u * d->pixel, d->color);
                            }
                            for (; d != last; ++d) adder.add(band + 4u * d->pixel, d->color);
                        });
                }
            }
            // (the barrier again: no band is being read when its blocks go back to the spares)
            mine.recycle();
        }
    }
    if (offsets && !offsetsReady) jitterCache().filled();
}

}  // namespace

void prepareSplat(uint64_t workItems, int32_t width, int32_t height) {
    if (width < 1 || height < 1) return;
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    const uint64_t bands = (pixels + kBandMask) >> kBandShift;
    const uint64_t round = workItems < kRoundDeposits ? workItems : kRoundDeposits;
#pragma omp parallel
    {
        Bins& mine = tBins;
        try {
            mine.prepare(bands);
            // A thread's share of a round, and a block open in every band.
            mine.stock(round / static_cast<uint64_t>(omp_get_num_threads()) + bands * kBlockDeposits);
        } catch (const std::bad_alloc&) {
        }
    }
}

void hostSplat(const TLFrame& f, const TLV3* positions, const TLUChar4* colors, const TLV3* velocities, uint64_t n,
               float* accumulator, HostAccumulation mode) {
    if (n == 0) return;
    const SplatJob job{cpu::CopyWalk(f, positions, velocities), colors};
    const uint64_t whole = n / job.walk.per;  // particles with all their work items
    const uint64_t pixels =
        static_cast<uint64_t>(f.width > 0 ? f.width : 0) * static_cast<uint64_t>(f.height > 0 ? f.height : 0);
    if (mode == HostAccumulation::atomic) {
        splatAtomic(job, whole, accumulator);
    } else {
        splatBinned(job, whole, pixels, accumulator);
    }
    // A count that ends inside a particle: its first work items, after everything else.
    const uint64_t rest = n - whole * job.walk.per;
    if (rest > 0) {
        const SplatWeights w = splatWeights(f, colors[whole]);
        job.particle(whole, rest, cpu::ScalarJitter{f},
                     [&](uint64_t pixel, uint32_t times) { addTimes(accumulator + 4u * pixel, w, times); });
    }
}

gpu::Error launchSplat(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLUChar4* colors,
                       const TLV3* velocities, uint64_t n, float* accumulator) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    hostSplat(frame, positions, colors, velocities, n, accumulator);
    return gpu::kSuccess;
}

}  // namespace tl
