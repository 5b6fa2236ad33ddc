// Host-side entry points of the lighting path's kernels (see kernels.h for the launch convention:
// each launcher is a real kernel launch in the CUDA library and an OpenMP loop over the same per-item
// code in the CPU library; errors surface through gpu::getLastError()).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/kernels.h"
#include "taluna.h"

struct TLFrame;

namespace tl {

struct VolumeConstants;

// kBounds: reduces count particles into the bounds record (seven floats) and the moments record
// (six doubles). Launched with a fixed grid; any grid covers every particle.
void launchBounds(LaunchConfig cfg, const TLV3* positions, const TLV3* velocities, uint64_t count, float* bounds,
                  double* moments);

// kLightSplat, kCamSplat and kShade take the frame's volume constants with the launch.

// kLightSplat: deposits every particle copy (frame.samples must be 1) into the shadow maps of the
// lights in vc.
void launchLightSplat(LaunchConfig cfg, const VolumeConstants& vc, const TLFrame& frame, const TLV3* positions,
                      const TLV3* velocities, uint64_t n, float* shadowMaps);

// kPrefix: turns each of `columns` columns of `slices` floats into mid-slice running sums; writes
// each column's total into totals when it is non-null.
void launchPrefix(LaunchConfig cfg, float* data, uint64_t columns, int32_t slices, float* totals);

// kCamSplat: deposits every camera sample's optical density into the camera depth map.
void launchCamSplat(LaunchConfig cfg, const VolumeConstants& vc, const TLFrame& frame, const TLV3* positions,
                    const TLV3* velocities, uint64_t n, float* cameraDepth);

// kShade: shades every camera sample into the accumulator's R, G and B.
void launchShade(LaunchConfig cfg, const VolumeConstants& vc, const TLFrame& frame, const TLV3* positions,
                 const TLUChar4* colors, const TLV3* velocities, uint64_t n, const float* shadowMaps,
                 const float* cameraDepth, float* accumulator);

// kResolveVol: one thread per pixel; image and imageFloat may each be null.
void launchResolveVol(LaunchConfig cfg, const float* accumulator, const float* totalDepth, TLUChar4* image,
                      TLFloat4* imageFloat, int32_t pixelCount, float exposure);

}  // namespace tl
