// One sample of the plain path: what it adds to its pixel of the accumulator.
#pragma once

#include "kernels/sampling.h"

namespace tl {

struct SplatWeights {
    float r, g, b, a;
};

// The colour channels carry colorScale per unit of the 0..255 channel; alpha carries alphaScale per
// unit of the 0..1 alpha.
TL_HD SplatWeights splatWeights(const TLFrame& f, TLUChar4 c) {
    SplatWeights w;
    w.r = f.colorScale * static_cast<float>(c.x);
    w.g = f.colorScale * static_cast<float>(c.y);
    w.b = f.colorScale * static_cast<float>(c.z);
    w.a = (static_cast<float>(c.w) * 0.003921569f) * f.alphaScale;
    return w;
}

// A particle colour as one 4-byte read (through the read-only path on the GPU).
TL_HD TLUChar4 loadColor(const TLUChar4* colors, uint64_t i) {
#if defined(__CUDA_ARCH__)
    const uint32_t v = __ldg(reinterpret_cast<const unsigned int*>(colors) + i);
    return TLUChar4{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                    static_cast<uint8_t>(v >> 24)};
#else
    return colors[i];
#endif
}

// Work item w of kSplat: places and projects the sample and adds its weights atomically, channel by
// channel. A culled sample reads no colour and adds nothing.
TL_HD void splatWorkItem(const TLFrame& f, const TLV3* positions, const TLUChar4* colors, const TLV3* velocities,
                         uint64_t w, float* accumulator) {
    PlacedSample sample = placeSample(f, positions, velocities, w);
    CameraHit hit;
    if (!projectToCamera(f, sample.p, sample.s, hit)) return;
    const SplatWeights add = splatWeights(f, loadColor(colors, sample.i));
    float* a = accumulator + 4u * pixelIndex(f, hit);
    atomicAddF(a + 0, add.r);
    atomicAddF(a + 1, add.g);
    atomicAddF(a + 2, add.b);
    atomicAddF(a + 3, add.a);
}

}  // namespace tl
