// kSplat: the plain path's splatting kernel. Every sample of every particle copy is placed, projected
// and added as a single pixel into the float accumulator.
#include "kernels/kernels.h"
#include "kernels/splat.h"

#if defined(__CUDACC__)
#include "kernels/device_loop.h"

namespace tl {

__global__ void kSplat(TLFrame frame, const TLV3* __restrict__ positions, const TLUChar4* __restrict__ colors,
                       const TLV3* __restrict__ velocities, uint64_t n, float* accumulator) {
    const uint64_t stride = gridStride();
    for (uint64_t w = globalThreadIndex(); w < n; w += stride) {
        splatWorkItem(frame, positions, colors, velocities, w, accumulator);
        if (n - w <= stride) break;  // the next index would reach n, or wrap past 2^64
    }
}

void launchSplat(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLUChar4* colors,
                 const TLV3* velocities, uint64_t n, float* accumulator) {
    kSplat<<<cfg.blocks, cfg.threadsPerBlock>>>(frame, positions, colors, velocities, n, accumulator);
}

}  // namespace tl

#else
#include <omp.h>
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "gpu/cpu_launch.h"
#include "kernels/splat_cpu.h"

namespace tl {
namespace {

// Largest total size of the per-thread accumulator copies.
constexpr uint64_t kMaxPrivateBytes = 1ull << 30;
// Pixels per dirty flag of a private copy: 1024 pixels, 16 KiB.
constexpr uint32_t kBlockShift = 10;
constexpr uint64_t kHugePage = 2u << 20;

// One thread's private copy of the accumulator. It is kept between launches and kept zeroed: after a
// launch only the blocks that received samples are added into the real accumulator and cleared
// again, so a launch neither clears nor sums the untouched rest of the image. Huge pages, where the
// system grants them, keep the random additions free of TLB misses.
class PrivateAccumulator {
public:
    PrivateAccumulator() = default;
    PrivateAccumulator(const PrivateAccumulator&) = delete;
    PrivateAccumulator& operator=(const PrivateAccumulator&) = delete;
    ~PrivateAccumulator() { release(); }

    // Room for `pixels` pixels, all zero; false when the memory cannot be had.
    bool reserve(uint64_t pixels) {
        const uint64_t blocks = ((pixels + (1u << kBlockShift) - 1) >> kBlockShift);
        // A copy far larger than needed (left by an earlier, bigger image) is given back.
        if (pixels <= pixels_ && pixels_ <= 4 * pixels + (1u << 20)) return true;
        release();
        const uint64_t bytes = (blocks << kBlockShift) * 16u;
        const uint64_t length = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return false;
        madvise(p, length, MADV_HUGEPAGE);  // advice only; ordinary pages serve as well
        try {
            dirty_.assign(blocks, 0);
        } catch (...) {
            munmap(p, length);
            return false;
        }
        data_ = static_cast<float*>(p);
        length_ = length;
        pixels_ = pixels;
        return true;
    }

    float* data() const { return data_; }
    uint8_t* dirty() { return dirty_.data(); }

    // Adds block b into the accumulator (pixels below `pixels`) and zeroes it again.
    void drainBlock(uint64_t b, uint64_t pixels, float* accumulator) {
        if (!dirty_[b]) return;
        const uint64_t begin = (b << kBlockShift) * 4u;
        uint64_t end = ((b + 1) << kBlockShift) * 4u;
        end = end < pixels * 4u ? end : pixels * 4u;
        for (uint64_t q = begin; q < end; ++q) accumulator[q] += data_[q];
        std::memset(data_ + begin, 0, (end - begin) * sizeof(float));
        dirty_[b] = 0;
    }

private:
    void release() {
        if (data_) munmap(data_, length_);
        data_ = nullptr;
        length_ = 0;
        pixels_ = 0;
        dirty_.clear();
        dirty_.shrink_to_fit();
    }

    float* data_ = nullptr;
    uint64_t length_ = 0;
    uint64_t pixels_ = 0;
    std::vector<uint8_t> dirty_;
};

thread_local PrivateAccumulator tPrivate;

struct AtomicSink {
    float* accumulator;
    void add(uint64_t pixel, const SplatWeights& w, uint32_t times) const {
        float* a = accumulator + 4u * pixel;
        for (uint32_t t = 0; t < times; ++t) {
            atomicAddF(a + 0, w.r);
            atomicAddF(a + 1, w.g);
            atomicAddF(a + 2, w.b);
            atomicAddF(a + 3, w.a);
        }
    }
};

// Plain additions into an accumulator only this thread touches; marks the blocks it dirties.
struct PrivateSink {
    float* accumulator;
    uint8_t* dirty;  // null: nothing to mark (the single thread adds into the real accumulator)
    void add(uint64_t pixel, const SplatWeights& w, uint32_t times) const {
        if (dirty) dirty[pixel >> kBlockShift] = 1;
        float* a = accumulator + 4u * pixel;
        for (uint32_t t = 0; t < times; ++t) {
            a[0] += w.r;
            a[1] += w.g;
            a[2] += w.b;
            a[3] += w.a;
        }
    }
};

// Deposits are gathered in small batches: each target pixel is prefetched when its deposit is
// computed and added when the batch is full, so the cache misses of many samples overlap instead of
// stalling one after another.
template <class Sink>
class BatchedSink {
public:
    BatchedSink(const Sink& sink, float* accumulator) : sink_(sink), accumulator_(accumulator) {}
    BatchedSink(const BatchedSink&) = delete;
    BatchedSink& operator=(const BatchedSink&) = delete;
    ~BatchedSink() { flush(); }

    void add(uint64_t pixel, const SplatWeights& w, uint32_t times) {
        if (count_ == kBatch) flush();
        __builtin_prefetch(accumulator_ + 4u * pixel, 1, 1);
        batch_[count_++] = Deposit{pixel, w, times};
    }

    void flush() {
        for (uint32_t d = 0; d < count_; ++d) sink_.add(batch_[d].pixel, batch_[d].weights, batch_[d].times);
        count_ = 0;
    }

private:
    struct Deposit {
        uint64_t pixel;
        SplatWeights weights;
        uint32_t times;
    };
    static constexpr uint32_t kBatch = 32;
    const Sink& sink_;
    float* accumulator_;
    Deposit batch_[kBatch];
    uint32_t count_ = 0;
};

struct SplatJob {
    const TLFrame& f;
    const TLV3* positions;
    const TLUChar4* colors;
    const TLV3* velocities;
    uint64_t n;
    uint64_t per;      // work items per particle
    uint32_t samples;  // work items per copy
    bool perSampleProjection;

    // Every work item of particle i below n, in work-index order.
    template <class Sink>
    void particle(uint64_t i, Sink& sink) const {
        const uint64_t first = i * per;
        const TLV3 base = positions[i];
        bool haveWeights = false;
        SplatWeights weights{};
        for (uint32_t k = 0; k <= static_cast<uint32_t>(f.jitterCount); ++k) {
            const uint64_t copyFirst = first + static_cast<uint64_t>(k) * samples;
            if (copyFirst >= n) return;
            const uint64_t left = n - copyFirst;
            const uint32_t count = left < samples ? static_cast<uint32_t>(left) : samples;
            TLV3 p = base;
            if (k >= 1) {
                const TLV3 o = copyJitter(i, k, f.jitterSigma);
                p = TLV3{p.x + o.x, p.y + o.y, p.z + o.z};
            }
            if (!perSampleProjection) {
                uint32_t unused = 0;  // the projection draws nothing without a lens
                CameraHit hit;
                if (!projectToCamera(f, p, unused, hit)) continue;
                if (!haveWeights) weights = splatWeights(f, colors[i]), haveWeights = true;
                sink.add(pixelIndex(f, hit), weights, count);
                continue;
            }
            for (uint32_t j = 0; j < count; ++j) {
                uint32_t s = sampleState(i, k, j, f.seed);
                TLV3 q = p;
                if (motionBlurOn(f, velocities)) q = applyMotion(f, q, velocities[i], s);
                CameraHit hit;
                if (!projectToCamera(f, q, s, hit)) continue;
                if (!haveWeights) weights = splatWeights(f, colors[i]), haveWeights = true;
                sink.add(pixelIndex(f, hit), weights, 1);
            }
        }
    }

    // Particle chunk c into one accumulator.
    template <class Sink>
    void chunk(uint64_t c, uint64_t particles, const Sink& sink, float* accumulator) const {
        const uint64_t begin = c * kChunk;
        const uint64_t end = particles - begin < kChunk ? particles : begin + kChunk;
        BatchedSink<Sink> batched(sink, accumulator);
        for (uint64_t i = begin; i < end; ++i) particle(i, batched);
    }

    // Particles handed to a thread at a time: small enough to balance, large enough to stream. The
    // chunks go round-robin to the threads, so each thread's share, and with it the sums, are the
    // same on every run.
    static constexpr uint64_t kChunk = 4096;
};

}  // namespace

void hostSplat(const TLFrame& f, const TLV3* positions, const TLUChar4* colors, const TLV3* velocities, uint64_t n,
               float* accumulator, HostAccumulation mode) {
    if (n == 0) return;
    const SplatJob job{f,
                       positions,
                       colors,
                       velocities,
                       n,
                       workPerParticle(f),
                       static_cast<uint32_t>(f.samples > 0 ? f.samples : 1),
                       motionBlurOn(f, velocities) || depthOfFieldOn(f)};
    const uint64_t particles = (n - 1) / job.per + 1;
    const uint64_t chunks = (particles - 1) / SplatJob::kChunk + 1;
    const uint64_t pixels = static_cast<uint64_t>(f.width > 0 ? f.width : 0) * static_cast<uint64_t>(f.height > 0 ? f.height : 0);
    const int threads = omp_get_max_threads();

    if (threads == 1 && mode != HostAccumulation::atomic) {
        const PrivateSink sink{accumulator, nullptr};
        for (uint64_t c = 0; c < chunks; ++c) job.chunk(c, particles, sink, accumulator);
        return;
    }
    bool perThread = mode != HostAccumulation::atomic;
    if (perThread && mode == HostAccumulation::automatic) {
        // A first use allocates the copies; small frames are not worth it.
        perThread = n >= pixels / 4 && static_cast<uint64_t>(threads) * pixels * 16u <= kMaxPrivateBytes;
    }
    if (!perThread) {
        const AtomicSink sink{accumulator};
#pragma omp parallel for schedule(static, 1)
        for (uint64_t c = 0; c < chunks; ++c) job.chunk(c, particles, sink, accumulator);
        return;
    }

    std::vector<PrivateAccumulator*> copies(static_cast<size_t>(threads), nullptr);
    const uint64_t blocks = (pixels + (1u << kBlockShift) - 1) >> kBlockShift;
#pragma omp parallel num_threads(threads)
    {
        const int t = omp_get_thread_num();
        const int used = omp_get_num_threads();
        if (tPrivate.reserve(pixels)) copies[static_cast<size_t>(t)] = &tPrivate;
#pragma omp barrier
        // All or nothing: when one thread lacks its copy, every thread adds atomically instead.
        bool all = true;
        for (int c = 0; c < used; ++c) all = all && copies[static_cast<size_t>(c)] != nullptr;
        if (all) {
            const PrivateSink sink{tPrivate.data(), tPrivate.dirty()};
#pragma omp for schedule(static, 1)
            for (uint64_t c = 0; c < chunks; ++c) job.chunk(c, particles, sink, tPrivate.data());
            // The copies are summed in thread order: the same work gives the same bits on every run.
#pragma omp for schedule(static, 16)
            for (uint64_t b = 0; b < blocks; ++b) {
                for (int c = 0; c < used; ++c) copies[static_cast<size_t>(c)]->drainBlock(b, pixels, accumulator);
            }
        } else {
            const AtomicSink sink{accumulator};
#pragma omp for schedule(static, 1)
            for (uint64_t c = 0; c < chunks; ++c) job.chunk(c, particles, sink, accumulator);
        }
    }
}

void launchSplat(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLUChar4* colors,
                 const TLV3* velocities, uint64_t n, float* accumulator) {
    if (!gpu::cpu::launchAccepted(cfg)) return;
    hostSplat(frame, positions, colors, velocities, n, accumulator);
}

}  // namespace tl
#endif
