// kSplat on the CPU runtime. The per-sample math is the GPU's (kernels/splat.h); what differs is how
// the work is walked and where the sums go:
//  - the work items of one particle copy are visited together, so the copy jitter is computed once
//    per copy; without motion blur and lens every sample of a copy lands on the same pixel, so it is
//    projected once and its weights are still added once per sample;
//  - each thread adds into an accumulator of its own without atomics, and the private sums are added
//    into the real accumulator afterwards in thread order, which also makes the result repeatable.
//    When the private copies would take too much memory, or the work is too small to pay for
//    clearing and summing them, the threads share the accumulator with atomic additions.
#pragma once

#include <cstdint>

#include "render/frame.h"
#include "taluna.h"

namespace tl {

enum class HostAccumulation {
    automatic,  // per-thread copies when they pay off and fit, else atomics
    atomic,     // all threads add atomically into the accumulator
    perThread,  // per-thread copies (atomics only when they cannot be allocated)
};

void hostSplat(const TLFrame& frame, const TLV3* positions, const TLUChar4* colors, const TLV3* velocities,
               uint64_t n, float* accumulator, HostAccumulation mode = HostAccumulation::automatic);

}  // namespace tl
