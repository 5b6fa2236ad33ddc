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
#include "cpu/light_lanes.h"
#include "cpu/projection_lanes.h"
#include "cpu/simd.h"
#include "cpu/lit_walk.h"

namespace tl {

gpu::Error launchLightSplat(LaunchConfig cfg, const LitConstants& vc, const TLFrame& frame, const TLV3* positions,
                            const TLV3* velocities, uint64_t n, float* shadowMaps) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    if (!(vc.copyCrossSection > 0.0f)) return gpu::kSuccess;  // every deposit would be 0
    const cpu::CopyWalk walk(frame, positions, velocities);
    const litcpu::Order order = litcpu::orderByShadowMap(vc, positions, n / walk.per);
    struct NoState {};
    litcpu::forEachSample<NoState>(
        walk, order, nullptr, n,
        [&](NoState&, uint64_t, TLV3 p, uint32_t, uint32_t times, TLUChar4) {
            for (uint32_t t = 0; t < times; ++t) lightSplatPoint(vc, p, shadowMaps);
        },
        [&](NoState&, uint64_t, TLV3 p) { litcpu::prefetchShadowTexels(vc, shadowMaps, p); }, [](NoState&) {});
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

// What kShade needs of a visit's projection: its pixel (kCulled when the sample missed the image) and
// its deposit. kCamSplat computes them and keeps them in walk order for the kShade launch that follows
// it on the same thread, which then neither projects the sample again nor computes its depth.
constexpr uint32_t kCulled = UINT32_MAX;
struct SampleRecord {
    uint32_t pixel;
    CameraDeposit deposit;
};

// At most this much memory for the records of a launch; beyond it kShade projects again.
constexpr uint64_t kMaxRecordBytes = uint64_t{512} << 20;

// The records of the last kCamSplat launch of the calling thread, and what they were computed from.
// Only the next kShade launch with the very same inputs reads them; any other launch of kShade
// forgets them.
class SampleRecords {
public:
    // Compared byte for byte: no padding anywhere.
    struct Inputs {
        const TLV3* positions;
        const TLV3* velocities;
        const uint32_t* order;
        uint64_t n;
        float depthNear, depthScale, sampleCrossSection;
        int32_t depthSlices;
        TLFrame f;
        uint32_t unused;
    };
    static_assert(sizeof(Inputs) == 4 * 8 + 4 * 4 + sizeof(TLFrame) + 4, "no padding in the record inputs");
    static Inputs inputsOf(const LitConstants& vc, const TLFrame& f, const TLV3* positions, const TLV3* velocities,
                           litcpu::Order order, uint64_t n) {
        Inputs in{};
        in.f = f;
        in.positions = positions;
        in.velocities = velocities;
        in.order = order.order;
        in.n = n;
        in.depthNear = vc.depthNear;
        in.depthScale = vc.depthScale;
        in.sampleCrossSection = vc.sampleCrossSection;
        in.depthSlices = vc.depthSlices;
        return in;
    }
    // Room for `count` records made from `in`, or null (too many, or no memory).
    SampleRecord* begin(const Inputs& in, uint64_t count) {
        valid_ = false;
        if (count > kMaxRecordBytes / sizeof(SampleRecord)) return nullptr;
        inputs_ = in;
        return records_.reserve(count);
    }
    void complete() { valid_ = true; }
    void forget() { valid_ = false; }
    // The records made from `in`, handed out once; null when there are none.
    const SampleRecord* take(const Inputs& in) {
        const bool match = valid_ && std::memcmp(&in, &inputs_, sizeof in) == 0;
        valid_ = false;
        return match ? records_.data() : nullptr;
    }

private:
    gpu::cpu::LargeScratch<SampleRecord> records_;
    Inputs inputs_{};
    bool valid_ = false;
};

SampleRecords& sampleRecords() {
    static thread_local SampleRecords records;
    return records;
}

}  // namespace

gpu::Error launchCamSplat(LaunchConfig cfg, const LitConstants& vc, const TLFrame& frame, const TLV3* positions,
                          const TLV3* velocities, uint64_t n, float* cameraDepth) {
    sampleRecords().forget();  // whatever happens below, no kShade reads older records
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    if (!(vc.sampleCrossSection > 0.0f)) return gpu::kSuccess;  // every deposit would be 0
    const cpu::CopyWalk walk(frame, positions, velocities);
    const litcpu::Order order = litcpu::orderByImage(frame, positions, n / walk.per);
    // Records are kept for whole particles only (a count that ends inside one is not a frame's).
    SampleRecord* const records =
        n % walk.per == 0
            ? sampleRecords().begin(SampleRecords::inputsOf(vc, frame, positions, velocities, order, n),
                                    n / walk.per * litcpu::visitsPer(walk))
            : nullptr;
    // A visit's deposit and record, from its pixel and sampleDepth's values.
    auto deposit = [&](DepositRing& ring, uint64_t r, uint64_t pixel, SampleDepth sd, uint32_t times) {
        const CameraDeposit d = cameraDeposit(vc, sd);
        if (records) records[r] = SampleRecord{static_cast<uint32_t>(pixel), d};
        ring.push(cameraDepth + pixel * static_cast<uint64_t>(vc.depthSlices), sliceShares(vc.depthSlices, d.slice, d.w),
                  times);
    };
    // The perspective camera without lens projects kLanes visits at a time.
    struct Lanes {
        DepositRing ring;
        float x[simd::kLanes], y[simd::kLanes], z[simd::kLanes];
        uint64_t r[simd::kLanes];
        uint32_t times[simd::kLanes];
        int count;
    };
    auto flush = [&](Lanes& lanes) {
        if (lanes.count == 0) return;
        for (int l = lanes.count; l < simd::kLanes; ++l) lanes.x[l] = lanes.y[l] = lanes.z[l] = 0.0f;
        uint32_t pixel[simd::kLanes];
        float depth[simd::kLanes], footprint[simd::kLanes];
        cpu::projectLanes(frame, lanes.x, lanes.y, lanes.z, pixel, depth, footprint);
        for (int l = 0; l < lanes.count; ++l) {
            if (pixel[l] == cpu::kCulledPixel) {
                if (records) records[lanes.r[l]].pixel = kCulled;
            } else {
                deposit(lanes.ring, lanes.r[l], pixel[l], SampleDepth{depth[l], footprint[l]}, lanes.times[l]);
            }
        }
        lanes.count = 0;
    };
    const bool inLanes = cpu::projectsInLanes(frame);
    litcpu::forEachSample<Lanes>(
        walk, order, nullptr, n,
        [&](Lanes& lanes, uint64_t r, TLV3 p, uint32_t s, uint32_t times, TLUChar4) {
            if (inLanes) {
                const int l = lanes.count++;
                lanes.x[l] = p.x, lanes.y[l] = p.y, lanes.z[l] = p.z;
                lanes.r[l] = r;
                lanes.times[l] = times;
                if (lanes.count == simd::kLanes) flush(lanes);
                return;
            }
            CameraHit hit;
            if (!projectToCamera(frame, p, s, hit)) {
                if (records) records[r].pixel = kCulled;
                return;
            }
            deposit(lanes.ring, r, pixelIndex(frame, hit), sampleDepth(frame, hit), times);
        },
        [](Lanes&, uint64_t, TLV3) {},
        [&](Lanes& lanes) {
            flush(lanes);
            lanes.ring.drain();
        });
    if (records) sampleRecords().complete();
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
        // The lights of the visible samples, light by light: falloff, cone and phase in lanes, then
        // each shadow's lookup, then their dimming in lanes; the sums then follow receivedLight's
        // order exactly.
        LightTerm terms[kMaxLitLights][simd::kLanes];
        float dim[kMaxLitLights][simd::kLanes];
        bool visible[simd::kLanes];
        float px[simd::kLanes], py[simd::kLanes], pz[simd::kLanes], vx[simd::kLanes], vy[simd::kLanes],
            vz[simd::kLanes];
        for (int l = 0; l < simd::kLanes; ++l) {
            visible[l] = l < count && weight[l] > kMinVisibleWeight;
            px[l] = p[l].x, py[l] = p[l].y, pz[l] = p[l].z;
        }
        if (vc.lightCount > 0) cpu::viewDirectionLanes(vc, px, py, pz, vx, vy, vz);
        for (int32_t i = 0; i < vc.lightCount; ++i) {
            const LitLight& light = vc.lights[i];
            float intensity[simd::kLanes];
            int32_t reaches[simd::kLanes];
            cpu::lightIntensityLanes(vc, light, px, py, pz, vx, vy, vz, intensity, reaches);
            for (int l = 0; l < simd::kLanes; ++l) {
                if (!visible[l]) continue;
                LightTerm& t = terms[i][l];
                t = LightTerm{reaches[l] != 0, intensity[l], 0.0f};
                if (!t.reaches) continue;
                const int32_t m = shadowViewFor(light, p[l]);
                if (m >= 0) t.tau = shadowDepth(vc.shadowViews[m], shadowMaps, p[l]);
            }
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

// Fetches the camera depth map entry and the accumulator pixel a record's shading reads.
void prefetchRecordEntries(const SampleRecord& record, uint64_t slices, const float* cameraDepth,
                           const float* accumulator) {
    if (record.pixel == kCulled) return;
    __builtin_prefetch(cameraDepth + record.pixel * slices + record.deposit.slice.i);
    __builtin_prefetch(accumulator + 4u * static_cast<uint64_t>(record.pixel));
}

// kShade of the records of `particles` whole particles walked in `order`, without lights: each visit
// adds its colour, weighted by what is seen of it, to its pixel.
void shadeRecordsUnlit(const LitConstants& vc, const cpu::CopyWalk& walk, litcpu::Order order, const TLUChar4* colors,
                       const SampleRecord* records, uint64_t particles, const float* cameraDepth, float* accumulator) {
    const uint64_t per = litcpu::visitsPer(walk);
    const uint32_t times = walk.perSample ? 1u : walk.samples;
    const uint64_t slices = static_cast<uint64_t>(vc.depthSlices);
    constexpr uint64_t kAhead = 8;
    const litcpu::Runs runs(particles);
#pragma omp parallel
    {
        ShadeBatch batch{};
        litcpu::forEachSlot(runs, [&](uint64_t t) {
            if (t + 2 * kAhead < particles) __builtin_prefetch(colors + (order ? order.order[t + 2 * kAhead] : t));
            if (t + kAhead < particles) {
                prefetchRecordEntries(records[(t + kAhead) * per], slices, cameraDepth, accumulator);
            }
            const TLUChar4 color = colors[order ? order.order[t] : t];
            for (uint64_t r = t * per; r < (t + 1) * per; ++r) {
                const SampleRecord& record = records[r];
                if (record.pixel == kCulled) continue;
                const Visibility v = visibilityIn(cameraDepth + record.pixel * slices, record.deposit);
                const int l = batch.count++;
                batch.tau[l] = v.tau;
                batch.w[l] = v.w;
                batch.p[l] = TLV3{0.0f, 0.0f, 0.0f};
                batch.color[l] = color;
                batch.pixel[l] = accumulator + 4u * static_cast<uint64_t>(record.pixel);
                batch.times[l] = times;
                if (batch.count == simd::kLanes) batch.flush(vc, nullptr);
            }
        });
        batch.flush(vc, nullptr);
    }
}

}  // namespace

gpu::Error launchShade(LaunchConfig cfg, const LitConstants& vc, const TLFrame& frame, const TLV3* positions,
                       const TLUChar4* colors, const TLV3* velocities, uint64_t n, const float* shadowMaps,
                       const float* cameraDepth, float* accumulator) {
    const cpu::CopyWalk walk(frame, positions, velocities);
    const uint64_t particles = n / walk.per;
    // The camera depth launch's records, when they were made from this very frame, cloud and order.
    const litcpu::Order imageOrder = litcpu::orderByImage(frame, positions, particles);
    const SampleRecord* const records =
        sampleRecords().take(SampleRecords::inputsOf(vc, frame, positions, velocities, imageOrder, n));
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    if (!(vc.sampleCrossSection > 0.0f)) return gpu::kSuccess;  // every sample is transparent
    // Without records and with shadows, most scattered reads are shadow lookups: the shadow-map order
    // serves them. The records are in image order.
    const bool shadowOrder = !records && litcpu::firstShadowLight(vc) >= 0;
    const litcpu::Order order = shadowOrder ? litcpu::orderByShadowMap(vc, positions, particles) : imageOrder;
    const uint64_t per = litcpu::visitsPer(walk);
    const uint64_t slices = static_cast<uint64_t>(vc.depthSlices);
    if (records && vc.lightCount == 0) {
        // Without lights a sample's shade needs no position: the records and the colours are all.
        shadeRecordsUnlit(vc, walk, order, colors, records, particles, cameraDepth, accumulator);
        return gpu::kSuccess;
    }
    litcpu::forEachSample<ShadeBatch>(
        walk, order, colors, n,
        [&](ShadeBatch& batch, uint64_t r, TLV3 p, uint32_t s, uint32_t times, TLUChar4 color) {
            uint64_t pixel;
            Visibility v;
            if (records) {
                const SampleRecord& record = records[r];
                if (record.pixel == kCulled) return;
                pixel = record.pixel;
                v = visibilityIn(cameraDepth + pixel * slices, record.deposit);
            } else {
                CameraHit hit;
                if (!projectToCamera(frame, p, s, hit)) return;
                v = sampleVisibility(vc, frame, hit, cameraDepth);
                pixel = pixelIndex(frame, hit);
            }
            const int l = batch.count++;
            batch.tau[l] = v.tau;
            batch.w[l] = v.w;
            batch.p[l] = p;
            batch.color[l] = color;
            batch.pixel[l] = accumulator + 4u * pixel;
            batch.times[l] = times;
            if (batch.count == simd::kLanes) batch.flush(vc, shadowMaps);
        },
        [&](ShadeBatch&, uint64_t slot, TLV3 p) {
            if (records) {
                prefetchRecordEntries(records[slot * per], slices, cameraDepth, accumulator);
            } else {
                litcpu::prefetchCameraEntries(vc, frame, cameraDepth, accumulator, p);
            }
            if (!shadowOrder && vc.lightCount > 0) litcpu::prefetchShadowTexels(vc, shadowMaps, p);
        },
        [&](ShadeBatch& batch) { batch.flush(vc, shadowMaps); });
    return gpu::kSuccess;
}

}  // namespace tl
