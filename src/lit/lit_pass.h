// The lit pass of tlRender's lighting path: measures the cloud, builds the frame's lit constants,
// builds the shadow maps and the camera depth map, and shades every sample into the accumulator. It
// leaves the lit colour sums in the accumulator and each pixel's optical depth in totalDepth for the
// lit resolve.
#pragma once

#include "kernels/device_buffer.h"
#include "kernels/frame.h"
#include "kernels/launchers.h"
#include "taluna.h"

namespace tl {

// The lighting path's device buffers, kept by a context between frames: the bounds and moments
// records (allocated once), and the shadow and camera depth maps (grow-only).
struct LitBuffers {
    DeviceBuffer<float> bounds;    // the 28-byte bounds record, in 32 bytes
    DeviceBuffer<double> moments;  // the 48-byte moments record
    DeviceBuffer<float> shadowMaps;
    DeviceBuffer<float> cameraDepth;
};

// One lit frame's inputs. velocities is the array the frame uses, or null.
struct LitFrame {
    const TLCamera* camera;
    const TLRenderSettings* settings;
    const TLFrame* frame;
    const TLLight* lights;
    int32_t lightCount;
    ParticleArrays particles;
    float* accumulator;  // four floats per pixel
    float* totalDepth;   // one float per pixel
    int multiprocessors;
};

// All work is queued on the default stream; a failure stops the pass at once.
Status runLitPass(LitBuffers& buffers, const LitFrame& job);

}  // namespace tl
