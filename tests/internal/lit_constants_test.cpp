// The lit constants as the host builds them: clamps, light and view limits, the
// map offsets, spot cones, light bases, the fit of the shadow views around the box and the slicing of
// the camera's depth range.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "kernels/shadow_maps.h"
#include "kernels/lit_constants.h"
#include "render/frame.h"
#include "lit/constants_builder.h"

namespace {

using tl::ShadowView;
using tl::LitConstants;

constexpr float kDeg = 3.14159265f / 180.0f;

TLLight light(int32_t kind, int32_t castShadows) {
    TLLight l;
    std::memset(&l, 0, sizeof l);
    l.kind = kind;
    l.direction[2] = -1.0f;
    l.color[0] = l.color[1] = l.color[2] = 1.0f;
    l.outerAngle = 60.0f;
    l.innerAngle = 30.0f;
    l.castShadows = castShadows;
    return l;
}

class LitConstantsTest : public ::testing::Test {
protected:
    LitConstantsTest() {
        std::memset(&camera, 0, sizeof camera);
        camera.eye = TLV3{0.0f, 0.0f, 5.0f};
        camera.up = TLV3{0.0f, 1.0f, 0.0f};
        camera.fovY = 60.0f;
        std::memset(&settings, 0, sizeof settings);
        settings.width = 64;
        settings.height = 48;
        settings.samples = 1;
        settings.lightingMode = 1;
        settings.shadowMapSize = 16;
        settings.shadowSlices = 4;
        settings.depthSlices = 8;
    }

    uint64_t build(const TLLight* lights, int32_t count, float crossSection = 1.0f) {
        frame = tl::buildFrame(camera, settings);
        std::memset(&vc, 0, sizeof vc);
        return tl::buildLitConstants(&camera, &settings, &frame, lights, count, lo, hi, crossSection, &vc);
    }

    TLCamera camera;
    TLRenderSettings settings;
    TLFrame frame;
    LitConstants vc;
    float lo[3] = {-1.0f, -2.0f, -0.5f};
    float hi[3] = {3.0f, 2.0f, 1.5f};
};

TEST_F(LitConstantsTest, MapSizeSliceAndDepthSliceClamps) {
    const TLLight sun = light(TL_LIGHT_DIRECTIONAL, 1);
    struct Case {
        int32_t mapSize, slices, depthSlices;
        int32_t n, s, depth;
    } cases[] = {{8, 1, 1, 512, 64, 32}, {9, 2, 2, 9, 2, 2}, {-5, 0, -1, 512, 64, 32}};
    for (const Case& c : cases) {
        settings.shadowMapSize = c.mapSize;
        settings.shadowSlices = c.slices;
        settings.depthSlices = c.depthSlices;
        const uint64_t m = build(&sun, 1);
        EXPECT_EQ(vc.shadowViews[0].resolution, c.n);
        EXPECT_EQ(vc.shadowViews[0].slices, c.s);
        EXPECT_EQ(vc.depthSlices, c.depth);
        EXPECT_EQ(m, static_cast<uint64_t>(c.s) * c.n * c.n);
    }
}

TEST_F(LitConstantsTest, EightLightsAndFortyEightViewsAtMost) {
    TLLight lights[10];
    for (int i = 0; i < 10; ++i) {
        lights[i] = light(0, 1);
        lights[i].color[0] = static_cast<float>(i);
    }
    const uint64_t m = build(lights, 10);
    const uint64_t perView = 4u * 16u * 16u;
    EXPECT_EQ(vc.lightCount, 8);
    EXPECT_EQ(vc.shadowViewCount, 48);
    EXPECT_EQ(m, 48u * perView);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(vc.lights[i].color[0], static_cast<float>(i)) << "lights keep their order";
        EXPECT_EQ(vc.lights[i].firstView, 6 * i);
        EXPECT_EQ(vc.lights[i].viewCount, 6);
    }
    for (int v = 0; v < 48; ++v) EXPECT_EQ(vc.shadowViews[v].mapOffset, v * perView) << "view " << v;
    // Nothing past the last filled record.
    const unsigned char* tail = reinterpret_cast<const unsigned char*>(&vc) + offsetof(LitConstants, reserved);
    EXPECT_EQ(tail[0] | tail[1] | tail[2] | tail[3], 0);
}

TEST_F(LitConstantsTest, NoLightsForCountsBelowOneAndForANullArray) {
    TLLight lights[2] = {light(0, 1), light(0, 1)};
    EXPECT_EQ(build(lights, 0), 0u);
    EXPECT_EQ(vc.lightCount, 0);
    EXPECT_EQ(build(lights, -3), 0u);
    EXPECT_EQ(vc.lightCount, 0);
    EXPECT_EQ(build(nullptr, 2), 0u);
    EXPECT_EQ(vc.lightCount, 0);
    EXPECT_EQ(vc.shadowViewCount, 0);
}

TEST_F(LitConstantsTest, ViewsFollowKindAndShadowFlag) {
    TLLight lights[4] = {light(TL_LIGHT_SPOT, 1), light(0, 0), light(TL_LIGHT_DIRECTIONAL, 1), light(7, 1)};
    const uint64_t m = build(lights, 4);
    EXPECT_EQ(vc.lights[0].firstView, 0);
    EXPECT_EQ(vc.lights[0].viewCount, 1);
    EXPECT_EQ(vc.lights[1].firstView, 1) << "a light without shadows still gets its record";
    EXPECT_EQ(vc.lights[1].viewCount, 0);
    EXPECT_EQ(vc.lights[2].firstView, 1);
    EXPECT_EQ(vc.lights[2].viewCount, 1);
    EXPECT_EQ(vc.lights[3].firstView, 2);
    EXPECT_EQ(vc.lights[3].viewCount, 6) << "unknown kinds are point lights";
    EXPECT_EQ(vc.shadowViewCount, 8);
    EXPECT_EQ(m, 8u * 4u * 16u * 16u);
    EXPECT_EQ(vc.shadowViews[0].ortho, 0);
    EXPECT_EQ(vc.shadowViews[1].ortho, 1);
    EXPECT_EQ(vc.shadowViews[1].logDepth, 0);
    EXPECT_EQ(vc.shadowViews[2].logDepth, 1);
}

TEST_F(LitConstantsTest, SpotConeAngles) {
    TLLight spot = light(TL_LIGHT_SPOT, 1);
    spot.outerAngle = 200.0f;  // clamped to 175: half-angle 87.5 degrees
    spot.innerAngle = 10.0f;
    build(&spot, 1);
    EXPECT_NEAR(vc.lights[0].cosOuter, std::cos(87.5f * kDeg), 1e-6f);
    EXPECT_FLOAT_EQ(vc.lights[0].cosInner, std::cos(5.0f * kDeg));
    // The view's half field of view: min(87.5 x 1.05, 85) degrees.
    EXPECT_NEAR(vc.shadowViews[0].scaleX, 1.0f / std::tan(85.0f * kDeg), 1e-6f);
    EXPECT_EQ(vc.shadowViews[0].scaleY, vc.shadowViews[0].scaleX);

    spot.outerAngle = 40.0f;
    spot.innerAngle = 60.0f;  // capped by the outer angle
    build(&spot, 1);
    EXPECT_EQ(vc.lights[0].cosInner, vc.lights[0].cosOuter);
    EXPECT_NEAR(vc.shadowViews[0].scaleX, 1.0f / std::tan(21.0f * kDeg), 1e-5f);

    spot.outerAngle = 0.0f;  // at least 0.1 degrees
    spot.innerAngle = -4.0f;
    build(&spot, 1);
    EXPECT_FLOAT_EQ(vc.lights[0].cosOuter, std::cos(0.05f * kDeg));
    EXPECT_EQ(vc.lights[0].cosInner, 1.0f);
}

TEST_F(LitConstantsTest, GlobalTermsAndCrossSections) {
    settings.jitterCount = 3;
    settings.samples = 4;
    settings.ambient = 0.25f;
    settings.baseLight[0] = 0.5f;
    settings.baseLight[2] = 2.0f;
    settings.anisotropy = 2.0f;
    build(nullptr, 0, 1.0f);
    EXPECT_EQ(vc.copyCrossSection, 0.25f);
    EXPECT_EQ(vc.sampleCrossSection, 0.0625f);
    EXPECT_EQ(vc.ambient, 0.25f);
    EXPECT_EQ(vc.baseLight[0], 0.5f);
    EXPECT_EQ(vc.baseLight[2], 2.0f);
    EXPECT_EQ(vc.anisotropy, 0.95f);
    EXPECT_EQ(vc.eye[2], 5.0f);
    settings.anisotropy = -3.0f;
    build(nullptr, 0, -1.0f);
    EXPECT_EQ(vc.anisotropy, -0.95f);
    EXPECT_EQ(vc.copyCrossSection, 0.0f) << "a negative cross-section deposits nothing";
    settings.anisotropy = std::numeric_limits<float>::quiet_NaN();
    build(nullptr, 0, std::numeric_limits<float>::quiet_NaN());
    EXPECT_FALSE(std::isnan(vc.anisotropy));
    EXPECT_EQ(vc.sampleCrossSection, 0.0f);
}

TEST(LightBasis, ReferenceAxisAndZeroDirection) {
    const tl::LightBasis fwd = tl::lightBasis(TLV3{0.0f, 0.0f, 1.0f});
    EXPECT_EQ(fwd.right.x, 1.0f);
    EXPECT_EQ(fwd.up.y, 1.0f);
    // Straight up: the reference axis becomes +X, so the basis stays finite and orthonormal.
    const tl::LightBasis upward = tl::lightBasis(TLV3{0.0f, 1.0f, 0.0f});
    EXPECT_EQ(upward.right.z, 1.0f);
    EXPECT_EQ(upward.up.x, 1.0f);
    const tl::LightBasis steep = tl::lightBasis(TLV3{0.0f, -0.96f, 0.28f});
    EXPECT_NEAR(steep.right.x * steep.right.x + steep.right.y * steep.right.y + steep.right.z * steep.right.z, 1.0f,
                1e-6f);
    EXPECT_NEAR(steep.right.x * steep.up.x + steep.right.y * steep.up.y + steep.right.z * steep.up.z, 0.0f, 1e-6f);
    const tl::LightBasis zero = tl::lightBasis(TLV3{0.0f, 0.0f, 0.0f});
    EXPECT_EQ(zero.right.x, 0.0f);
    EXPECT_EQ(zero.right.y, 0.0f);
    EXPECT_EQ(zero.up.z, 0.0f);
}

TEST(BoxRange, ExtremesOverTheCorners) {
    const float lo[3] = {-1.0f, 0.0f, 2.0f}, hi[3] = {1.0f, 3.0f, 4.0f};
    const float row[4] = {2.0f, -1.0f, 0.5f, 10.0f};
    const tl::ValueRange r = tl::boxRange(lo, hi, row);
    EXPECT_EQ(r.min, 2.0f * -1.0f - 3.0f + 1.0f + 10.0f);
    EXPECT_EQ(r.max, 2.0f + 0.0f + 2.0f + 10.0f);
}

// Every corner of the box lands on the map and within the depth slices of every view.
TEST_F(LitConstantsTest, ViewsFitAroundTheBox) {
    TLLight lights[3] = {light(TL_LIGHT_DIRECTIONAL, 1), light(TL_LIGHT_SPOT, 1), light(0, 1)};
    lights[0].direction[0] = 0.3f;
    lights[0].direction[1] = -1.0f;
    lights[1].position[0] = 1.0f;
    lights[1].position[2] = 8.0f;
    lights[1].outerAngle = 120.0f;
    lights[2].position[0] = 1.0f;  // inside the box, off every corner's diagonal
    lights[2].position[1] = 0.1f;
    lights[2].position[2] = 0.3f;
    build(lights, 3);
    ASSERT_EQ(vc.shadowViewCount, 8);
    const float dirs[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    for (int f = 0; f < 6; ++f) {
        for (int a = 0; a < 3; ++a) EXPECT_EQ(vc.shadowViews[2 + f].rowZ[a], dirs[f][a]) << "face " << f;
        EXPECT_NEAR(vc.shadowViews[2 + f].scaleX, 1.0f, 1e-6f);
    }
    const ShadowView& sun = vc.shadowViews[0];
    EXPECT_EQ(sun.near, 0.0f);
    EXPECT_NEAR(sun.texelArea, (2.0f / sun.scaleX / 16.0f) * (2.0f / sun.scaleY / 16.0f), 1e-6f);
    const float diagonal = std::sqrt(16.0f + 16.0f + 4.0f);
    EXPECT_FLOAT_EQ(vc.shadowViews[1].near, diagonal * 0.001f);

    for (int c = 0; c < 8; ++c) {
        const TLV3 corner{(c & 1) ? hi[0] : lo[0], (c & 2) ? hi[1] : lo[1], (c & 4) ? hi[2] : lo[2]};
        for (int v : {0, 1}) {
            tl::LightTexel t;
            ASSERT_TRUE(tl::lightTexel(vc.shadowViews[v], corner, t)) << "view " << v << " corner " << c;
            const float depth = vc.shadowViews[v].logDepth
                                    ? std::log(t.z / vc.shadowViews[v].depthOrigin)
                                    : t.z - vc.shadowViews[v].depthOrigin;
            EXPECT_GE(depth * vc.shadowViews[v].depthScale, -1e-4f);
            EXPECT_LE(depth * vc.shadowViews[v].depthScale, 4.0001f);
        }
        const int face = tl::shadowViewFor(vc.lights[2], corner) - vc.lights[2].firstView;
        tl::LightTexel t;
        EXPECT_TRUE(tl::lightTexel(vc.shadowViews[2 + face], corner, t)) << "cube face " << face << " corner " << c;
    }
}

TEST_F(LitConstantsTest, PerspectiveDepthRange) {
    lo[0] = lo[1] = lo[2] = -1.0f;
    hi[0] = hi[1] = hi[2] = 1.0f;
    build(nullptr, 0);
    EXPECT_FLOAT_EQ(vc.depthNear, 4.0f);
    EXPECT_FLOAT_EQ(vc.depthScale, 8.0f / 2.0f);
    // A box around the camera starts at the near clip; one behind it keeps a positive extent.
    camera.eye = TLV3{0.0f, 0.0f, 0.5f};
    build(nullptr, 0);
    EXPECT_FLOAT_EQ(vc.depthNear, 0.01f);
    EXPECT_FLOAT_EQ(vc.depthScale, 8.0f / (1.5f - 0.01f));
    camera.eye = TLV3{0.0f, 0.0f, -5.0f};
    camera.target = TLV3{0.0f, 0.0f, -10.0f};
    build(nullptr, 0);
    EXPECT_FLOAT_EQ(vc.depthNear, 0.01f);
    EXPECT_NEAR(vc.depthScale, 8.0f / 0.001f, 1.0f);
}

TEST_F(LitConstantsTest, PanoramaDepthRangeIsTheDistanceFromTheEye) {
    lo[0] = lo[1] = lo[2] = -1.0f;
    hi[0] = hi[1] = hi[2] = 1.0f;
    camera.projection = 1;
    camera.eyeOffset = -0.1f;
    camera.nodalOffset = 0.05f;
    build(nullptr, 0);
    const float pad = 0.15f;
    const float farD = std::sqrt(1.0f + 1.0f + 36.0f) + pad;
    EXPECT_FLOAT_EQ(vc.depthNear, 4.0f - pad);
    EXPECT_NEAR(vc.depthScale, 8.0f / (farD - (4.0f - pad)), 1e-5f);
    camera.eye = TLV3{0.5f, 0.0f, 0.0f};  // inside the box
    build(nullptr, 0);
    EXPECT_FLOAT_EQ(vc.depthNear, 0.01f);
}

TEST_F(LitConstantsTest, MapSizeBeyondSixtyFourBitsSaturates) {
    settings.shadowMapSize = 1 << 30;
    settings.shadowSlices = 1 << 30;
    const TLLight sun = light(TL_LIGHT_DIRECTIONAL, 1);
    EXPECT_EQ(build(&sun, 1), std::numeric_limits<uint64_t>::max());
}

}  // namespace
