// buildFrame: clamps, the view rows of any camera, degenerate cameras and the panorama's ranges.
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
const float kNaN = std::numeric_limits<float>::quiet_NaN();

}  // namespace

TEST(BuildFrame, SamplingClampsAndScales) {
    const TLCamera c = lookingAtOrigin();
    TLRenderSettings s = settings();
    s.samples = -5;
    s.jitterCount = -3;
    s.jitterSigma = -0.25f;  // copied unchanged
    s.shutter = kNaN;
    s.seed = 0xDEADBEEFu;
    TLFrame f = tl::buildFrame(c, s);
    EXPECT_TRUE(f.samples == 1 && f.jitterCount == 0 && f.shutter == 0.0f && f.jitterSigma == -0.25f);
    EXPECT_EQ(f.colorScale, 2.0f * 0.003921569f);

    s.samples = 4;  // quarters both scales
    s.jitterCount = 3;
    s.shutter = -1.0f;
    f = tl::buildFrame(c, s);
    EXPECT_FLOAT_EQ(f.colorScale, 2.0f / 255.0f / 4.0f);
    EXPECT_TRUE(f.alphaScale == 0.5f && f.jitterCount == 3 && f.shutter == 0.0f);
}

TEST(BuildFrame, DepthOfFieldNeedsFocusAndAperture) {
    struct Case {
        float focus, aperture, wantAperture, wantInvFocus;
    };
    const Case cases[] = {{0, 1, 0, 0}, {2, 0, 0, 0.5f}, {2, 0.1f, 0.1f, 0.5f}, {-2, 0.1f, 0, 0}, {kNaN, 1, 0, 0}};
    for (const Case& k : cases) {
        TLCamera c = lookingAtOrigin();
        c.focusDistance = k.focus;
        c.aperture = k.aperture;
        const TLFrame f = tl::buildFrame(c, settings());
        EXPECT_EQ(f.aperture, k.wantAperture) << k.focus << " " << k.aperture;
        EXPECT_EQ(f.invFocus, k.wantInvFocus) << k.focus << " " << k.aperture;
    }
}

TEST(BuildFrame, ViewRowsAndProjectionScales) {
    const TLFrame f = tl::buildFrame(lookingAtOrigin(), settings(200, 100));
    EXPECT_NEAR(f.scaleX, 0.5f, 1e-6f);
    EXPECT_NEAR(f.pixelArea, 4e-4f, 1e-9f);  // (2 / 100) x (2 / 100) on the view plane

    // An off-axis camera with a sloppy up hint: orthonormal rows, the eye at the view origin, the
    // target straight ahead.
    TLCamera c = lookingAtOrigin();
    c.eye = TLV3{3.0f, 4.0f, -2.0f};
    c.target = TLV3{-1.0f, 0.5f, 7.0f};
    c.up = TLV3{0.2f, 3.0f, 0.1f};
    const TLFrame g = tl::buildFrame(c, settings());
    const float* rows[3] = {g.viewX, g.viewY, g.viewZ};
    for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) {
            const float d = rows[a][0] * rows[b][0] + rows[a][1] * rows[b][1] + rows[a][2] * rows[b][2];
            EXPECT_NEAR(d, a == b ? 1.0f : 0.0f, 1e-5f) << a << "," << b;
        }
        EXPECT_NEAR(rows[a][0] * c.eye.x + rows[a][1] * c.eye.y + rows[a][2] * c.eye.z + rows[a][3], 0.0f, 1e-5f);
    }
    const float zT = g.viewZ[0] * c.target.x + g.viewZ[1] * c.target.y + g.viewZ[2] * c.target.z + g.viewZ[3];
    EXPECT_NEAR(zT, -std::sqrt(16.0f + 12.25f + 81.0f), 1e-4f);
    EXPECT_GT(g.viewY[1], 0.0f);

    // Degenerate cameras give zero rows, never NaN: an eye on its target, an up along the view.
    c = lookingAtOrigin();
    c.target = c.eye;
    const TLFrame same = tl::buildFrame(c, settings());
    c = lookingAtOrigin();
    c.up = TLV3{0.0f, 0.0f, -3.0f};
    const TLFrame parallel = tl::buildFrame(c, settings());
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(same.viewX[k], 0.0f);
        EXPECT_EQ(same.viewY[k], 0.0f);
        EXPECT_EQ(same.viewZ[k], 0.0f);
        EXPECT_EQ(parallel.viewX[k], 0.0f);
        EXPECT_EQ(parallel.viewY[k], 0.0f);
    }
    EXPECT_EQ(parallel.viewZ[2], 1.0f);
}

TEST(BuildFrame, PanoramaRanges) {
    TLCamera c = lookingAtOrigin();
    c.projection = 1;
    struct Case {
        float lonMin, lonMax, latMin, latMax;
        float lo, hi, bottom, top;
    };
    const Case cases[] = {
        {30, 30, -90, 90, -180, 180, -90, 90},      {30, 10, -90, 90, -180, 180, -90, 90},
        {-200, 300, -90, 90, -200, 160, -90, 90},   {kNaN, 20, -90, 90, -180, 180, -90, 90},
        {0, 90, -120, 100, 0, 90, -90, 90},         {-45, 45, 40, 20, -45, 45, -90, 90},
        {-180, 180, -30, 60, -180, 180, -30, 60},   {-180, 180, kNaN, 45, -180, 180, -90, 45},
    };
    for (const Case& k : cases) {
        c.lonMin = k.lonMin;
        c.lonMax = k.lonMax;
        c.latMin = k.latMin;
        c.latMax = k.latMax;
        const TLFrame f = tl::buildFrame(c, settings(360, 180));
        SCOPED_TRACE(::testing::Message() << k.lonMin << ".." << k.lonMax << " x " << k.latMin << ".." << k.latMax);
        EXPECT_FLOAT_EQ(f.lonMin, k.lo * kDeg);
        EXPECT_FLOAT_EQ(f.lonSpan, (k.hi - k.lo) * kDeg);
        EXPECT_FLOAT_EQ(f.latMax, k.top * kDeg);
        EXPECT_FLOAT_EQ(f.latSpan, (k.top - k.bottom) * kDeg);
        EXPECT_FLOAT_EQ(f.pixelArea, (f.lonSpan / 360.0f) * (f.latSpan / 180.0f));
    }
}
