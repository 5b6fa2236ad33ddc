// buildFrame: clamps, defaults, the view rows and the two projections' words.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "render/frame.h"

namespace {

TLCamera lookingAtOrigin() {
    TLCamera c;
    std::memset(&c, 0, sizeof c);
    c.eye = TLV3{0.0f, 0.0f, 5.0f};
    c.up = TLV3{0.0f, 1.0f, 0.0f};
    c.fovY = 90.0f;
    return c;
}

TLRenderSettings settings(int width = 200, int height = 100) {
    TLRenderSettings s;
    std::memset(&s, 0, sizeof s);
    s.width = width;
    s.height = height;
    s.intensity = 2.0f;
    s.samples = 1;
    return s;
}

constexpr float kDeg = 0.017453292f;

}  // namespace

TEST(BuildFrame, SamplingClampsAndScales) {
    const TLCamera c = lookingAtOrigin();
    TLRenderSettings s = settings();
    for (int samples : {0, -5}) {
        s.samples = samples;
        const TLFrame f = tl::buildFrame(c, s);
        EXPECT_EQ(f.samples, 1);
        EXPECT_EQ(f.colorScale, 2.0f * 0.003921569f);
        EXPECT_EQ(f.alphaScale, 2.0f);
    }
    s.samples = 4;
    TLFrame f = tl::buildFrame(c, s);
    EXPECT_EQ(f.samples, 4);
    EXPECT_FLOAT_EQ(f.colorScale, 2.0f / 255.0f / 4.0f);
    EXPECT_EQ(f.alphaScale, 0.5f);

    s.jitterCount = -3;
    s.jitterSigma = -0.25f;  // copied unchanged
    s.shutter = -1.0f;
    s.seed = 0xDEADBEEFu;
    f = tl::buildFrame(c, s);
    EXPECT_EQ(f.jitterCount, 0);
    EXPECT_EQ(f.jitterSigma, -0.25f);
    EXPECT_EQ(f.shutter, 0.0f);
    EXPECT_EQ(f.seed, 0xDEADBEEFu);
    EXPECT_EQ(f.nearClip, 0.01f);

    s.shutter = std::numeric_limits<float>::quiet_NaN();
    s.jitterCount = 3;
    f = tl::buildFrame(c, s);
    EXPECT_EQ(f.shutter, 0.0f);
    EXPECT_EQ(f.jitterCount, 3);
    s.shutter = 0.5f;
    EXPECT_EQ(tl::buildFrame(c, s).shutter, 0.5f);
}

TEST(BuildFrame, DepthOfFieldNeedsFocusAndAperture) {
    TLCamera c = lookingAtOrigin();
    const TLRenderSettings s = settings();
    c.focusDistance = 0.0f;
    c.aperture = 1.0f;
    TLFrame f = tl::buildFrame(c, s);
    EXPECT_EQ(f.aperture, 0.0f);
    EXPECT_EQ(f.invFocus, 0.0f);

    c.focusDistance = 2.0f;
    c.aperture = 0.0f;
    f = tl::buildFrame(c, s);
    EXPECT_EQ(f.aperture, 0.0f);
    EXPECT_EQ(f.invFocus, 0.5f);

    c.aperture = 0.1f;
    f = tl::buildFrame(c, s);
    EXPECT_EQ(f.aperture, 0.1f);
    EXPECT_EQ(f.invFocus, 0.5f);

    c.focusDistance = -2.0f;
    f = tl::buildFrame(c, s);
    EXPECT_EQ(f.aperture, 0.0f);
    EXPECT_EQ(f.invFocus, 0.0f);
}

TEST(BuildFrame, ViewRowsAndProjectionScales) {
    const TLFrame f = tl::buildFrame(lookingAtOrigin(), settings(200, 100));
    const float x[4] = {1, 0, 0, 0}, y[4] = {0, 1, 0, 0}, z[4] = {0, 0, 1, -5};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(f.viewX[k], x[k]) << k;
        EXPECT_EQ(f.viewY[k], y[k]) << k;
        EXPECT_EQ(f.viewZ[k], z[k]) << k;
    }
    EXPECT_NEAR(f.scaleY, 1.0f, 1e-6f);
    EXPECT_NEAR(f.scaleX, 0.5f, 1e-6f);
    EXPECT_EQ(f.width, 200);
    EXPECT_EQ(f.height, 100);
    // Area of one pixel on the view plane at unit distance: (2 / 100) x (2 / 100).
    EXPECT_NEAR(f.pixelArea, 4e-4f, 1e-9f);

    // An off-axis camera: the rows stay orthonormal and put the eye at the view origin.
    TLCamera c = lookingAtOrigin();
    c.eye = TLV3{3.0f, 4.0f, -2.0f};
    c.target = TLV3{-1.0f, 0.5f, 7.0f};
    c.up = TLV3{0.2f, 3.0f, 0.1f};  // neither unit length nor orthogonal to the view direction
    const TLFrame g = tl::buildFrame(c, settings());
    const float* rows[3] = {g.viewX, g.viewY, g.viewZ};
    for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) {
            const float d = rows[a][0] * rows[b][0] + rows[a][1] * rows[b][1] + rows[a][2] * rows[b][2];
            EXPECT_NEAR(d, a == b ? 1.0f : 0.0f, 1e-5f) << a << "," << b;
        }
        EXPECT_NEAR(rows[a][0] * c.eye.x + rows[a][1] * c.eye.y + rows[a][2] * c.eye.z + rows[a][3], 0.0f, 1e-5f);
    }
    // The target lies straight ahead, at view z = -distance; up points up.
    const float zT = g.viewZ[0] * c.target.x + g.viewZ[1] * c.target.y + g.viewZ[2] * c.target.z + g.viewZ[3];
    EXPECT_NEAR(zT, -std::sqrt(16.0f + 12.25f + 81.0f), 1e-4f);
    EXPECT_GT(g.viewY[1], 0.0f);
}

TEST(BuildFrame, DegenerateCamerasGiveZeroRowsNotNaN) {
    TLCamera c = lookingAtOrigin();
    c.target = c.eye;
    TLFrame f = tl::buildFrame(c, settings());
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(f.viewX[k], 0.0f);
        EXPECT_EQ(f.viewY[k], 0.0f);
        EXPECT_EQ(f.viewZ[k], 0.0f);
    }
    c = lookingAtOrigin();
    c.up = TLV3{0.0f, 0.0f, -3.0f};  // parallel to the viewing direction
    f = tl::buildFrame(c, settings());
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(f.viewX[k], 0.0f);
        EXPECT_EQ(f.viewY[k], 0.0f);
    }
    EXPECT_EQ(f.viewZ[2], 1.0f);
}

TEST(BuildFrame, PerspectiveFrameLeavesPanoramaWordsAtDefaults) {
    TLCamera c = lookingAtOrigin();
    c.lonMin = 10.0f;
    c.lonMax = 50.0f;
    c.latMin = -20.0f;
    c.latMax = 20.0f;
    c.eyeOffset = 0.3f;
    c.convergence = 4.0f;
    c.nodalOffset = 0.1f;
    c.poleModeTop = 2;
    c.poleModeBottom = 1;
    c.poleAngleTop = 30.0f;
    c.poleAngleBottom = 30.0f;
    c.poleExponentTop = 3.0f;
    c.poleExponentBottom = 3.0f;
    for (int projection : {0, 2, -1}) {
        c.projection = projection;
        const TLFrame f = tl::buildFrame(c, settings());
        EXPECT_EQ(f.panorama, 0) << projection;
        const float zeros[] = {f.lonMin, f.lonSpan, f.latMax, f.latSpan, f.eyeOffset, f.convergence, f.nodalOffset,
                               f.poleAngle[0], f.poleAngle[1]};
        for (float z : zeros) EXPECT_EQ(z, 0.0f) << projection;
        EXPECT_EQ(f.poleMode[0], 0);
        EXPECT_EQ(f.poleMode[1], 0);
        EXPECT_EQ(f.poleExponent[0], 1.0f);
        EXPECT_EQ(f.poleExponent[1], 1.0f);
    }
}

TEST(BuildFrame, PanoramaRanges) {
    TLCamera c = lookingAtOrigin();
    c.projection = 1;
    c.latMin = -90.0f;
    c.latMax = 90.0f;
    struct Case {
        float lonMin, lonMax, expectLo, expectHi;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case lon[] = {{30, 30, -180, 180}, {30, 10, -180, 180}, {-200, 300, -200, 160},
                        {nan, 20, -180, 180}, {0, 90, 0, 90},     {-45, 45, -45, 45}};
    for (const Case& k : lon) {
        c.lonMin = k.lonMin;
        c.lonMax = k.lonMax;
        const TLFrame f = tl::buildFrame(c, settings(360, 180));
        EXPECT_EQ(f.panorama, 1);
        EXPECT_FLOAT_EQ(f.lonMin, k.expectLo * kDeg) << k.lonMin << " " << k.lonMax;
        EXPECT_FLOAT_EQ(f.lonSpan, (k.expectHi - k.expectLo) * kDeg) << k.lonMin << " " << k.lonMax;
    }

    c.lonMin = -180.0f;
    c.lonMax = 180.0f;
    const Case lat[] = {{-120, 100, -90, 90}, {40, 20, -90, 90}, {-30, 60, -30, 60}, {nan, 45, -90, 45}};
    for (const Case& k : lat) {
        c.latMin = k.lonMin;
        c.latMax = k.lonMax;
        const TLFrame f = tl::buildFrame(c, settings(360, 180));
        EXPECT_FLOAT_EQ(f.latMax, k.expectHi * kDeg) << k.lonMin << " " << k.lonMax;
        EXPECT_FLOAT_EQ(f.latSpan, (k.expectHi - k.expectLo) * kDeg) << k.lonMin << " " << k.lonMax;
        EXPECT_FLOAT_EQ(f.pixelArea, (f.lonSpan / 360.0f) * (f.latSpan / 180.0f));
    }
}

TEST(BuildFrame, PanoramaStereoWordsAndNoLens) {
    TLCamera c = lookingAtOrigin();
    c.projection = 1;
    c.focusDistance = 3.0f;
    c.aperture = 0.5f;
    c.eyeOffset = -0.032f;
    c.convergence = -2.0f;
    c.nodalOffset = 0.05f;
    c.poleModeTop = 1;
    c.poleModeBottom = 2;
    c.poleAngleTop = 30.0f;
    c.poleAngleBottom = 45.0f;
    c.poleExponentTop = 0.0f;  // copied; the projection treats 0 or less as 1
    c.poleExponentBottom = 2.5f;
    TLFrame f = tl::buildFrame(c, settings());
    EXPECT_EQ(f.aperture, 0.0f);
    EXPECT_EQ(f.invFocus, 0.0f);
    EXPECT_EQ(f.eyeOffset, -0.032f);
    EXPECT_EQ(f.convergence, 0.0f);
    EXPECT_EQ(f.nodalOffset, 0.05f);
    EXPECT_EQ(f.poleMode[0], 1);
    EXPECT_EQ(f.poleMode[1], 2);
    EXPECT_FLOAT_EQ(f.poleAngle[0], 30.0f * kDeg);
    EXPECT_FLOAT_EQ(f.poleAngle[1], 45.0f * kDeg);
    EXPECT_EQ(f.poleExponent[0], 0.0f);
    EXPECT_EQ(f.poleExponent[1], 2.5f);
    c.convergence = 2.0f;
    f = tl::buildFrame(c, settings());
    EXPECT_EQ(f.convergence, 2.0f);
}
