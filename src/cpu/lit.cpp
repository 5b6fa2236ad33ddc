// The lit kernels that read the frame's lit constants: kLightSplat, kCamSplat and kShade.
// The constants travel with each launch (a __grid_constant__ parameter on the GPU, where the hardware
// keeps them in constant memory; a reference on the CPU), so lit frames of different contexts never
// share them. Their per-item code lives in kernels/shadow_maps.h and kernels/lit_shading.h.
#include "kernels/lit_shading.h"
#include "kernels/shadow_maps.h"
#include "kernels/lit_constants.h"
#include "kernels/launchers.h"

#include <cstring>

#include "cpu/launch.h"
#include "cpu/simd.h"
#include "cpu/lit_walk.h"

namespace tl {

gpu::Error launchLightSplat(LaunchConfig cfg, const LitConstants& vc, const TLFrame& frame, const TLV3* positions,
                            const TLV3* velocities, uint64_t n, float* shadowMaps) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    if (!(vc.copyCrossSection > 0.0f)) return gpu::kSuccess;  // every deposit would be 0
    const cpu::CopyWalk walk(frame, positions, velocities);
    const litcpu::Order order = litcpu::orderByShadowMap(vc, positions, n / walk.per);
    litcpu::forEachSample(walk, order, nullptr, n, [&](uint64_t, TLV3 p, uint32_t, uint32_t times, TLUChar4) {
        for (uint32_t t = 0; t < times; ++t) lightSplatPoint(vc, p, shadowMaps);
    }, [&](TLV3 p) { litcpu::prefetchShadowTexels(vc, shadowMaps, p); });
    return gpu::kSuccess;
}

namespace {

// A thread's camera depth deposits, each made kDepositsAhead deposits after its column was known and
// fetched: the projection is done once per sample, and the fetch has time to arrive.
constexpr int kDepositsAhead = 8;
struct DepositRing {
    float* column[kDepositsAhead];
    SliceShares shares[kDepositsAhead];
    uint32_t times[kDepositsAhead];
    int next = 0, held = 0;

    void add(int k) {
        litcpu::atomicAddRepeated(column[k] + shares[k].first, shares[k].firstShare, times[k]);
        if (shares[k].second >= 0)
            litcpu::atomicAddRepeated(column[k] + shares[k].second, shares[k].secondShare, times[k]);
    }
    void push(float* c, const SliceShares& s, uint32_t t) {
        __builtin_prefetch(c + s.first, 1);
        if (held == kDepositsAhead) add(next);
        else ++held;
        column[next] = c, shares[next] = s, times[next] = t;
        next = (next + 1) % kDepositsAhead;
    }
    // The held deposits, oldest first.
    void drain() {
        for (int k = (next + kDepositsAhead - held) % kDepositsAhead; held > 0; --held, k = (k + 1) % kDepositsAhead)
            add(k);
        next = 0;
    }
};

thread_local DepositRing tDeposits;

}  // namespace

gpu::Error launchCamSplat(LaunchConfig cfg, const LitConstants& vc, const TLFrame& frame, const TLV3* positions,
                          const TLV3* velocities, uint64_t n, float* cameraDepth) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    if (!(vc.sampleCrossSection > 0.0f)) return gpu::kSuccess;  // every deposit would be 0
    const cpu::CopyWalk walk(frame, positions, velocities);
    const litcpu::Order order = litcpu::orderByImage(frame, positions, n / walk.per);
    litcpu::forEachSample(
        walk, order, nullptr, n,
        [&](uint64_t, TLV3 p, uint32_t s, uint32_t times, TLUChar4) {
            CameraHit hit;
            if (!projectToCamera(frame, p, s, hit)) return;
            float* column;
            const SliceShares shares = camSplatShares(vc, frame, hit, cameraDepth, &column);
            tDeposits.push(column, shares, times);
        },
        [](TLV3) {}, [] { tDeposits.drain(); });
    return gpu::kSuccess;
}

namespace {

// Visible weights of kLanes samples at once, compiled for the widest vectors the processor offers;
// each lane gives the bits of visibleWeight.
TL_SIMD_CLONES
void visibleWeightLanes(const float* tau, const float* w, float* weight) {
    simd::VF t, d;
    std::memcpy(&t, tau, sizeof t);
    std::memcpy(&d, w, sizeof d);
    const simd::VF out = simd::expF(-t) * (1.0f - simd::expF(-d));
    std::memcpy(weight, &out, sizeof out);
}

// exp(-tau) of kLanes optical depths, lane by lane the bits of expF(-tau).
TL_SIMD_CLONES
void dimmingLanes(const float* tau, float* dim) {
    simd::VF t;
    std::memcpy(&t, tau, sizeof t);
    const simd::VF out = simd::expF(-t);
    std::memcpy(dim, &out, sizeof out);
}

// A thread's samples waiting for their visible weights, which are computed kLanes at a time.
struct ShadeBatch {
    float tau[simd::kLanes];
    float w[simd::kLanes];
    float weight[simd::kLanes];
    TLV3 p[simd::kLanes];
    TLUChar4 color[simd::kLanes];
    float* pixel[simd::kLanes];
    uint32_t times[simd::kLanes];
    int count = 0;

    void flush(const LitConstants& vc, const float* shadowMaps) {
        if (count == 0) return;
        for (int l = count; l < simd::kLanes; ++l) tau[l] = w[l] = 0.0f;
        visibleWeightLanes(tau, w, weight);
        // The lights of the visible samples, light by light, with their shadows' dimming in lanes;
        // the sums then follow receivedLight's order exactly.
        LightTerm terms[kMaxLitLights][simd::kLanes];
        float dim[kMaxLitLights][simd::kLanes];
        bool visible[simd::kLanes];
        for (int l = 0; l < simd::kLanes; ++l) {
            visible[l] = l < count && weight[l] > kMinVisibleWeight;
            if (!visible[l]) continue;
            ViewDirection view;
            for (int32_t i = 0; i < vc.lightCount; ++i)
                terms[i][l] = lightTerm(vc, vc.lights[i], shadowMaps, p[l], view);
        }
        for (int32_t i = 0; i < vc.lightCount; ++i) {
            float depth[simd::kLanes];
            for (int l = 0; l < simd::kLanes; ++l)
                depth[l] = visible[l] && terms[i][l].reaches ? terms[i][l].tau : 0.0f;
            dimmingLanes(depth, dim[i]);
        }
        for (int l = 0; l < count; ++l) {
            if (!visible[l]) continue;
            Rgb e{vc.baseLight[0], vc.baseLight[1], vc.baseLight[2]};
            for (int32_t i = 0; i < vc.lightCount; ++i)
                if (terms[i][l].reaches) addLight(e, vc.lights[i], terms[i][l].intensity * dim[i][l]);
            const Rgb add = radianceOf(vc, color[l], weight[l], e);
            litcpu::atomicAddRepeated(pixel[l] + 0, add.r, times[l]);
            litcpu::atomicAddRepeated(pixel[l] + 1, add.g, times[l]);
            litcpu::atomicAddRepeated(pixel[l] + 2, add.b, times[l]);
        }
        count = 0;
    }
};

thread_local ShadeBatch tShadeBatch;

}  // namespace

gpu::Error launchShade(LaunchConfig cfg, const LitConstants& vc, const TLFrame& frame, const TLV3* positions,
                       const TLUChar4* colors, const TLV3* velocities, uint64_t n, const float* shadowMaps,
                       const float* cameraDepth, float* accumulator) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    if (!(vc.sampleCrossSection > 0.0f)) return gpu::kSuccess;  // every sample is transparent
    // With shadows most scattered reads are shadow lookups: the shadow-map order serves them.
    const cpu::CopyWalk walk(frame, positions, velocities);
    const uint64_t particles = n / walk.per;
    const bool shadowOrder = litcpu::firstShadowLight(vc) >= 0;
    const litcpu::Order order = shadowOrder ? litcpu::orderByShadowMap(vc, positions, particles)
                                        : litcpu::orderByImage(frame, positions, particles);
    litcpu::forEachSample(
        walk, order, colors, n,
        [&](uint64_t, TLV3 p, uint32_t s, uint32_t times, TLUChar4 color) {
            CameraHit hit;
            if (!projectToCamera(frame, p, s, hit)) return;
            ShadeBatch& batch = tShadeBatch;
            const Visibility v = sampleVisibility(vc, frame, hit, cameraDepth);
            const int l = batch.count++;
            batch.tau[l] = v.tau;
            batch.w[l] = v.w;
            batch.p[l] = p;
            batch.color[l] = color;
            batch.pixel[l] = accumulator + 4u * pixelIndex(frame, hit);
            batch.times[l] = times;
            if (batch.count == simd::kLanes) batch.flush(vc, shadowMaps);
        },
        [&](TLV3 p) {
            litcpu::prefetchCameraEntries(vc, frame, cameraDepth, accumulator, p);
            if (!shadowOrder && vc.lightCount > 0) litcpu::prefetchShadowTexels(vc, shadowMaps, p);
        },
        [&] { tShadeBatch.flush(vc, shadowMaps); });
    return gpu::kSuccess;
}

}  // namespace tl
