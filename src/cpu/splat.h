// kSplat on the CPU runtime. The per-sample math is the GPU's (kernels/sampling.h, kernels/splat.h);
// what differs is how the work is walked and how the sums are made:
//  - the work items of one particle copy are visited together, so the copy jitter is computed once
//    per copy; without motion blur and lens every sample of a copy lands on the same pixel, so it is
//    projected once, and its share is still added once per sample;
//  - instead of atomic additions all over the image, each thread sorts its deposits into bands of
//    rows, and then each band is summed by one thread while it sits in that core's cache. The bands
//    take the deposits in a fixed order, so a frame gives the same bits on every run.
#pragma once

#include <cstdint>

#include "kernels/frame.h"
#include "taluna.h"

namespace tl {

enum class HostAccumulation {
    binned,  // deposits sorted into bands, each band summed by one thread (the launcher's choice)
    atomic,  // every thread adds atomically into the accumulator, as on the GPU
};

void hostSplat(const TLFrame& frame, const TLV3* positions, const TLUChar4* colors, const TLV3* velocities,
               uint64_t n, float* accumulator, HostAccumulation mode = HostAccumulation::binned);

}  // namespace tl
