// kSplat: the plain path's splatting kernel. Every sample of every particle copy is placed, projected
// and added as a single pixel into the float accumulator.
//
// The default kernel gives each particle copy a thread and loops over the copy's samples inside, so
// the copy's jitter is computed once; without motion blur and lens every sample of a copy lands on the
// same pixel, and the copy is projected once and adds its samples' sum with one deposit. On compute
// capability 9.0 and newer a deposit is one vector atomic (red.global.add.v4.f32), elsewhere four
// scalar ones. TALUNA_CUDA_SPLAT=work-items (one thread per sample, as before) or copies-scalar (the
// copy kernel with scalar atomics) selects the other variants, for comparing their times.
#include <cstdlib>
#include <cstring>

#include "kernels/launchers.h"
#include "kernels/splat.h"

#include "cuda/device_loop.h"

namespace tl {
namespace {

enum class SplatVariant { Copies, CopiesScalar, WorkItems };

SplatVariant splatVariant() {
    const char* v = std::getenv("TALUNA_CUDA_SPLAT");
    if (v && std::strcmp(v, "work-items") == 0) return SplatVariant::WorkItems;
    if (v && std::strcmp(v, "copies-scalar") == 0) return SplatVariant::CopiesScalar;
    return SplatVariant::Copies;
}

template <bool kVector>
__device__ __forceinline__ void deposit(float* a, const SplatWeights& w) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 900
    if constexpr (kVector) {
        // atomicAdd on a float4 compiles to atom (which returns the old value); red needs no reply.
        asm volatile("red.global.add.v4.f32 [%0], {%1, %2, %3, %4};" ::"l"(a), "f"(w.r), "f"(w.g), "f"(w.b),
                     "f"(w.a)
                     : "memory");
        return;
    }
#endif
    atomicAdd(a + 0, w.r);
    atomicAdd(a + 1, w.g);
    atomicAdd(a + 2, w.b);
    atomicAdd(a + 3, w.a);
}

}  // namespace

__global__ void kSplat(TLFrame frame, const TLV3* __restrict__ positions, const TLUChar4* __restrict__ colors,
                       const TLV3* __restrict__ velocities, uint64_t n, float* accumulator) {
    const uint64_t stride = gridStride();
    for (uint64_t w = globalThreadIndex(); w < n; w += stride) {
        splatWorkItem(frame, positions, colors, velocities, w, accumulator);
        if (n - w <= stride) break;  // the next index would reach n, or wrap past 2^64
    }
}

// One thread per particle copy (copies = particles x (jitterCount + 1)).
template <bool kVector>
__global__ void kSplatCopies(TLFrame frame, const TLV3* __restrict__ positions,
                             const TLUChar4* __restrict__ colors, const TLV3* __restrict__ velocities,
                             uint64_t copies, float* accumulator) {
    const uint64_t perParticle = frame.jitterCount > 0 ? static_cast<uint64_t>(frame.jitterCount) + 1u : 1u;
    const uint32_t samples = static_cast<uint32_t>(frame.samples > 0 ? frame.samples : 1);
    const bool motion = motionBlurOn(frame, velocities);
    const bool perSample = motion || depthOfFieldOn(frame);
    const uint64_t stride = gridStride();
    for (uint64_t c = globalThreadIndex(); c < copies; c += stride) {
        const uint64_t i = c / perParticle;
        const uint32_t k = static_cast<uint32_t>(c - i * perParticle);
        TLV3 p = positions[i];
        const uint64_t index = cloudIndex(frame, i);
        if (k >= 1) {
            const TLV3 o = copyJitter(index, k, frame.jitterSigma);
            p = TLV3{p.x + o.x, p.y + o.y, p.z + o.z};
        }
        if (!perSample) {
            uint32_t s = 0;  // nothing draws from it without lens
            CameraHit hit;
            if (projectToCamera(frame, p, s, hit)) {
                const SplatWeights w = splatWeights(frame, loadColor(colors, i));
                SplatWeights sum = w;
                for (uint32_t j = 1; j < samples; ++j) {
                    sum.r += w.r;
                    sum.g += w.g;
                    sum.b += w.b;
                    sum.a += w.a;
                }
                deposit<kVector>(accumulator + 4u * pixelIndex(frame, hit), sum);
            }
        } else {
            bool haveWeights = false;
            SplatWeights w{};
            const TLV3 v = motion ? velocities[i] : TLV3{};
            for (uint32_t j = 0; j < samples; ++j) {
                uint32_t s = sampleState(index, k, j, frame.seed);
                const TLV3 q = motion ? applyMotion(frame, p, v, s) : p;
                CameraHit hit;
                if (!projectToCamera(frame, q, s, hit)) continue;
                if (!haveWeights) {
                    w = splatWeights(frame, loadColor(colors, i));
                    haveWeights = true;
                }
                deposit<kVector>(accumulator + 4u * pixelIndex(frame, hit), w);
            }
        }
        if (copies - c <= stride) break;  // the next index would reach copies, or wrap past 2^64
    }
}

gpu::Error launchSplat(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLUChar4* colors,
                       const TLV3* velocities, uint64_t n, float* accumulator) {
    const SplatVariant variant = splatVariant();
    if (variant == SplatVariant::WorkItems) {
        kSplat<<<cfg.blocks, cfg.threadsPerBlock>>>(frame, positions, colors, velocities, n, accumulator);
        return launchError();
    }
    // n counts work items: copies x samples.
    const uint64_t copies = n / static_cast<uint64_t>(frame.samples > 0 ? frame.samples : 1);
    // The grid sized for the work items, no larger than the copies need.
    const uint64_t threads = cfg.threadsPerBlock > 0 ? cfg.threadsPerBlock : 1u;
    const uint64_t needed = copies / threads + (copies % threads != 0 ? 1 : 0);
    const uint32_t blocks = static_cast<uint32_t>(needed < cfg.blocks ? (needed > 0 ? needed : 1) : cfg.blocks);
    if (variant == SplatVariant::CopiesScalar)
        kSplatCopies<false><<<blocks, cfg.threadsPerBlock>>>(frame, positions, colors, velocities, copies,
                                                             accumulator);
    else
        kSplatCopies<true><<<blocks, cfg.threadsPerBlock>>>(frame, positions, colors, velocities, copies,
                                                            accumulator);
    return launchError();
}

// A kernel launch needs nothing prepared.
void prepareSplat(uint64_t, int32_t, int32_t) {}

}  // namespace tl
