// kSplat: the plain path's splatting kernel. Every sample of every particle copy is placed, projected
// and added as a single pixel into the float accumulator.
#include "kernels/launchers.h"
#include "kernels/splat.h"

#include <omp.h>

#include <new>
#include <vector>

#include "cpu/copy_walk.h"
#include "cpu/launch.h"
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

// One deposit waiting in a band: the pixel within the band and the particle's colour.
struct Deposit {
    uint32_t pixel;
    TLUChar4 color;
};

// A thread's deposit bins, one per band. Kept between launches so that their memory is reused
// rather than allocated (and faulted in) again for every frame.
struct Bins {
    std::vector<std::vector<Deposit>> bands;
    bool failed = false;  // a bin could not grow: this thread adds atomically for the rest of the round

    void prepare(uint64_t count) {
        if (bands.size() < count) bands.resize(count);
        for (auto& b : bands) b.clear();
        failed = false;
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
// jitterCount of one particle, then of the next), computed simd::kLanes at a time.
class JitterFeed {
public:
    JitterFeed(uint64_t firstParticle, uint32_t jitterCount, float sigma)
        : particle_(firstParticle), copies_(jitterCount), sigma_(sigma) {}

    TLV3 next() {
        if (pos_ == simd::kLanes) refill();
        const TLV3 o{x_[pos_], y_[pos_], z_[pos_]};
        ++pos_;
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
    int pos_ = simd::kLanes;
    float x_[simd::kLanes], y_[simd::kLanes], z_[simd::kLanes];
};

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
        JitterFeed feed(c * kChunk, static_cast<uint32_t>(job.walk.f.jitterCount), job.walk.f.jitterSigma);
        auto jitter = [&](uint64_t, uint32_t) { return feed.next(); };
        for (uint64_t i = c * kChunk; i < end; ++i) {
            const SplatWeights w = splatWeights(job.walk.f, job.colors[i]);
            job.particle(i, job.walk.per, jitter, [&](uint64_t pixel, uint32_t times) {
                addAtomically(accumulator + 4u * pixel, w, times);
            });
        }
    }
}

// Deposits are first sorted into bands of the image by the thread that computes them, then every
// band is added by one thread: the random additions stay within a cached band instead of missing
// the cache all over the image, and no atomics are needed. Bands are filled from the threads' bins
// in thread order, so the sums come out the same on every run.
void splatBinned(const SplatJob& job, uint64_t particles, uint64_t pixels, float* accumulator) {
    const uint64_t bands = (pixels + kBandMask) >> kBandShift;
    const uint64_t perParticle = job.walk.perSample ? job.walk.per : job.walk.per / job.walk.samples;
    const uint64_t roundParticles = kRoundDeposits / perParticle > kChunk ? kRoundDeposits / perParticle : kChunk;
    const int threads = omp_get_max_threads();
    std::vector<Bins*> bins(static_cast<size_t>(threads), nullptr);
    const uint32_t samplesPerDeposit = job.walk.perSample ? 1u : job.walk.samples;

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
        for (uint64_t first = 0; first < particles; first += roundParticles) {
            const uint64_t last = particles - first < roundParticles ? particles : first + roundParticles;
            const uint64_t chunks = (last - first + kChunk - 1) / kChunk;
            mine.failed = !ready;
#pragma omp for schedule(static, 1)
            for (uint64_t c = 0; c < chunks; ++c) {
                const uint64_t begin = first + c * kChunk;
                const uint64_t end = last - begin < kChunk ? last : begin + kChunk;
                JitterFeed feed(begin, static_cast<uint32_t>(job.walk.f.jitterCount), job.walk.f.jitterSigma);
                auto jitter = [&](uint64_t, uint32_t) { return feed.next(); };
                for (uint64_t i = begin; i < end; ++i) {
                    const TLUChar4 color = job.colors[i];
                    job.particle(i, job.walk.per, jitter, [&](uint64_t pixel, uint32_t times) {
                        if (!mine.failed) {
                            try {
                                mine.bands[pixel >> kBandShift].push_back(
                                    Deposit{static_cast<uint32_t>(pixel & kBandMask), color});
                                return;
                            } catch (const std::bad_alloc&) {
                                mine.failed = true;
                            }
                        }
                        // Out of memory for the bins: this deposit goes straight in, atomically,
                        // while the other threads only gather.
                        addAtomically(accumulator + 4u * pixel, splatWeights(job.walk.f, color), times);
                    });
                }
            }
            // (the loop's barrier: every bin of the round is complete)
#pragma omp for schedule(static, 1)
            for (uint64_t b = 0; b < bands; ++b) {
                float* band = accumulator + 4u * (b << kBandShift);
                for (int t = 0; t < used; ++t) {
                    Bins* from = bins[static_cast<size_t>(t)];
                    if (!from || from->bands.size() <= b) continue;
                    std::vector<Deposit>& list = from->bands[b];
                    for (const Deposit& d : list)
                        addTimes(band + 4u * d.pixel, splatWeights(job.walk.f, d.color), samplesPerDeposit);
                    list.clear();
                }
            }
        }
    }
}

}  // namespace

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
        job.particle(whole, rest, cpu::ScalarJitter{f.jitterSigma},
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
