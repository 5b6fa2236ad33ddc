// One particle of the procedural three-armed spiral galaxy: a pure function of the seed and the
// particle's 64-bit index, so any launch configuration and any cloud size give the same particle.
#pragma once

#include "kernels/hash.h"
#include "taluna.h"

namespace tl {

struct GalaxyParticle {
    TLV3 position;
    TLUChar4 color;
    TLV3 velocity;
};

// Start state of particle i's stream: both halves of the index are mixed in.
TL_HD uint32_t galaxyStartState(uint64_t i, uint32_t seed) {
    uint32_t lo = static_cast<uint32_t>(i);
    uint32_t hi = static_cast<uint32_t>(i >> 32);
    return lowbias32((lowbias32(seed ^ lo) ^ lowbias32(seed * 7919u + hi)) + kGoldenStep);
}

TL_HD GalaxyParticle galaxyParticle(uint64_t i, uint32_t seed) {
    uint32_t s = galaxyStartState(i, seed);
    float u[6];
    u[0] = uniform(s);
    for (int k = 1; k < 6; ++k) {
        s = nextState(s);
        u[k] = uniform(s);
    }
    const float R = 100.0f * powF(u[0], 1.7f);
    const float arm = static_cast<float>(floatToInt(u[1] * 3.0f));
    const float theta = fmaF(arm, 2.0943952f, R * 0.06f);
    const float m1 = sqrtF(-2.0f * logF(u[2] > 1e-7f ? u[2] : 1e-7f));
    float s1, c1;
    sinCosF(6.2831855f * u[3], &s1, &c1);
    const float gA = m1 * c1;
    const float gB = m1 * s1;
    const float m2 = sqrtF(-2.0f * logF(u[4] > 1e-7f ? u[4] : 1e-7f));
    const float gC = m2 * cosF(6.2831855f * u[5]);
    const float sigma = fmaF(R, 0.12f, 2.0f);
    float st, ct;
    sinCosF(theta, &st, &ct);

    GalaxyParticle p;
    p.position.x = fmaF(sigma, gA, R * ct);
    p.position.z = fmaF(sigma, gB, R * st);
    p.position.y = fmaF(expF(-0.08f * R), 6.0f, 1.5f) * gC;

    float t = R / 100.0f;
    if (t > 1.0f) t = 1.0f;
    p.color.x = static_cast<uint8_t>(floatToUint(255.0f * (1.0f - 0.55f * t)));
    p.color.y = static_cast<uint8_t>(floatToUint(255.0f * fmaF(t, -0.15f, 0.75f)));
    p.color.z = static_cast<uint8_t>(floatToUint(255.0f * (0.45f + 0.55f * t)));
    p.color.w = 255;

    p.velocity.x = -0.03f * p.position.z;
    p.velocity.y = 0.0f;
    p.velocity.z = 0.03f * p.position.x;
    return p;
}

// Work item i of kGenerateGalaxy: particle first + i of the galaxy, stored at i. The velocity array may
// be null.
TL_HD void storeGalaxyParticle(uint64_t i, uint64_t first, uint32_t seed, TLV3* positions, TLUChar4* colors,
                               TLV3* velocity) {
    const GalaxyParticle p = galaxyParticle(first + i, seed);
    positions[i] = p.position;
    colors[i] = p.color;
    if (velocity) velocity[i] = p.velocity;
}

}  // namespace tl
