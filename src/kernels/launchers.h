// The kernels' launchers: what the render and lighting passes call, implemented once per backend
// (src/cuda: a kernel launch; src/cpu: the same per-item code on all cores). Each returns the
// runtime's error for its own launch, or success; nothing is left pending for a later call.
#pragma once

#include <cstdint>

#include "kernels/frame.h"
#include "kernels/runtime.h"
#include "taluna.h"

namespace tl {

struct LitConstants;

// The particle arrays a frame reads: count particles, velocities null when the frame uses none.
struct ParticleArrays {
    const TLV3* positions;
    const TLUChar4* colors;
    const TLV3* velocities;
    uint64_t count;
};

struct LaunchConfig {
    uint32_t blocks;
    uint32_t threadsPerBlock;
};

// Blocks of a one-dimensional launch over n items: enough to cover n, at least 1, at most 32 per
// multiprocessor (grid-stride loops cover the rest; 64 multiprocessors are assumed when unknown).
inline uint32_t gridSizeFor(uint64_t n, uint32_t blockSize, int multiprocessors) {
    if (blockSize == 0) blockSize = 1;
    uint64_t blocks = n / blockSize + (n % blockSize != 0 ? 1 : 0);
    if (blocks < 1) blocks = 1;
    const uint64_t limit = 32ull * static_cast<uint64_t>(multiprocessors > 0 ? multiprocessors : 64);
    return static_cast<uint32_t>(blocks < limit ? blocks : limit);
}

// kGenerateGalaxy: particle first + i of the procedural galaxy at i, for every i < n (velocity may be
// null).
gpu::Error launchGenerateGalaxy(LaunchConfig cfg, TLV3* positions, TLUChar4* colors, TLV3* velocity, uint64_t first,
                                uint64_t n, uint32_t seed);

// kSplat: adds every sample of the n work items into the accumulator (four floats per pixel).
gpu::Error launchSplat(LaunchConfig cfg, const TLFrame& frame, const TLV3* positions, const TLUChar4* colors,
                       const TLV3* velocities, uint64_t n, float* accumulator);

// Readies what kSplat needs beyond its arguments for up to `workItems` work items on a width x height
// image (the CPU launcher's deposit bins), so that a process's first frame does not pay for it. Best
// effort: without memory the launch prepares what it needs itself.
void prepareSplat(uint64_t workItems, int32_t width, int32_t height);

// kResolve: one thread per pixel; image and imageFloat may each be null.
gpu::Error launchResolve(LaunchConfig cfg, const float* accumulator, TLUChar4* image, TLFloat4* imageFloat,
                         int32_t pixelCount, float exposure);

// kResolve's per-pixel code on sums in host memory (tlResolve), on the host's cores: bit for bit the
// images kResolve makes of the same sums. image and imageFloat may each be null.
void resolveOnHost(const float* sums, TLUChar4* image, TLFloat4* imageFloat, int32_t pixelCount, float exposure);

// kBounds: reduces count particles into the bounds record (seven floats) and the moments record
// (six doubles). Any grid covers every particle.
gpu::Error launchBounds(LaunchConfig cfg, const TLV3* positions, const TLV3* velocities, uint64_t count,
                        float* bounds, double* moments);

// kLightSplat: deposits every particle copy (frame.samples must be 1) into the shadow maps of the
// lights in vc.
gpu::Error launchLightSplat(LaunchConfig cfg, const LitConstants& vc, const TLFrame& frame,
                            const TLV3* positions, const TLV3* velocities, uint64_t n, float* shadowMaps);

// kPrefix: turns each of `columns` columns of `slices` floats, stored in rows of rowLength columns
// (kernels/deep_maps.h), into mid-slice running sums; writes each column's total into totals when it
// is non-null. columns is a whole number of rows.
gpu::Error launchPrefix(LaunchConfig cfg, float* data, uint64_t columns, int32_t slices, uint64_t rowLength,
                        float* totals);

// kCamSplat: deposits every camera sample's optical density into the camera depth map.
gpu::Error launchCamSplat(LaunchConfig cfg, const LitConstants& vc, const TLFrame& frame,
                          const TLV3* positions, const TLV3* velocities, uint64_t n, float* cameraDepth);

// kShade: shades every camera sample into the accumulator's R, G and B.
gpu::Error launchShade(LaunchConfig cfg, const LitConstants& vc, const TLFrame& frame, const TLV3* positions,
                       const TLUChar4* colors, const TLV3* velocities, uint64_t n, const float* shadowMaps,
                       const float* cameraDepth, float* accumulator);

// kResolveVol: one thread per pixel; image and imageFloat may each be null.
gpu::Error launchResolveVol(LaunchConfig cfg, const float* accumulator, const float* totalDepth, TLUChar4* image,
                            TLFloat4* imageFloat, int32_t pixelCount, float exposure);

}  // namespace tl
