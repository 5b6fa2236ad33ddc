// The cloud's bounds and moments (kBounds on the CPU runtime, its merge atomics) and what the host
// derives from them: the padded box, the core box and the particle cross-section.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/bounds.h"
#include "kernels/launchers.h"
#include "render/frame.h"
#include "lit/bounds_derivations.h"

namespace {

using tl::BoundsRecord;
using tl::Box;
using tl::MomentsRecord;

struct Reduced {
    BoundsRecord bounds;
    MomentsRecord moments;
};

Reduced reduce(const std::vector<TLV3>& positions, const std::vector<TLV3>* velocities = nullptr) {
    Reduced r;
    r.bounds = tl::initialBounds();
    std::memset(&r.moments, 0, sizeof r.moments);
    tl::launchBounds(tl::LaunchConfig{1024, 256}, positions.data(), velocities ? velocities->data() : nullptr,
                     positions.size(), reinterpret_cast<float*>(&r.bounds), reinterpret_cast<double*>(&r.moments));
    return r;
}

TLFrame frameWith(int32_t jitterCount, float jitterSigma, float shutter) {
    TLFrame f;
    std::memset(&f, 0, sizeof f);
    f.jitterCount = jitterCount;
    f.jitterSigma = jitterSigma;
    f.samples = 1;
    f.shutter = shutter;
    return f;
}

TEST(Bounds, BoxSpeedAndMomentsOverBothSigns) {
    const std::vector<TLV3> p = {{-3.0f, 2.0f, -0.5f}, {4.0f, -1.0f, -2.0f}, {1.0f, 5.0f, 7.0f}};
    const std::vector<TLV3> v = {{3.0f, 4.0f, 0.0f}, {0.0f, 0.0f, -1.0f}, {1.0f, 2.0f, 2.0f}};
    const Reduced r = reduce(p, &v);
    EXPECT_EQ(r.bounds.min[0], -3.0f);
    EXPECT_EQ(r.bounds.min[1], -1.0f);
    EXPECT_EQ(r.bounds.min[2], -2.0f);
    EXPECT_EQ(r.bounds.max[0], 4.0f);
    EXPECT_EQ(r.bounds.max[1], 5.0f);
    EXPECT_EQ(r.bounds.max[2], 7.0f);
    EXPECT_EQ(r.bounds.speedSq, 25.0f);
    EXPECT_EQ(r.moments.sum[0], 2.0);
    EXPECT_EQ(r.moments.sum[2], 4.5);
    EXPECT_EQ(r.moments.sumSq[1], 30.0);
    EXPECT_EQ(r.moments.sumSq[2], 53.25);
    // Without velocities the speed stays 0.
    EXPECT_EQ(reduce(p).bounds.speedSq, 0.0f);
}

TEST(Bounds, ManyParticlesAgreeWithASerialPass) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-50.0f, 20.0f);
    std::vector<TLV3> p(200003);
    for (TLV3& q : p) q = TLV3{u(rng), u(rng) * 0.5f, u(rng) - 100.0f};
    tl::BoundsPartial serial = tl::boundsStart();
    for (const TLV3& q : p) tl::boundsAdd(serial, q, nullptr);
    const Reduced r = reduce(p);
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(r.bounds.min[a], serial.min[a]) << "axis " << a;
        EXPECT_EQ(r.bounds.max[a], serial.max[a]) << "axis " << a;
        EXPECT_NEAR(r.moments.sum[a], serial.sum[a], std::fabs(serial.sum[a]) * 1e-12);
        EXPECT_NEAR(r.moments.sumSq[a], serial.sumSq[a], serial.sumSq[a] * 1e-12);
    }
}

// A merged -0.0 goes through the negative branch: it can neither replace a stored negative minimum
// nor be lost against a stored negative maximum.
TEST(Bounds, NegativeZeroMergesAsAFloat) {
    BoundsRecord rec = tl::initialBounds();
    MomentsRecord mom;
    std::memset(&mom, 0, sizeof mom);
    tl::BoundsPartial a = tl::boundsStart(), b = tl::boundsStart();
    tl::boundsAdd(a, TLV3{-5.0f, 2.0f, -7.0f}, nullptr);
    tl::boundsAdd(a, TLV3{-4.0f, 3.0f, -6.0f}, nullptr);
    tl::boundsAdd(b, TLV3{-0.0f, -0.0f, -0.0f}, nullptr);
    tl::boundsMerge(a, reinterpret_cast<float*>(&rec), reinterpret_cast<double*>(&mom));
    tl::boundsMerge(b, reinterpret_cast<float*>(&rec), reinterpret_cast<double*>(&mom));
    EXPECT_EQ(rec.min[0], -5.0f);
    EXPECT_EQ(rec.max[0], 0.0f);
    EXPECT_EQ(rec.min[1], 0.0f);
    EXPECT_TRUE(std::signbit(rec.min[1])) << "-0.0 is below +2";
    EXPECT_EQ(rec.max[1], 3.0f);
    EXPECT_EQ(rec.max[2], 0.0f) << "-0.0 is above -6";

    float field = 1.0f;
    tl::atomicMaxF(&field, -0.0f);
    EXPECT_EQ(field, 1.0f);
    tl::atomicMinF(&field, -2.5f);
    EXPECT_EQ(field, -2.5f);
    tl::atomicMinF(&field, -2.0f);
    EXPECT_EQ(field, -2.5f);
    tl::atomicMaxF(&field, 0.0f);
    EXPECT_EQ(field, 0.0f);
    EXPECT_FALSE(std::signbit(field));
}

TEST(PaddedBox, EmptyCloudJitterAndMotionBlur) {
    BoundsRecord b = tl::initialBounds();
    Box box = tl::paddedBox(b, 0, frameWith(0, 0.0f, 0.0f));
    EXPECT_FLOAT_EQ(box.lo[0], -1.001f);
    EXPECT_FLOAT_EQ(box.hi[2], 1.001f);

    b = BoundsRecord{{1.0f, 2.0f, 3.0f}, {4.0f, 5.0f, 6.0f}, 4.0f};
    box = tl::paddedBox(b, 10, frameWith(0, 5.0f, 0.0f));
    EXPECT_FLOAT_EQ(box.lo[0], 0.999f) << "no copies, no jitter padding; no shutter, no blur padding";
    EXPECT_FLOAT_EQ(box.hi[1], 5.001f);
    box = tl::paddedBox(b, 10, frameWith(2, 0.5f, 0.0f));
    EXPECT_FLOAT_EQ(box.lo[1], 2.0f - 1.501f);
    box = tl::paddedBox(b, 10, frameWith(2, -0.5f, 0.0f));
    EXPECT_FLOAT_EQ(box.lo[1], 2.0f - 1.501f) << "the jitter's spread does not depend on sigma's sign";
    box = tl::paddedBox(b, 10, frameWith(0, 0.0f, 3.0f));
    EXPECT_FLOAT_EQ(box.hi[2], 6.0f + 3.001f) << "speed 2 over half the shutter";
}

TEST(CoreBox, MomentsNeedTwoParticlesAndAnExtent) {
    const Box padded{{-0.5f, -0.5f, -0.5f}, {2.5f, 2.5f, 2.5f}};
    MomentsRecord m;
    std::memset(&m, 0, sizeof m);
    m.sum[0] = 1.0;
    m.sumSq[0] = 1.0;
    Box core = tl::coreBox(m, 1, padded);
    EXPECT_EQ(core.lo[0], -0.5f);
    EXPECT_EQ(core.hi[0], 2.5f);

    // Particles at x = 0 and 2: mean 1, sigma 1; y: both at 0.5 (variance 0); z: 0 and 0.4.
    m.sum[0] = 2.0, m.sumSq[0] = 4.0;
    m.sum[1] = 1.0, m.sumSq[1] = 0.5;
    m.sum[2] = 0.4, m.sumSq[2] = 0.16;
    core = tl::coreBox(m, 2, padded);
    EXPECT_EQ(core.lo[0], -0.5f) << "-1 to 3, clipped to the padded box";
    EXPECT_EQ(core.hi[0], 2.5f);
    EXPECT_EQ(core.lo[1], -0.5f) << "no extent: back to the padded box";
    EXPECT_EQ(core.hi[1], 2.5f);
    EXPECT_FLOAT_EQ(core.lo[2], -0.2f);
    EXPECT_FLOAT_EQ(core.hi[2], 0.6f);
}

TEST(CoreBox, OneParticleAndOnePointFallBackToThePaddedBox) {
    const std::vector<TLV3> one = {{2.0f, -1.0f, 0.5f}};
    for (size_t n : {size_t{1}, size_t{5000}}) {
        const std::vector<TLV3> p(n, one[0]);
        const Reduced r = reduce(p);
        const Box padded = tl::paddedBox(r.bounds, n, frameWith(0, 0.0f, 0.0f));
        const Box core = tl::coreBox(r.moments, n, padded);
        for (int a = 0; a < 3; ++a) {
            EXPECT_EQ(core.lo[a], padded.lo[a]) << n << " particles, axis " << a;
            EXPECT_EQ(core.hi[a], padded.hi[a]) << n << " particles, axis " << a;
        }
        EXPECT_FLOAT_EQ(padded.lo[0], 1.999f);
    }
}

TEST(ParticleCrossSection, QuarterSurfaceTimesDensityPerParticle) {
    const Box core{{0.0f, 0.0f, 0.0f}, {2.0f, 3.0f, 4.0f}};
    // (4 x 2 + 4 x 3 + 3 x 2) / 2 = 13, times density 2, over 13 particles.
    EXPECT_FLOAT_EQ(tl::particleCrossSection(core, 13, 2.0f), 2.0f);
    EXPECT_EQ(tl::particleCrossSection(core, 0, 2.0f), 0.0f);
    EXPECT_EQ(tl::particleCrossSection(core, 13, 0.0f), 0.0f);
    EXPECT_EQ(tl::particleCrossSection(core, 13, -1.0f), 0.0f);
    EXPECT_EQ(tl::particleCrossSection(core, 13, std::nanf("")), 0.0f);
    const Box flat{{0.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 0.0f}};
    EXPECT_FLOAT_EQ(tl::particleCrossSection(flat, 1, 1.0f), (0.001f + 0.001f + 1.0f) * 0.5f);
}

}  // namespace
