// The per-sample pieces of the lighting path: slice positions and the column prefix (kPrefix), the
// footprints of shadow-map deposits, kLightSplat on the CPU runtime, and the shading terms (deposit
// weight, falloff, cone, phase, cube face, bilinear shadow lookup).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

#include "kernels/runtime.h"
#include "kernels/bounds.h"
#include "kernels/lit_shading.h"
#include "kernels/shadow_maps.h"
#include "kernels/launchers.h"
#include "lit/bounds_derivations.h"
#include "lit/constants_builder.h"

namespace {

using tl::ShadowView;
using tl::SlicePosition;

ShadowView squareView(int32_t n, int32_t s) {
    ShadowView v;
    std::memset(&v, 0, sizeof v);
    v.rowX[0] = 1.0f;
    v.rowY[1] = 1.0f;
    v.rowZ[2] = 1.0f;
    v.ortho = 1;
    v.scaleX = v.scaleY = 1.0f;
    v.resolution = n;
    v.slices = s;
    v.depthScale = 1.0f;
    return v;
}

float sum(const std::vector<float>& v) { return std::accumulate(v.begin(), v.end(), 0.0f); }

TEST(DeepMaps, SlicePositionClampsAndSplits) {
    SlicePosition p = tl::slicePosition(2.0f, 1.0f, 4);
    EXPECT_EQ(p.i, 1);
    EXPECT_EQ(p.f, 0.5f);
    p = tl::slicePosition(-3.0f, 1.0f, 4);
    EXPECT_EQ(p.i, 0);
    EXPECT_EQ(p.f, 0.0f);
    p = tl::slicePosition(1e30f, 1.0f, 4);
    EXPECT_EQ(p.i, 3);
    EXPECT_EQ(p.f, 0.0f);
    p = tl::slicePosition(std::nanf(""), 1.0f, 4);
    EXPECT_EQ(p.i, 0);
    EXPECT_EQ(p.f, 0.0f);
}

TEST(DeepMaps, PrefixGivesMidSliceSumsAndTotals) {
    std::vector<float> data = {1.0f, 2.0f, 3.0f, 4.0f, 0.0f, 0.0f};
    std::vector<float> totals(2, -1.0f);
    tl::launchPrefix(tl::LaunchConfig{1, 256}, data.data(), 2, 3, totals.data());
    EXPECT_EQ(data, (std::vector<float>{0.5f, 2.0f, 4.5f, 2.0f, 4.0f, 4.0f}));
    EXPECT_EQ(totals, (std::vector<float>{6.0f, 4.0f}));
    // Reading between slice middles interpolates the running sum.
    EXPECT_EQ(tl::readSlices(data.data(), SlicePosition{1, 0.5f}), 3.25f);

    std::vector<float> noTotals = {1.0f, 1.0f};
    tl::launchPrefix(tl::LaunchConfig{1, 256}, noTotals.data(), 1, 2, nullptr);
    EXPECT_EQ(noTotals, (std::vector<float>{0.5f, 1.5f}));

    std::fill(totals.begin(), totals.end(), 7.0f);
    tl::launchPrefix(tl::LaunchConfig{1, 256}, data.data(), 2, 0, totals.data());
    EXPECT_EQ(totals, (std::vector<float>{0.0f, 0.0f})) << "no slices: every total is 0";
}

class Footprint : public ::testing::Test {
protected:
    void setUp(int32_t n, int32_t s) {
        view = squareView(n, s);
        map.assign(static_cast<size_t>(n) * n * s, 0.0f);
    }
    float at(int32_t x, int32_t y, int32_t s) const {
        return map[(static_cast<size_t>(view.resolution) * y + x) * view.slices + s];
    }
    float texel(int32_t x, int32_t y) const {
        float t = 0.0f;
        for (int32_t s = 0; s < view.slices; ++s) t += at(x, y, s);
        return t;
    }
    int touchedTexels() const {
        int count = 0;
        for (int32_t y = 0; y < view.resolution; ++y)
            for (int32_t x = 0; x < view.resolution; ++x) count += texel(x, y) != 0.0f;
        return count;
    }
    ShadowView view;
    std::vector<float> map;
};

TEST_F(Footprint, UpToOneTexelGoesIntoOneTexelAndTwoSlices) {
    setUp(8, 4);
    tl::splatFootprint(map.data(), view, 3.7f, 2.2f, SlicePosition{1, 0.25f}, 0.8f);
    EXPECT_FLOAT_EQ(at(3, 2, 1), 0.6f);
    EXPECT_FLOAT_EQ(at(3, 2, 2), 0.2f);
    EXPECT_EQ(touchedTexels(), 1);
    EXPECT_FLOAT_EQ(sum(map), 0.8f);

    setUp(8, 4);
    tl::splatFootprint(map.data(), view, 0.0f, 7.99f, SlicePosition{0, 0.0f}, 1.0f);
    EXPECT_EQ(at(0, 7, 0), 1.0f) << "w exactly 1 still takes the single texel";
    EXPECT_EQ(touchedTexels(), 1);
}

TEST_F(Footprint, LargerDepositsSpreadOverASquare) {
    setUp(8, 4);
    tl::splatFootprint(map.data(), view, 3.7f, 2.2f, SlicePosition{0, 0.0f}, 1.01f);
    for (int32_t y : {1, 2})
        for (int32_t x : {3, 4}) EXPECT_FLOAT_EQ(texel(x, y), 1.01f / 4.0f) << x << "," << y;
    EXPECT_EQ(touchedTexels(), 4);

    setUp(32, 2);
    tl::splatFootprint(map.data(), view, 16.5f, 16.5f, SlicePosition{0, 0.5f}, 1000.0f);
    EXPECT_EQ(touchedTexels(), 225) << "ceil(sqrt(1000)) = 32 is capped at 15 x 15";
    for (int32_t i = 9; i < 24; ++i) {
        EXPECT_FLOAT_EQ(at(i, 9, 0), 1000.0f / 225.0f * 0.5f);
        EXPECT_FLOAT_EQ(at(23, i, 1), 1000.0f / 225.0f * 0.5f);
    }
    EXPECT_NEAR(sum(map), 1000.0f, 1e-2f);
}

TEST_F(Footprint, SquaresAreCutAtTheMapEdgeAndSharesOffTheMapAreLost) {
    setUp(8, 4);
    tl::splatFootprint(map.data(), view, 7.75f, 4.5f, SlicePosition{2, 0.0f}, 9.0f);
    EXPECT_EQ(touchedTexels(), 6) << "columns 6 and 7 kept, column 8 dropped";
    for (int32_t y = 3; y <= 5; ++y) {
        EXPECT_EQ(texel(6, y), 1.0f);
        EXPECT_EQ(texel(7, y), 1.0f);
    }
    EXPECT_EQ(sum(map), 6.0f);
}

TEST_F(Footprint, TheLastSliceTakesBothShares) {
    setUp(2, 4);
    const SlicePosition last = tl::slicePosition(100.0f, 1.0f, 4);
    tl::splatFootprint(map.data(), view, 0.5f, 0.5f, last, 0.5f);
    EXPECT_EQ(at(0, 0, 3), 0.5f);
    EXPECT_EQ(at(1, 0, 0), 0.0f) << "nothing spills into the next column";
    EXPECT_EQ(sum(map), 0.5f);
}

TEST(LightSplat, OneParticleUnderADirectionalLightFillsTheCentreTexel) {
    const int32_t n = 16, s = 8;
    const std::vector<TLV3> p = {{0.0f, 0.0f, 0.0f}};
    TLFrame frame;
    std::memset(&frame, 0, sizeof frame);
    frame.samples = 1;
    tl::BoundsRecord b{{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, 0.0f};
    const tl::Box box = tl::paddedBox(b, 1, frame);

    TLCamera camera;
    std::memset(&camera, 0, sizeof camera);
    camera.eye.z = 5.0f;
    TLRenderSettings settings;
    std::memset(&settings, 0, sizeof settings);
    settings.shadowMapSize = n;
    settings.shadowSlices = s;
    TLLight sun;
    std::memset(&sun, 0, sizeof sun);
    sun.kind = TL_LIGHT_DIRECTIONAL;
    sun.direction[2] = -1.0f;
    sun.castShadows = 1;
    tl::LitConstants vc;
    std::memset(&vc, 0, sizeof vc);
    const uint64_t m = tl::buildLitConstants(&camera, &settings, &frame, &sun, 1, box.lo, box.hi, 1e-8f, &vc);
    ASSERT_EQ(m, static_cast<uint64_t>(n * n * s));

    std::vector<float> maps(m, 0.0f);
    tl::launchLightSplat(tl::LaunchConfig{1, 256}, vc, frame, p.data(), nullptr, 1, maps.data());
    const float w = vc.copyCrossSection / vc.shadowViews[0].texelArea;
    ASSERT_LT(w, 1.0f);
    const float* column = maps.data() + (static_cast<size_t>(n) * (n / 2) + n / 2) * s;
    EXPECT_NEAR(column[s / 2 - 1], w / 2, w * 1e-5f);
    EXPECT_NEAR(column[s / 2], w / 2, w * 1e-5f);
    EXPECT_NEAR(sum(maps), w, w * 1e-6f) << "nothing outside the centre texel";

    tl::launchPrefix(tl::LaunchConfig{1, 256}, maps.data(), static_cast<uint64_t>(n) * n, s, nullptr);
    EXPECT_EQ(column[0], 0.0f);
    EXPECT_NEAR(column[s / 2 - 1], w / 4, w * 1e-5f);
    EXPECT_NEAR(column[s / 2], 3 * w / 4, w * 1e-5f);
    EXPECT_NEAR(column[s - 1], w, w * 1e-5f);
}

TEST(LightSplat, PointLightCopiesLandInTheirCubeFace) {
    const int32_t n = 16, s = 4;
    const std::vector<TLV3> p = {{2.0f, 0.3f, 0.1f}, {0.2f, 0.0f, -2.0f}, {0.0f, 0.0f, 0.0f}};
    TLFrame frame;
    std::memset(&frame, 0, sizeof frame);
    frame.samples = 1;
    const tl::Box box{{-2.0f, -2.0f, -2.0f}, {2.0f, 2.0f, 2.0f}};
    TLCamera camera;
    std::memset(&camera, 0, sizeof camera);
    TLRenderSettings settings;
    std::memset(&settings, 0, sizeof settings);
    settings.shadowMapSize = n;
    settings.shadowSlices = s;
    TLLight bulb;
    std::memset(&bulb, 0, sizeof bulb);
    bulb.castShadows = 1;
    tl::LitConstants vc;
    std::memset(&vc, 0, sizeof vc);
    const uint64_t m = tl::buildLitConstants(&camera, &settings, &frame, &bulb, 1, box.lo, box.hi, 1e-3f, &vc);
    ASSERT_EQ(vc.shadowViewCount, 6);
    std::vector<float> maps(m, 0.0f);
    tl::launchLightSplat(tl::LaunchConfig{1, 256}, vc, frame, p.data(), nullptr, p.size(), maps.data());
    const size_t perView = static_cast<size_t>(n) * n * s;
    for (size_t face = 0; face < 6; ++face) {
        const float total = std::accumulate(maps.begin() + face * perView, maps.begin() + (face + 1) * perView, 0.0f);
        if (face == 0 || face == 5) EXPECT_GT(total, 0.0f) << "face " << face;
        else EXPECT_EQ(total, 0.0f) << "face " << face << "; the copy on the light itself is behind every near plane";
    }
}

// For each cube face, a blob between the light and a probe shadows the probe in that face's map, and
// the probe on the opposite side stays unshadowed: deposit and lookup agree on every face.
TEST(LightSplat, EveryCubeFaceShadowsWhatLiesBehindItsOccluder) {
    const float dirs[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    for (int face = 0; face < 6; ++face) {
        const TLV3 d{dirs[face][0], dirs[face][1], dirs[face][2]};
        // A 5 x 5 sheet across the face's axis at distance 0.5 from the light.
        const int axis = face / 2, e1 = (axis + 1) % 3, e2 = (axis + 2) % 3;
        std::vector<TLV3> p;
        for (int i = -2; i <= 2; ++i)
            for (int j = -2; j <= 2; ++j) {
                float q[3];
                q[axis] = 0.5f * dirs[face][axis];
                q[e1] = 0.02f * i;
                q[e2] = 0.02f * j;
                p.push_back(TLV3{q[0], q[1], q[2]});
            }
        TLFrame frame;
        std::memset(&frame, 0, sizeof frame);
        frame.samples = 1;
        const tl::Box box{{-1.5f, -1.5f, -1.5f}, {1.5f, 1.5f, 1.5f}};
        TLCamera camera;
        std::memset(&camera, 0, sizeof camera);
        TLRenderSettings settings;
        std::memset(&settings, 0, sizeof settings);
        settings.shadowMapSize = 32;
        settings.shadowSlices = 16;
        TLLight bulb;
        std::memset(&bulb, 0, sizeof bulb);
        bulb.castShadows = 1;
        tl::LitConstants vc;
        std::memset(&vc, 0, sizeof vc);
        const uint64_t m = tl::buildLitConstants(&camera, &settings, &frame, &bulb, 1, box.lo, box.hi, 1e-3f, &vc);
        std::vector<float> maps(m, 0.0f);
        tl::launchLightSplat(tl::LaunchConfig{1, 256}, vc, frame, p.data(), nullptr, p.size(), maps.data());
        for (int32_t v = 0; v < vc.shadowViewCount; ++v)
            tl::launchPrefix(tl::LaunchConfig{1, 256}, maps.data() + vc.shadowViews[v].mapOffset, 32u * 32u, 16,
                             nullptr);
        const TLV3 behind{d.x, d.y, d.z}, opposite{-d.x, -d.y, -d.z}, before{0.25f * d.x, 0.25f * d.y, 0.25f * d.z};
        const auto tau = [&](TLV3 q) {
            return tl::shadowDepth(vc.shadowViews[tl::shadowViewFor(vc.lights[0], q)], maps.data(), q);
        };
        EXPECT_EQ(tl::shadowViewFor(vc.lights[0], behind), face);
        EXPECT_GT(tau(behind), 1.0f) << "face " << face;
        EXPECT_EQ(tau(opposite), 0.0f) << "face " << face;
        EXPECT_EQ(tau(before), 0.0f) << "face " << face << ": nearer to the light than the occluder";
    }
}

TEST(LitShading, DepositWeightNeverNaN) {
    EXPECT_EQ(tl::depositWeight(0.0f, 0.0f), 0.0f) << "a panorama pole with density 0";
    EXPECT_EQ(tl::depositWeight(0.0f, 2.0f), 0.0f);
    EXPECT_EQ(tl::depositWeight(0.5f, 0.0f), 1.0f);
    EXPECT_EQ(tl::depositWeight(0.5f, 0.5f), 1.0f);
    EXPECT_EQ(tl::depositWeight(0.5f, 2.0f), 0.25f);
}

TEST(LitShading, FalloffTable) {
    EXPECT_EQ(tl::falloffAttenuation(1, 2.0f, 0.0f, 1.0f), 4.0f) << "not capped";
    EXPECT_EQ(tl::falloffAttenuation(2, 2.0f, 0.0f, 1.0f), 1.0f);
    EXPECT_EQ(tl::falloffAttenuation(1, 2.0f, 0.0f, 4.0f), 0.25f);
    EXPECT_EQ(tl::falloffAttenuation(2, 2.0f, 0.0f, 4.0f), 0.25f);
    EXPECT_FLOAT_EQ(tl::falloffAttenuation(1, 1.0f, 0.0f, 0.0f), 1e6f) << "r^2 is held at 1e-6";
    EXPECT_EQ(tl::falloffAttenuation(3, 2.0f, 0.0f, 1.0f), 2.0f);
    EXPECT_EQ(tl::falloffAttenuation(4, 2.0f, 0.0f, 1.0f), 1.0f);
    EXPECT_EQ(tl::falloffAttenuation(4, 2.0f, 0.0f, 8.0f), 0.25f);
    EXPECT_EQ(tl::falloffAttenuation(1, 0.0f, 0.0f, 3.0f), 1.0f) << "no range: no falloff";
    EXPECT_EQ(tl::falloffAttenuation(3, std::nanf(""), 0.0f, 3.0f), 1.0f);
    EXPECT_EQ(tl::falloffAttenuation(5, 3.0f, 1.0f, 1.0f), 1.0f);
    EXPECT_EQ(tl::falloffAttenuation(5, 3.0f, 1.0f, 3.0f), 0.0f);
    EXPECT_EQ(tl::falloffAttenuation(5, 3.0f, 1.0f, 2.5f), 0.25f);
    EXPECT_EQ(tl::falloffAttenuation(6, 3.0f, 0.0f, 3.0f), 1.0f);
    EXPECT_EQ(tl::falloffAttenuation(6, 3.0f, 0.0f, 3.01f), 0.0f);
    EXPECT_EQ(tl::falloffAttenuation(0, 3.0f, 0.0f, 100.0f), 1.0f);
    EXPECT_EQ(tl::falloffAttenuation(9, 3.0f, 0.0f, 100.0f), 1.0f);
}

TEST(LitShading, ConeSmoothstepAndHardEdge) {
    EXPECT_FLOAT_EQ(tl::coneFactor(0.7f, 0.9f, 0.5f), 0.5f);
    EXPECT_EQ(tl::coneFactor(0.5f, 0.9f, 0.5f), 0.0f);
    EXPECT_EQ(tl::coneFactor(0.2f, 0.9f, 0.5f), 0.0f);
    EXPECT_EQ(tl::coneFactor(0.9f, 0.9f, 0.5f), 1.0f);
    EXPECT_EQ(tl::coneFactor(1.0f, 0.9f, 0.5f), 1.0f);
    EXPECT_NEAR(tl::coneFactor(0.6f, 0.9f, 0.5f), 0.15625f, 1e-6f);  // x = 0.25: x^2 (3 - 2x)
    EXPECT_EQ(tl::coneFactor(0.8f, 0.8f, 0.8f), 1.0f);
    EXPECT_EQ(tl::coneFactor(0.7999f, 0.8f, 0.8f), 0.0f);
}

TEST(LitShading, PhaseFunction) {
    EXPECT_FLOAT_EQ(tl::phaseFactor(0.5f, -1.0f), 6.0f) << "looking into the light";
    EXPECT_NEAR(tl::phaseFactor(0.5f, 0.0f), 0.75f / std::pow(1.25f, 1.5f), 1e-6f);
    EXPECT_NEAR(tl::phaseFactor(0.5f, 0.0f), 0.537f, 5e-4f);
    EXPECT_NEAR(tl::phaseFactor(0.5f, 1.0f), 2.0f / 9.0f, 1e-6f);
    EXPECT_FLOAT_EQ(tl::phaseFactor(-0.5f, 1.0f), 6.0f);
    EXPECT_EQ(tl::phaseFactor(0.0f, 0.3f), 1.0f);
    EXPECT_EQ(tl::phaseFactor(5e-5f, -1.0f), 1.0f);
}

TEST(LitShading, CubeFaces) {
    EXPECT_EQ(tl::cubeFace(2.0f, 1.0f, -1.0f), 0);
    EXPECT_EQ(tl::cubeFace(-2.0f, 1.0f, 1.0f), 1);
    EXPECT_EQ(tl::cubeFace(1.0f, 3.0f, 2.0f), 2);
    EXPECT_EQ(tl::cubeFace(1.0f, -3.0f, 2.0f), 3);
    EXPECT_EQ(tl::cubeFace(0.5f, 0.5f, 1.0f), 4);
    EXPECT_EQ(tl::cubeFace(0.5f, 0.5f, -1.0f), 5);
    EXPECT_EQ(tl::cubeFace(1.0f, 1.0f, 1.0f), 0) << "x wins ties";
    EXPECT_EQ(tl::cubeFace(0.0f, -1.0f, 1.0f), 3) << "y wins ties with z";
    EXPECT_EQ(tl::cubeFace(std::nanf(""), 1.0f, 1.0f), 1);
}

TEST(ResolveVol, ToneCurveCoverageAndBytes) {
    const float ln2 = 0.6931472f;
    const std::vector<float> acc = {0, 0, 0, 0, ln2, ln2, 0, 0, 0, 0, 0, 0, 1e6f, 1e6f, 1e6f, 0};
    const std::vector<float> depth = {0.0f, 0.0f, 1.0f, 3.0f};
    std::vector<TLFloat4> f(4, TLFloat4{-1, -1, -1, -1});
    std::vector<TLUChar4> b(4, TLUChar4{1, 1, 1, 1});
    tl::launchResolveVol(tl::LaunchConfig{1, 256}, acc.data(), depth.data(), b.data(), f.data(), 4, 1.0f);
    EXPECT_EQ(f[0].x + f[0].y + f[0].z + f[0].w, 0.0f) << "a pixel no sample reached is transparent black";
    EXPECT_EQ(b[0].x + b[0].y + b[0].z, 0);
    EXPECT_EQ(b[0].w, 255);
    EXPECT_NEAR(f[1].x, 0.5f, 1e-6f);
    EXPECT_EQ(f[1].z, 0.0f);
    EXPECT_EQ(f[1].w, 0.0f) << "coverage comes from the optical depth alone";
    EXPECT_EQ(b[1].x, 186);
    EXPECT_EQ(b[1].w, 255);
    EXPECT_NEAR(f[2].w, 1.0f - std::exp(-1.0f), 1e-6f) << "coverage without colour";
    EXPECT_EQ(b[2].x, 0);
    EXPECT_EQ(f[3].x, 1.0f);
    EXPECT_EQ(b[3].y, 255);

    // Exposure scales the colours only.
    tl::launchResolveVol(tl::LaunchConfig{1, 256}, acc.data(), depth.data(), b.data(), f.data(), 4, 0.0f);
    EXPECT_EQ(f[3].x, 0.0f);
    EXPECT_NEAR(f[3].w, 1.0f - std::exp(-3.0f), 1e-6f);
    // No outputs: nothing is written.
    tl::launchResolveVol(tl::LaunchConfig{1, 256}, acc.data(), depth.data(), nullptr, nullptr, 4, 1.0f);
}

// A 4 x 4 map, two slices, texel (x, y) holding 10 y + x in slice 0 and 100 + 10 y + x in slice 1.
class ShadowLookup : public ::testing::Test {
protected:
    void SetUp() override {
        view = squareView(4, 2);
        view.depthOrigin = 0.0f;
        map.assign(4 * 4 * 2, 0.0f);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
                map[(4 * y + x) * 2] = static_cast<float>(10 * y + x);
                map[(4 * y + x) * 2 + 1] = static_cast<float>(100 + 10 * y + x);
            }
    }
    // World point at texel position (tx, ty) and light depth z.
    static TLV3 at(float tx, float ty, float z) { return TLV3{tx / 2.0f - 1.0f, 1.0f - ty / 2.0f, z}; }
    float lookup(float tx, float ty, float z = 0.5f) const { return tl::shadowDepth(view, map.data(), at(tx, ty, z)); }
    ShadowView view;
    std::vector<float> map;
};

TEST_F(ShadowLookup, TexelCentresReadOneTexel) {
    EXPECT_EQ(lookup(2.5f, 1.5f), 12.0f);
    EXPECT_EQ(lookup(0.5f, 3.5f), 30.0f);
}

TEST_F(ShadowLookup, BilinearBetweenCentresAndClampedAtTheEdges) {
    EXPECT_EQ(lookup(2.0f, 1.5f), 11.5f);
    EXPECT_EQ(lookup(2.0f, 2.0f), 16.5f);
    EXPECT_FLOAT_EQ(lookup(3.9f, 1.5f), 13.0f) << "within half a texel of the edge: the edge texel twice";
    EXPECT_FLOAT_EQ(lookup(0.2f, 1.5f), 10.0f);
    EXPECT_EQ(lookup(2.5f, 1.5f, 1.0f), 62.0f) << "halfway to the second slice";
    EXPECT_EQ(lookup(2.5f, 1.5f, 9.0f), 112.0f) << "beyond the last slice";
}

TEST_F(ShadowLookup, OutsideTheViewIsUnshadowed) {
    EXPECT_EQ(lookup(4.0f, 1.5f), 0.0f);
    EXPECT_EQ(lookup(-0.1f, 1.5f), 0.0f);
    view.ortho = 0;
    view.near = 1.0f;
    EXPECT_EQ(lookup(2.5f, 1.5f, 0.5f), 0.0f) << "in front of a perspective view's near limit";
}

}  // namespace
