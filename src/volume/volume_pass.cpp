#include "volume/volume_pass.h"

#include <cstring>

#include "gpu/check.h"
#include "kernels/bounds.h"
#include "kernels/volume_constants.h"
#include "kernels/volume_kernels.h"
#include "volume/bounds_derivations.h"
#include "volume/volume_builder.h"

namespace tl {
namespace {

constexpr uint32_t kBlock = 256;
constexpr uint32_t kBoundsBlocks = 1024;

}  // namespace

int runVolumePass(TLContext* ctx, const TLCamera* camera, const TLRenderSettings* settings, const TLFrame* frame,
                  const TLLight* lights, int32_t lightCount, const TLV3* velocities) {
    // A positive count with no array to read is a caller's mistake, not "no lights".
    if (!lights && lightCount > 0) {
        setError(ctx, "tlRender: invalid parameters");
        return 1;
    }
    const uint64_t count = ctx->count;

    // Bounds and moments of the cloud.
    BoundsRecord bounds = initialBounds();
    if (!ctx->bounds && checkCuda(ctx, gpu::malloc(&ctx->bounds, 32), "cudaMalloc bounds")) return 1;
    if (checkCuda(ctx, gpu::copyToDevice(ctx->bounds, &bounds, sizeof bounds), "init bounds")) return 1;
    if (!ctx->moments && checkCuda(ctx, gpu::malloc(&ctx->moments, sizeof(MomentsRecord)), "cudaMalloc moments"))
        return 1;
    if (checkCuda(ctx, gpu::memset(ctx->moments, 0, sizeof(MomentsRecord)), "init moments")) return 1;
    if (count > 0) {
        launchBounds(LaunchConfig{kBoundsBlocks, kBlock}, ctx->positions, velocities, count,
                     static_cast<float*>(ctx->bounds), static_cast<double*>(ctx->moments));
        if (checkCuda(ctx, gpu::getLastError(), "bounds kernel")) return 1;
    }
    if (checkCuda(ctx, gpu::copyToHost(&bounds, ctx->bounds, sizeof bounds), "read bounds")) return 1;
    MomentsRecord moments;
    std::memset(&moments, 0, sizeof moments);
    if (checkCuda(ctx, gpu::copyToHost(&moments, ctx->moments, sizeof moments), "read moments")) return 1;

    const Box padded = paddedBox(bounds, count, *frame);
    const Box core = coreBox(moments, count, padded);
    const float crossSection = particleCrossSection(core, count, settings->density);

    // The volume constants of this frame, handed to each lit launch.
    VolumeConstants constants;
    std::memset(&constants, 0, sizeof constants);
    const uint64_t mapFloats = buildVolumeConstants(camera, settings, frame, lights, lightCount, padded.lo, padded.hi,
                                                    crossSection, &constants);

    const uint64_t copies = static_cast<uint64_t>(frame->jitterCount) + 1u;
    const uint64_t samples = static_cast<uint64_t>(frame->samples);

    // Shadow maps: one deposit per particle copy, then the running sums of every view.
    if (mapFloats > 0) {
        if (ensureDeviceBuffer(ctx, &ctx->shadowMaps, &ctx->shadowMapsCapacity, mapFloats, "cudaMalloc shadow maps"))
            return 1;
        gpu::memsetAsync(ctx->shadowMaps, 0, mapFloats * sizeof(float));
        TLFrame lightFrame = *frame;
        lightFrame.samples = 1;
        const uint64_t nL = copies * count;
        if (nL > 0) {
            launchLightSplat(LaunchConfig{gridSizeFor(ctx, nL, kBlock), kBlock}, constants, lightFrame,
                             ctx->positions, velocities, nL, ctx->shadowMaps);
        }
        for (int32_t v = 0; v < constants.shadowViewCount; ++v) {
            const ShadowView& view = constants.shadowViews[v];
            const uint64_t columns = static_cast<uint64_t>(view.resolution) * static_cast<uint64_t>(view.resolution);
            launchPrefix(LaunchConfig{gridSizeFor(ctx, columns, kBlock), kBlock}, ctx->shadowMaps + view.mapOffset,
                         columns, view.slices, nullptr);
        }
        if (checkCuda(ctx, gpu::getLastError(), "shadow maps")) return 1;
    }

    // Camera depth map and each pixel's total optical depth.
    const int32_t pixels = frame->width * frame->height;
    const uint64_t pixelCount = static_cast<uint64_t>(static_cast<int64_t>(pixels));
    const uint64_t depthFloats = static_cast<uint64_t>(static_cast<int64_t>(constants.depthSlices)) * pixelCount;
    if (ensureDeviceBuffer(ctx, &ctx->cameraDepth, &ctx->cameraDepthCapacity, depthFloats,
                           "cudaMalloc camera depth map"))
        return 1;
    gpu::memsetAsync(ctx->cameraDepth, 0, depthFloats * sizeof(float));
    const uint64_t nC = copies * samples * count;
    if (nC > 0) {
        launchCamSplat(LaunchConfig{gridSizeFor(ctx, nC, kBlock), kBlock}, constants, *frame, ctx->positions,
                       velocities, nC, ctx->cameraDepth);
    }
    launchPrefix(LaunchConfig{gridSizeFor(ctx, pixelCount, kBlock), kBlock}, ctx->cameraDepth, pixelCount,
                 constants.depthSlices, ctx->totalDepth);
    if (checkCuda(ctx, gpu::getLastError(), "camera depth map")) return 1;

    // Shading.
    gpu::memsetAsync(ctx->accumulator, 0, pixelCount * 16u);
    if (nC > 0) {
        launchShade(LaunchConfig{gridSizeFor(ctx, nC, kBlock), kBlock}, constants, *frame, ctx->positions,
                    ctx->colors, velocities, nC, ctx->shadowMaps, ctx->cameraDepth, ctx->accumulator);
    }
    if (checkCuda(ctx, gpu::getLastError(), "lighting")) return 1;
    return 0;
}

}  // namespace tl
