// tlRender's frame: the plain path (splat and resolve) or the lighting path (the lit pass and the
// lit resolve), between the context's timing events, with the images downloaded to the caller.
#pragma once

#include <cstdint>

#include "kernels/device_buffer.h"
#include "kernels/launchers.h"
#include "taluna.h"
#include "lit/lit_pass.h"

namespace tl {

// The per-pixel buffers of a context. They follow the image size: an unchanged size reuses them,
// another one reallocates all four.
struct PixelBuffers {
    DeviceBuffer<float> accumulator;  // four floats per pixel
    DeviceBuffer<TLUChar4> image;
    DeviceBuffer<TLFloat4> imageFloat;
    DeviceBuffer<float> totalDepth;  // the lighting path's optical depth per pixel
    StagingBuffer staging;           // page-locked host memory the images are downloaded through
    int32_t width = 0;               // 0 x 0 before the first frame and after a failed allocation
    int32_t height = 0;
};

// Buffers for a width x height image: an unchanged size keeps them, another size reallocates all four.
// Frames call it; a large store calls it ahead of them, for the default image size.
Status ensurePixelBuffers(PixelBuffers& buffers, int32_t width, int32_t height);

// A frame request as tlRender receives it.
struct FrameRequest {
    const TLCamera* camera;
    const TLRenderSettings* settings;
    const TLLight* lights;
    int lightCount;
    TLUChar4* rgbaOut;
    TLFloat4* floatOut;
    float* msOut;
};

// What a context lends a frame: its device, particles (velocities null when none are valid), buffers
// and timing events.
struct FrameResources {
    int device;
    ParticleArrays particles;
    PixelBuffers& pixels;
    LitBuffers& lit;
    gpu::Event start;
    gpu::Event stop;
};

// The refusal of a request before any GPU work: null records, sizes below 1 x 1 or beyond 2^31 - 1
// pixels, or more work items than 64 bits count ("tlRender: invalid parameters").
Status checkFrameRequest(const FrameRequest& request, uint64_t particleCount);

// Renders a checked request on the current device.
Status renderFrame(const FrameRequest& request, FrameResources& resources);

// The images of sums in host memory (tlResolve), bit for bit those a frame with these sums gets.
void resolveSums(const TLFloat4* sums, TLUChar4* rgbaOut, TLFloat4* floatOut, int32_t pixelCount, float exposure);

// tlAccumulate's refusals before any GPU work: those of checkFrameRequest (under the function's own
// name), a null sums array, the lit path, and particle indices past 2^64 - 1.
Status checkAccumulation(const FrameRequest& request, uint64_t particleCount, uint64_t firstIndex,
                         const TLFloat4* sums);

// The plain path's sums of a checked request (its outputs unused), added into the caller's host
// array; the store's first particle is particle firstIndex of the whole cloud.
Status accumulateFrame(const FrameRequest& request, FrameResources& resources, uint64_t firstIndex,
                       TLFloat4* sums);

}  // namespace tl
