// The lit constants as the host builds them: counts, limits, map offsets, cross-sections, cones, depth range.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "kernels/lit_shading.h"
#include "render/frame.h"
#include "lit/constants_builder.h"

namespace {

constexpr float kDeg = 3.14159265f / 180.0f;

TLLight light(int32_t kind, int32_t castShadows) {
    return TLLight{.kind = kind, .direction = {0, 0, -1}, .outerAngle = 60, .innerAngle = 30, .castShadows = castShadows};
}

class LitConstantsTest : public ::testing::Test {
protected:
    uint64_t build(const TLLight* lights, int32_t count, float crossSection = 1.0f) {
        frame = tl::buildFrame(camera, settings);
        std::memset(&vc, 0, sizeof vc);
        return tl::buildLitConstants(&camera, &settings, &frame, lights, count, lo, hi, crossSection, &vc);
    }

    TLCamera camera{.eye = {0, 0, 5}, .up = {0, 1, 0}, .fovY = 60};
    TLRenderSettings settings{.width = 64, .height = 48, .samples = 1, .lightingMode = 1, .shadowMapSize = 16,
                              .shadowSlices = 4, .depthSlices = 8};
    TLFrame frame;
    tl::LitConstants vc;
    float lo[3] = {-1.0f, -2.0f, -0.5f}, hi[3] = {3.0f, 2.0f, 1.5f};
};

TEST_F(LitConstantsTest, LightsViewsAndContiguousMaps) {
    // At most 8 lights and 48 views, in order, each view's map right after the previous one.
    TLLight lights[10];
    for (int i = 0; i < 10; ++i) lights[i] = light(0, 1), lights[i].color[0] = static_cast<float>(i);
    const uint64_t perView = 4u * 16u * 16u;
    EXPECT_EQ(build(lights, 10), 48u * perView);
    EXPECT_TRUE(vc.lightCount == 8 && vc.shadowViewCount == 48);
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(vc.lights[i].color[0] == i && vc.lights[i].firstView == 6 * i && vc.lights[i].viewCount == 6) << i;
    for (int v = 0; v < 48; ++v) EXPECT_EQ(vc.shadowViews[v].mapOffset, v * perView) << "view " << v;

    // Views by kind and shadow flag: a spot and a sun one, a point light (or an unknown kind) six.
    TLLight mixed[4] = {light(TL_LIGHT_SPOT, 1), light(0, 0), light(TL_LIGHT_DIRECTIONAL, 1), light(7, 1)};
    EXPECT_EQ(build(mixed, 4), 8u * perView);
    const int32_t first[4] = {0, 1, 1, 2}, count[4] = {1, 0, 1, 6};
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(vc.lights[i].firstView == first[i] && vc.lights[i].viewCount == count[i]);

    // No lights for counts below one or a null array.
    for (int32_t n : {0, -3, 2})
        EXPECT_TRUE(build(n == 2 ? nullptr : mixed, n) == 0u && vc.lightCount == 0 && vc.shadowViewCount == 0) << n;
}

// A spot down -z lights points 2 away; its view reaches 5 % past the cone (<= 85 deg); inner <= outer <= 175.
TEST_F(LitConstantsTest, SpotConesLightWhatLiesInsideThem) {
    const struct { float outer, inner, angle; int lit; bool inView; } cases[] = {  // lit 1: fully, 0: dark, -1: partly
        {60, 30, 10, 1, true},  {60, 30, 29, -1, true},  {60, 30, 31, 0, true},  {60, 30, 32, 0, false},
        {200, 10, 4, 1, true},  {200, 10, 84, -1, true}, {200, 10, 86, -1, false}, {200, 10, 88, 0, false},
        {40, 60, 19.9f, 1, true}, {40, 60, 20.1f, 0, true},
    };
    for (const auto& c : cases) {
        TLLight spot = light(TL_LIGHT_SPOT, 1);
        spot.outerAngle = c.outer, spot.innerAngle = c.inner;
        const std::vector<float> maps(build(&spot, 1), 0.0f);
        const TLV3 p{2.0f * std::sin(c.angle * kDeg), 0.0f, -2.0f * std::cos(c.angle * kDeg)};
        tl::ViewDirection view;
        const float got = tl::lightTerm(vc, vc.lights[0], maps.data(), p, view).intensity;
        SCOPED_TRACE(::testing::Message() << c.outer << "/" << c.inner << " at " << c.angle);
        if (c.lit >= 0) EXPECT_EQ(got, static_cast<float>(c.lit));
        else EXPECT_TRUE(got > 0.0f && got < 1.0f) << got;
        tl::LightTexel t;
        EXPECT_EQ(tl::lightTexel(vc.shadowViews[0], p, t), c.inView);
    }
}

// Depth slices span the box: along the view from the near clip (perspective), by distance widened by offsets.
TEST_F(LitConstantsTest, CameraDepthRangeSpansTheBox) {
    const struct { int projection; TLV3 eye, target; float nearD, farD; } cases[] = {
        {0, {0, 0, 5}, {0, 0, 0}, 4.0f, 6.0f},         {0, {0, 0, 0.5f}, {0, 0, 0}, 0.01f, 1.5f},  // box around the camera
        {0, {0, 0, -5}, {0, 0, -10}, 0.01f, 0.011f},  // the box behind it
        {1, {0, 0, 5}, {0, 0, 0}, 3.85f, std::sqrt(38.0f) + 0.15f}, {1, {0.5f, 0, 0}, {0, 0, 0}, 0.01f, std::sqrt(4.25f) + 0.15f},
    };
    lo[0] = lo[1] = lo[2] = -1.0f, hi[0] = hi[1] = hi[2] = 1.0f;
    for (const auto& c : cases) {
        camera.projection = c.projection, camera.eye = c.eye, camera.target = c.target;
        camera.eyeOffset = -0.1f, camera.nodalOffset = 0.05f;
        build(nullptr, 0);
        EXPECT_FLOAT_EQ(vc.depthNear, c.nearD) << c.projection << ": " << c.eye.x << "," << c.eye.z;
        EXPECT_NEAR(vc.depthScale, 8.0f / (c.farD - c.nearD), 2e-4f * vc.depthScale) << c.projection << ": " << c.eye.z;
    }
}

}  // namespace
