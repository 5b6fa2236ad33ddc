// kBounds on the CPU runtime, its merge atomics, and the padded and core boxes derived from them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "kernels/bounds.h"
#include "kernels/launchers.h"
#include "lit/bounds_derivations.h"

namespace {

struct Reduced {
    tl::BoundsRecord bounds = tl::initialBounds();
    tl::MomentsRecord moments{};
    float* b() { return reinterpret_cast<float*>(&bounds); }
    double* m() { return reinterpret_cast<double*>(&moments); }
};

Reduced reduce(const std::vector<TLV3>& p, const std::vector<TLV3>* v = nullptr) {
    Reduced r;
    tl::launchBounds(tl::LaunchConfig{1024, 256}, p.data(), v ? v->data() : nullptr, p.size(), r.b(), r.m());
    return r;
}

TEST(Bounds, BoxSpeedAndMomentsAgreeWithHandSums) {
    const std::vector<TLV3> p = {{-3.0f, 2.0f, -0.5f}, {4.0f, -1.0f, -2.0f}, {1.0f, 5.0f, 7.0f}};
    const std::vector<TLV3> v = {{3.0f, 4.0f, 0.0f}, {0.0f, 0.0f, -1.0f}, {1.0f, 2.0f, 2.0f}};
    Reduced r = reduce(p, &v);
    const float box[7] = {-3, -1, -2, 4, 5, 7, 25};         // min, max, the largest squared speed
    const double moments[6] = {2, 6, 4.5, 26, 30, 53.25};  // sums, then sums of squares
    for (int k = 0; k < 7; ++k) EXPECT_EQ(r.b()[k], box[k]) << k;
    for (int k = 0; k < 6; ++k) EXPECT_EQ(r.m()[k], moments[k]) << k;
    EXPECT_EQ(reduce(p).bounds.speedSq, 0.0f) << "without velocities";
}

// A merged -0.0 neither replaces a negative minimum nor is lost against a negative maximum.
TEST(Bounds, NegativeZeroMergesAsAFloat) {
    Reduced r;
    tl::BoundsPartial a = tl::boundsStart(), b = tl::boundsStart();
    tl::boundsAdd(a, TLV3{-5.0f, 2.0f, -7.0f}, nullptr);
    tl::boundsAdd(a, TLV3{-4.0f, 3.0f, -6.0f}, nullptr);
    tl::boundsAdd(b, TLV3{-0.0f, -0.0f, -0.0f}, nullptr);
    for (const tl::BoundsPartial& part : {a, b}) tl::boundsMerge(part, r.b(), r.m());
    EXPECT_TRUE(r.bounds.min[0] == -5.0f && r.bounds.max[0] == 0.0f && r.bounds.max[1] == 3.0f);
    EXPECT_TRUE(r.bounds.min[1] == 0.0f && std::signbit(r.bounds.min[1])) << "-0.0 is below +2";
    EXPECT_EQ(r.bounds.max[2], 0.0f) << "-0.0 is above -6";
}

// Padding 0.001, 3 |sigma| with copies, half a shutter's travel (empty: -1 to 1); core: mean +- 2 sigma, clipped.
TEST(DerivedBoxes, PaddedBoxAndCoreBox) {
    const tl::BoundsRecord b{{1.0f, 2.0f, 3.0f}, {4.0f, 5.0f, 6.0f}, 4.0f};
    // count, copies, sigma, shutter; then the box along y (speed 2).
    const float cases[][6] = {{0, 0, 0, 0, -1.001f, 1.001f}, {10, 0, 5, 0, 1.999f, 5.001f}, {10, 2, 0.5f, 0, 0.499f, 6.501f},
                              {10, 2, -0.5f, 0, 0.499f, 6.501f}, {10, 0, 0, 3, -1.001f, 8.001f}};
    for (const auto& c : cases) {
        TLFrame f{};
        f.jitterCount = int32_t(c[1]), f.jitterSigma = c[2], f.samples = 1, f.shutter = c[3];
        const tl::Box box = tl::paddedBox(c[0] == 0 ? tl::initialBounds() : b, uint64_t(c[0]), f);
        EXPECT_TRUE(std::fabs(box.lo[1] - c[4]) < 1e-6f && std::fabs(box.hi[1] - c[5]) < 1e-6f) << &c - cases;
    }
    const tl::Box padded{{-0.5f, -0.5f, -0.5f}, {2.5f, 2.5f, 2.5f}};
    // x at 0 and 2: mean 1, sigma 1, clipped; y both at 0.5: no extent; z at 0 and 0.4.
    const tl::MomentsRecord m{{2.0, 1.0, 0.4}, {4.0, 0.5, 0.16}};
    const tl::Box core = tl::coreBox(m, 2, padded), one = tl::coreBox(m, 1, padded);
    EXPECT_TRUE(core.lo[0] == -0.5f && core.hi[0] == 2.5f && core.lo[1] == -0.5f && core.hi[1] == 2.5f);
    EXPECT_TRUE(std::fabs(core.lo[2] + 0.2f) < 1e-6f && std::fabs(core.hi[2] - 0.6f) < 1e-6f) << core.lo[2] << " " << core.hi[2];
    EXPECT_EQ(std::memcmp(&one, &padded, sizeof one), 0);
}

}  // namespace
