#include "lit/lit_pass.h"

#include <cstring>

#include "kernels/bounds.h"
#include "kernels/lit_constants.h"
#include "lit/bounds_derivations.h"
#include "lit/constants_builder.h"

namespace tl {
namespace {

constexpr uint32_t kBlock = 256;
constexpr uint32_t kBoundsBlocks = 1024;

// Bounds and moments of the cloud, measured on the device and read back.
Status measureCloud(LitBuffers& b, const LitFrame& job, BoundsRecord* bounds, MomentsRecord* moments) {
    const ParticleArrays& p = job.particles;
    *bounds = initialBounds();
    if (Status s = b.bounds.grow(8, "cudaMalloc bounds")) return s;
    if (Status s = Status::failed("init bounds", gpu::copyToDevice(b.bounds.get(), bounds, sizeof *bounds))) return s;
    if (Status s = b.moments.grow(6, "cudaMalloc moments")) return s;
    if (Status s = Status::failed("init moments", gpu::memset(b.moments.get(), 0, sizeof *moments))) return s;
    if (p.count > 0) {
        const gpu::Error err = launchBounds(LaunchConfig{kBoundsBlocks, kBlock}, p.positions, p.velocities, p.count,
                                            b.bounds.get(), b.moments.get());
        if (Status s = Status::failed("bounds kernel", err)) return s;
    }
    if (Status s = Status::failed("read bounds", gpu::copyToHost(bounds, b.bounds.get(), sizeof *bounds))) return s;
    std::memset(moments, 0, sizeof *moments);
    return Status::failed("read moments", gpu::copyToHost(moments, b.moments.get(), sizeof *moments));
}

// One deposit per particle copy into the shadow maps, then the running sums of every view.
Status buildShadowMaps(LitBuffers& b, const LitFrame& job, const LitConstants& vc, uint64_t mapFloats) {
    const char* step = "shadow maps";
    if (Status s = b.shadowMaps.grow(mapFloats, "cudaMalloc shadow maps")) return s;
    if (Status s = Status::failed(step, gpu::memsetAsync(b.shadowMaps.get(), 0, mapFloats * sizeof(float)))) return s;
    TLFrame lightFrame = *job.frame;
    lightFrame.samples = 1;
    const ParticleArrays& p = job.particles;
    const uint64_t nL = (static_cast<uint64_t>(lightFrame.jitterCount) + 1u) * p.count;
    if (nL > 0) {
        const LaunchConfig cfg{gridSizeFor(nL, kBlock, job.multiprocessors), kBlock};
        const gpu::Error err = launchLightSplat(cfg, vc, lightFrame, p.positions, p.velocities, nL, b.shadowMaps.get());
        if (Status s = Status::failed(step, err)) return s;
    }
    for (int32_t v = 0; v < vc.shadowViewCount; ++v) {
        const ShadowView& view = vc.shadowViews[v];
        const uint64_t columns = static_cast<uint64_t>(view.resolution) * static_cast<uint64_t>(view.resolution);
        const LaunchConfig cfg{gridSizeFor(columns, kBlock, job.multiprocessors), kBlock};
        const gpu::Error err = launchPrefix(cfg, b.shadowMaps.get() + view.mapOffset, columns, view.slices,
                                            static_cast<uint64_t>(view.resolution), nullptr);
        if (Status s = Status::failed(step, err)) return s;
    }
    return {};
}

// The camera depth map and each pixel's total optical depth.
Status buildCameraDepth(LitBuffers& b, const LitFrame& job, const LitConstants& vc, uint64_t pixels,
                        uint64_t samples) {
    const char* step = "camera depth map";
    const uint64_t depthFloats = static_cast<uint64_t>(static_cast<int64_t>(vc.depthSlices)) * pixels;
    if (Status s = b.cameraDepth.grow(depthFloats, "cudaMalloc camera depth map")) return s;
    float* depth = b.cameraDepth.get();
    if (Status s = Status::failed(step, gpu::memsetAsync(depth, 0, depthFloats * sizeof(float)))) return s;
    const ParticleArrays& p = job.particles;
    if (samples > 0) {
        const LaunchConfig cfg{gridSizeFor(samples, kBlock, job.multiprocessors), kBlock};
        const gpu::Error err = launchCamSplat(cfg, vc, *job.frame, p.positions, p.velocities, samples, depth);
        if (Status s = Status::failed(step, err)) return s;
    }
    const LaunchConfig cfg{gridSizeFor(pixels, kBlock, job.multiprocessors), kBlock};
    return Status::failed(step, launchPrefix(cfg, depth, pixels, vc.depthSlices, 1, job.totalDepth));
}

}  // namespace

Status runLitPass(LitBuffers& b, const LitFrame& job) {
    // A positive count with no array to read is a caller's mistake, not "no lights".
    if (!job.lights && job.lightCount > 0) return Status{"tlRender: invalid parameters"};
    const uint64_t count = job.particles.count;
    BoundsRecord bounds;
    MomentsRecord moments;
    if (Status s = measureCloud(b, job, &bounds, &moments)) return s;
    const Box padded = paddedBox(bounds, count, *job.frame);
    const Box core = coreBox(moments, count, padded);
    const float crossSection = particleCrossSection(core, count, job.settings->density);

    // The frame's lit constants travel with each lit launch.
    LitConstants vc;
    std::memset(&vc, 0, sizeof vc);
    const uint64_t mapFloats = buildLitConstants(job.camera, job.settings, job.frame, job.lights, job.lightCount,
                                                    padded.lo, padded.hi, crossSection, &vc);
    if (mapFloats > 0) {
        if (Status s = buildShadowMaps(b, job, vc, mapFloats)) return s;
    }
    const uint64_t pixels = static_cast<uint64_t>(static_cast<int64_t>(job.frame->width * job.frame->height));
    const uint64_t samples = (static_cast<uint64_t>(job.frame->jitterCount) + 1u) *
                             static_cast<uint64_t>(job.frame->samples) * count;
    if (Status s = buildCameraDepth(b, job, vc, pixels, samples)) return s;

    const char* step = "lighting";
    if (Status s = Status::failed(step, gpu::memsetAsync(job.accumulator, 0, pixels * 16u))) return s;
    if (samples == 0) return {};
    const ParticleArrays& p = job.particles;
    const LaunchConfig cfg{gridSizeFor(samples, kBlock, job.multiprocessors), kBlock};
    return Status::failed(step, launchShade(cfg, vc, *job.frame, p.positions, p.colors, p.velocities, samples,
                                            b.shadowMaps.get(), b.cameraDepth.get(), job.accumulator));
}

}  // namespace tl
