// The lighting path's pieces: kPrefix, footprints, kLightSplat, shading terms, the shadow lookup.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

#include "kernels/launchers.h"
#include "kernels/lit_shading.h"
#include "kernels/shadow_maps.h"
#include "lit/bounds_derivations.h"
#include "lit/constants_builder.h"

namespace {

using tl::ShadowView;
using tl::SlicePosition;

ShadowView squareView(int32_t n, int32_t s) {
    ShadowView v{};
    v.rowX[0] = v.rowY[1] = v.rowZ[2] = v.scaleX = v.scaleY = v.depthScale = 1.0f;
    v.ortho = 1, v.resolution = n, v.slices = s;
    return v;
}

float sum(const std::vector<float>& v) { return std::accumulate(v.begin(), v.end(), 0.0f); }

}  // namespace

// Up to a texel's worth goes into one texel and two slices; more over about w texels (<= 15 x 15), cut at the edge.
TEST(DeepMaps, FootprintsOfShadowDeposits) {
    struct Case { int32_t n, s; float tx, ty; SlicePosition slice; float w; int touched; float total; int32_t x, y, z; float value; } cases[] = {
        {8, 4, 3.7f, 2.2f, {1, 0.25f}, 0.8f, 1, 0.8f, 3, 2, 2, 0.2f},
        {8, 4, 0.0f, 7.99f, {0, 0.0f}, 1.0f, 1, 1.0f, 0, 7, 0, 1.0f},              // w exactly 1: one texel
        {8, 4, 3.7f, 2.2f, {0, 0.0f}, 1.01f, 4, 1.01f, 4, 1, 0, 1.01f / 4},       // texels 3-4 x 1-2
        {32, 2, 16.5f, 16.5f, {0, 0.5f}, 1000.0f, 225, 1000.0f, 23, 9, 1, 1000.0f / 450},  // 32 capped at 15
        {8, 4, 7.75f, 4.5f, {2, 0.0f}, 9.0f, 6, 6.0f, 6, 5, 2, 1.0f},              // column 8 is off the map
        {2, 4, 0.5f, 0.5f, tl::slicePosition(100.0f, 1.0f, 4), 0.5f, 1, 0.5f, 0, 0, 3, 0.5f},  // the last slice
    };
    for (const Case& c : cases) {
        const ShadowView view = squareView(c.n, c.s);
        std::vector<float> map(static_cast<size_t>(c.n) * c.n * c.s, 0.0f);
        tl::splatFootprint(map.data(), view, c.tx, c.ty, c.slice, c.w);
        int touched = 0;
        for (int32_t t = 0; t < c.n * c.n; ++t) {
            const tl::DeepColumn column = tl::texelColumn(map.data(), view, t % c.n, t / c.n);
            float columnSum = 0.0f;
            for (int32_t z = 0; z < c.s; ++z) columnSum += column[z];
            touched += columnSum != 0.0f;
        }
        SCOPED_TRACE(::testing::Message() << "w " << c.w << " at " << c.tx << "," << c.ty);
        EXPECT_TRUE(touched == c.touched && std::fabs(sum(map) - c.total) <= c.total * 1e-5f) << touched << " " << sum(map);
        // A probed entry, where rows of texels are stored slice by slice.
        EXPECT_FLOAT_EQ(map[(static_cast<size_t>(c.y) * c.s + c.z) * c.n + c.x], c.value);
    }
}

// kPrefix gives every column prefixColumn's bits, whether a map stores its columns whole or in rows of
// several columns slice by slice; an empty row stays empty, and a row length of 0 is refused.
TEST(DeepMaps, PrefixOfEveryColumnInEitherLayout) {
    constexpr int32_t kSlices = 5;
    for (const uint64_t rowLength : {uint64_t{1}, uint64_t{7}, uint64_t{1030}}) {
        const uint64_t columns = rowLength * 3;
        std::vector<float> map(columns * kSlices);
        for (size_t k = 0; k < map.size(); ++k) map[k] = k % 3 == 0 ? 0.0f : 0.37f * static_cast<float>(k % 101) + 1e-3f;
        for (uint64_t x = 0; x < rowLength * kSlices; ++x) map[rowLength * kSlices + x] = 0.0f;  // row 1 empty
        // A column of row 2, pinned: slices 2, 4, 0, 6, 8 give 1, 4, 6, 9, 16, and 20 in all.
        const uint64_t probe = 2 * rowLength + (rowLength - 1) / 2;
        const tl::DeepColumn pinned = tl::mapColumn(map.data(), probe, kSlices, rowLength);
        const float slices[kSlices] = {2, 4, 0, 6, 8};
        for (int32_t z = 0; z < kSlices; ++z) pinned[z] = slices[z];
        std::vector<float> expected = map, totals(columns, -1.0f), expectedTotals(columns);
        for (uint64_t c = 0; c < columns; ++c)
            expectedTotals[c] = tl::prefixColumn(tl::mapColumn(expected.data(), c, kSlices, rowLength), kSlices);
        ASSERT_EQ(tl::launchPrefix(tl::LaunchConfig{4, 256}, map.data(), columns, kSlices, rowLength, totals.data()),
                  tl::gpu::kSuccess);
        SCOPED_TRACE(::testing::Message() << "row length " << rowLength);
        EXPECT_EQ(std::memcmp(map.data(), expected.data(), map.size() * sizeof(float)), 0);
        EXPECT_EQ(std::memcmp(totals.data(), expectedTotals.data(), columns * sizeof(float)), 0);
        EXPECT_TRUE(pinned[0] == 1 && pinned[1] == 4 && pinned[2] == 6 && pinned[3] == 9 && pinned[4] == 16 &&
                    totals[probe] == 20);
    }
    float one = 1.0f;
    EXPECT_NE(tl::launchPrefix(tl::LaunchConfig{1, 256}, &one, 1, 1, 0, nullptr), tl::gpu::kSuccess);
}

// On each cube face a blob between the light and a probe shadows it; deposit and lookup agree on every face.
TEST(LightSplat, EveryCubeFaceShadowsWhatLiesBehindItsOccluder) {
    const float dirs[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    for (int face = 0; face < 6; ++face) {
        const TLV3 d{dirs[face][0], dirs[face][1], dirs[face][2]};
        std::vector<TLV3> p;  // a 5 x 5 sheet across the face's axis at distance 0.5 from the light
        for (int i = 0; i < 25; ++i) {
            float q[3];
            q[face / 2] = 0.5f * dirs[face][face / 2], q[(face / 2 + 1) % 3] = 0.02f * (i / 5 - 2);
            q[(face / 2 + 2) % 3] = 0.02f * (i % 5 - 2);
            p.push_back(TLV3{q[0], q[1], q[2]});
        }
        TLFrame frame{.samples = 1};
        const TLCamera camera{.eye = {0, 0, 5}};
        const TLRenderSettings settings{.shadowMapSize = 32, .shadowSlices = 16};
        const TLLight bulb{.castShadows = 1};
        tl::LitConstants vc{};
        const float lo[3] = {-1.5f, -1.5f, -1.5f}, hi[3] = {1.5f, 1.5f, 1.5f};
        const uint64_t m = tl::buildLitConstants(&camera, &settings, &frame, &bulb, 1, lo, hi, 1e-3f, &vc);
        std::vector<float> maps(m, 0.0f);
        tl::launchLightSplat(tl::LaunchConfig{1, 256}, vc, frame, p.data(), nullptr, p.size(), maps.data());
        tl::launchPrefix(tl::LaunchConfig{1, 256}, maps.data(), 6u * 32u * 32u, 16, 32u, nullptr);
        const auto tau = [&](float t) {
            const TLV3 q{t * d.x, t * d.y, t * d.z};
            return tl::shadowDepth(vc.shadowViews[tl::shadowViewFor(vc.lights[0], q)], maps.data(), q);
        };
        // Behind the occluder; on the opposite side; nearer to the light than the occluder.
        EXPECT_TRUE(tau(1.0f) > 1.0f && tau(-1.0f) == 0.0f && tau(0.25f) == 0.0f) << "face " << face;
    }
}

TEST(LitShading, Terms) {
    const float nan = std::nanf("");
    const float cases[][2] = {
        // Deposit weight: a panorama pole with density 0, a sample larger than the pixel, a share of it.
        {tl::depositWeight(0, 0), 0.0f}, {tl::depositWeight(0.5f, 0.5f), 1.0f}, {tl::depositWeight(0.5f, 2), 0.25f},
        // Falloff: inverse square, at r 0 (r^2 held at 1e-6), without a range; inverse, capped at 1;
        // linear from the inner range to the range, at and between them; a cut-off; an unknown mode.
        {tl::falloffAttenuation(1, 2, 0, 1), 4.0f}, {tl::falloffAttenuation(1, 1, 0, 0), 1e6f},
        {tl::falloffAttenuation(1, 0, 0, 3), 1.0f}, {tl::falloffAttenuation(4, 2, 0, 1), 1.0f},
        {tl::falloffAttenuation(5, 3, 1, 3), 0.0f}, {tl::falloffAttenuation(5, 3, 1, 2.5f), 0.25f},
        {tl::falloffAttenuation(6, 3, 0, 3.01f), 0.0f}, {tl::falloffAttenuation(9, 3, 0, 100), 1.0f},
        // Cone: halfway between the cones, x = 0.25 giving x^2 (3 - 2x); a hard edge, on it and just outside.
        {tl::coneFactor(0.7f, 0.9f, 0.5f), 0.5f}, {tl::coneFactor(0.6f, 0.9f, 0.5f), 0.15625f},
        {tl::coneFactor(0.8f, 0.8f, 0.8f), 1.0f}, {tl::coneFactor(0.7999f, 0.8f, 0.8f), 0.0f},
        // Phase: looking into the light, across it (0.75 / 1.25^1.5), isotropic below |g| 1e-4.
        {tl::phaseFactor(0.5f, -1), 6.0f}, {tl::phaseFactor(0.5f, 0), 0.5366563f}, {tl::phaseFactor(5e-5f, -1), 1.0f},
    };
    for (const auto& c : cases) EXPECT_NEAR(c[0], c[1], 1e-6f * std::fmax(1.0f, c[1])) << "row " << (&c - cases);
    // Cube faces +x, -x, +y, -y, +z, -z; x wins ties, y wins ties with z, a NaN x picks -x.
    const float faces[][4] = {{2, 1, -1, 0}, {-2, 1, 1, 1}, {1, 3, 2, 2}, {1, -3, 2, 3}, {0.5f, 0.5f, 1, 4},
                              {0.5f, 0.5f, -1, 5}, {1, 1, 1, 0}, {0, -1, 1, 3}, {nan, 1, 1, 1}};
    for (const auto& f : faces) EXPECT_EQ(tl::cubeFace(f[0], f[1], f[2]), f[3]) << f[0] << "," << f[1] << "," << f[2];
}

// A 4 x 4 map of two slices, texel (x, y) holding 10 y + x, 100 more in slice 1; rows: tx, ty, z, the depth read.
TEST(ShadowLookup, BilinearAcrossTexelsLinearAcrossSlicesZeroOutside) {
    ShadowView view = squareView(4, 2);
    std::vector<float> map(4 * 4 * 2);
    for (int t = 0; t < 16; ++t) {
        const tl::DeepColumn column = tl::texelColumn(map.data(), view, t % 4, t / 4);
        column[0] = 10.0f * (t / 4) + t % 4, column[1] = 100 + column[0];
    }
    const float cases[][4] = {{2.5f, 1.5f, 0.5f, 12}, {2.0f, 1.5f, 0.5f, 11.5f}, {2.0f, 2.0f, 0.5f, 16.5f},
                              {3.9f, 1.5f, 0.5f, 13}, {0.2f, 1.5f, 0.5f, 10}, {2.5f, 1.5f, 1.0f, 62},
                              {2.5f, 1.5f, 9.0f, 112}, {4.0f, 1.5f, 0.5f, 0}, {-0.1f, 1.5f, 0.5f, 0}};
    const auto lookup = [&](float tx, float ty, float z) {
        return tl::shadowDepth(view, map.data(), TLV3{tx / 2 - 1, 1 - ty / 2, z});
    };
    for (const auto& c : cases) EXPECT_FLOAT_EQ(lookup(c[0], c[1], c[2]), c[3]) << c[0] << "," << c[1] << "," << c[2];
    view.ortho = 0, view.near = 1.0f;
    EXPECT_EQ(lookup(2.5f, 1.5f, 0.5f), 0.0f) << "before a perspective view's near limit";
}
