// The stateless integer hash behind every random number of the library. No random state is stored:
// each kernel regenerates a particle's draws from its index, copy, sample and seed.
#pragma once

#include "kernels/portable.h"

namespace tl {

// Step added to a hash state before each new draw.
constexpr uint32_t kGoldenStep = 0x9E3779B9u;

// 2^-24: the weight of the lowest of the 24 bits a uniform number takes from a state.
constexpr float kUniformScale = 5.9604645e-8f;

// The hash of an unsigned 32-bit word, or (in the CPU library's batches) of each lane of a vector
// of them.
template <class U>
TL_HD U hashBits(U x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

TL_HD uint32_t lowbias32(uint32_t x) { return hashBits(x); }

TL_HD uint32_t nextState(uint32_t s) { return hashBits(s + kGoldenStep); }

// Top 24 bits of a state as a float in [0, 1).
TL_HD float uniform(uint32_t s) { return static_cast<float>(s >> 8) * kUniformScale; }

}  // namespace tl
