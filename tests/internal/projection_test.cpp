// buildFrame's clamps and view rows; the shared per-sample steps: work split, placement, projection.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>

#include "kernels/sampling.h"
#include "render/frame.h"

namespace {

constexpr float kPi = 3.14159265f, kNaN = std::numeric_limits<float>::quiet_NaN();

// A camera at the origin looking down -z with y up: view coordinates equal world coordinates.
TLCamera forwardCamera(int projection = 0, float eyeOffset = 0.0f) {
    return TLCamera{.target = {0, 0, -1}, .up = {0, 1, 0}, .fovY = 90, .projection = projection, .lonMin = -180,
                    .lonMax = 180, .latMin = -90, .latMax = 90, .eyeOffset = eyeOffset};
}

TLRenderSettings plainSettings(int width = 200, int height = 100) {
    return TLRenderSettings{.width = width, .height = height, .intensity = 1, .samples = 1};
}

TLFrame frameOf(const TLCamera& c, int width = 200, int height = 100) { return tl::buildFrame(c, plainSettings(width, height)); }

bool project(const TLFrame& f, TLV3 p, tl::CameraHit& hit, uint32_t s = 1) { return tl::projectToCamera(f, p, s, hit); }

}  // namespace

TEST(BuildFrame, SamplingAndLensClamps) {
    // samples, jitter copies, shutter, focus distance, aperture; then the frame's values of the five.
    const float cases[][10] = {
        {-5, -3, kNaN, 0, 1, 1, 0, 0, 0, 0},          {0, 0, -1, 2, 0, 1, 0, 0, 0, 0.5f},
        {4, 3, 0.5f, 2, 0.1f, 4, 3, 0.5f, 0.1f, 0.5f}, {1, 0, 1, -2, 0.1f, 1, 0, 1, 0, 0},
        {2, 0, 0, kNaN, 1, 2, 0, 0, 0, 0},
    };
    for (const auto& k : cases) {
        TLCamera c = forwardCamera();
        c.focusDistance = k[3], c.aperture = k[4];
        TLRenderSettings s = plainSettings();
        s.samples = static_cast<int>(k[0]), s.jitterCount = static_cast<int>(k[1]), s.shutter = k[2], s.intensity = 2;
        const TLFrame f = tl::buildFrame(c, s);
        const float got[5] = {float(f.samples), float(f.jitterCount), f.shutter, f.aperture, f.invFocus};
        EXPECT_EQ(std::memcmp(got, k + 5, sizeof got), 0) << "row " << (&k - cases);
        EXPECT_FLOAT_EQ(f.colorScale, 2.0f / 255.0f / k[5]);
        EXPECT_FLOAT_EQ(f.alphaScale, 2.0f / k[5]);
    }
}

TEST(BuildFrame, DegenerateCamerasGiveZeroRows) {
    // An eye on its target or an up along the view: zero rows, never NaN.
    TLCamera same = forwardCamera(), parallel = forwardCamera();
    same.target = same.eye, parallel.up = TLV3{0.0f, 0.0f, -3.0f};
    for (const TLCamera& bad : {same, parallel})
        for (int k = 0; k < 4; ++k) EXPECT_TRUE(frameOf(bad).viewX[k] == 0.0f && frameOf(bad).viewY[k] == 0.0f) << k;
    tl::CameraHit hit;
    EXPECT_FALSE(project(frameOf(same), TLV3{0.0f, 0.0f, -5.0f}, hit));
}

// Work items: copies then samples, in 64 bits; jitter per particle and copy, Gaussian; the stream pinned.
TEST(PlaceSample, WorkDecompositionCopyJitterAndTheSampleStream) {
    TLRenderSettings s{.width = 200, .height = 100, .intensity = 1, .jitterCount = 2, .jitterSigma = 0.5f, .samples = 3};
    std::set<std::pair<float, float>> offsets;
    const TLV3 positions[1] = {{10.0f, 20.0f, 30.0f}};
    for (uint32_t seed : {0u, 1u, 0xFFFFFFFFu}) {
        s.seed = seed;
        const TLFrame f = tl::buildFrame(forwardCamera(), s);
        for (uint64_t w = 0; w < 9; ++w) {
            const tl::PlacedSample p = tl::placeSample(f, positions, nullptr, w);
            EXPECT_TRUE(p.i == 0 && p.k == w / 3 && p.j == w % 3 && tl::decomposeWork(f, w + 9).i == 1) << w;
            offsets.insert({p.p.x, p.p.y});
        }
    }
    EXPECT_EQ(offsets.size(), 3u) << "the particle and one offset per copy, whatever the sample and the seed";
    s.jitterCount = s.samples = std::numeric_limits<int32_t>::max();
    const TLFrame big = tl::buildFrame(forwardCamera(), s);
    const uint64_t per = 2147483648ull * 2147483647ull;
    const tl::WorkItem item = tl::decomposeWork(big, 3 * per + 5ull * 2147483647ull + 7);
    EXPECT_TRUE(tl::workPerParticle(big) == per && item.i == 3u && item.k == 5u && item.j == 7u);
    EXPECT_TRUE(tl::sampleState(0, 0, 0, 0) == 0xB6365BA2u && tl::sampleState(5, 1, 2, 7) == 0xB11B203Bu);
    EXPECT_EQ(tl::sampleState((1ull << 33) + 17, 3, 4, 0xFFFFFFFFu), 0xE0533805u);
    // Without a shutter the sample sits on the particle and takes no draw from the stream.
    const TLV3 velocities[1] = {{1.0f, 0.0f, 0.0f}};
    const tl::PlacedSample still = tl::placeSample(big, positions, velocities, 7);
    EXPECT_TRUE(still.p.x == 10.0f && still.s == tl::sampleState(0, 0, 7, 0xFFFFFFFFu)) << still.p.x;
    EXPECT_NE(tl::copyJitter(17, 1, 1.0f).x, tl::copyJitter((1ull << 33) + 17, 1, 1.0f).x);
    const int n = 60000;
    double sum[3] = {}, sq[3] = {};
    for (int i = 0; i < n; ++i) {
        const TLV3 o = tl::copyJitter(static_cast<uint64_t>(i / 3), 1 + i % 3, 2.0f);
        const double v[3] = {o.x, o.y, o.z};
        for (int a = 0; a < 3; ++a) sum[a] += v[a], sq[a] += v[a] * v[a];
    }
    for (int a = 0; a < 3; ++a)
        EXPECT_TRUE(std::fabs(sum[a] / n) < 0.05 && std::fabs(std::sqrt(sq[a] / n) - 2.0) < 0.05) << a;
}

// Pixels (-1: culled): perspective, panoramas, stereo eyes 0.5 off (converging; fading near the poles).
TEST(Projection, PixelsOfPerspectiveAndPanorama) {
    const float inf = std::numeric_limits<float>::infinity();
    TLCamera quarter = forwardCamera(1), shifted = forwardCamera(1);
    quarter.lonMin = 0.0f, quarter.lonMax = 90.0f;
    shifted.lonMin = -360.0f, shifted.lonMax = -270.0f;  // far below -180: wrapped from its left edge
    TLCamera toeIn = forwardCamera(1, 0.5f), faded = forwardCamera(1, 0.5f);
    toeIn.convergence = 2.0f;
    faded.poleModeTop = 1, faded.poleAngleTop = 30.0f;
    faded.poleModeBottom = 2, faded.poleAngleBottom = 30.0f, faded.poleExponentBottom = 2.0f;
    const TLFrame persp = frameOf(forwardCamera()), pano = frameOf(forwardCamera(1), 360, 180),
                  q = frameOf(quarter, 90, 180), sh = frameOf(shifted, 90, 180),
                  right = frameOf(forwardCamera(1, 0.5f), 3600, 1800),
                  left = frameOf(forwardCamera(1, -0.5f), 3600, 1800),
                  conv = frameOf(toeIn, 3600, 1800), fade = frameOf(faded, 3600, 1800);
    const float s75 = 2.0f * std::sin(75.0f * kPi / 180), c75 = 2.0f * std::cos(75.0f * kPi / 180);
    const float s50 = 2.0f * std::sin(50.0f * kPi / 180), c50 = 2.0f * std::cos(50.0f * kPi / 180);
    const struct { const TLFrame* f; TLV3 p; int px, py; } cases[] = {
        {&persp, {0, 0, -0.01f}, -1, -1},  {&persp, {0, 0, 1}, -1, -1},  // at the near clip; behind
        {&persp, {0, 0, -0.0101f}, 100, 50}, {&persp, {2, 0, -8}, 112, 50}, {&persp, {0, 3, -10}, 100, 35},
        {&persp, {0, 10, -10}, 100, 0},    {&persp, {0, 10.5f, -10}, -1, -1}, {&persp, {0, -10, -10}, -1, -1},
        {&persp, {41, 0, -10}, -1, -1},    {&persp, {kNaN, 0, -5}, -1, -1},   {&persp, {0, 0, kNaN}, -1, -1},
        {&persp, {inf, 0, -5}, -1, -1},    {&pano, {0, 0, -5}, 180, 90},      {&pano, {5, 0, 0}, 270, 90},
        {&pano, {-5, 0, 0}, 90, 90},       {&pano, {0, 5, -5}, 180, 45},      {&pano, {0, -5, -5}, 180, 135},
        {&pano, {0, 5, 0}, -1, -1},        {&q, {-5, 0, -5}, -1, -1},         {&q, {5, 0, -5}, 45, 90},
        {&sh, {5, 0, -5}, 45, 90},         {&right, {0, 0, -2}, 1655, 900},   {&left, {0, 0, -2}, 1944, 900},
        {&right, {0, 0, -0.4f}, -1, -1},   {&conv, {0, 0, -2}, 1800, 900},    {&fade, {0, s75, -c75}, 1511, 132},
        {&fade, {0, -s75, -c75}, 1660, 1654}, {&fade, {0, s50, -c50}, 1571, 377},  // outside the band: no fade
    };
    for (const auto& c : cases) {
        tl::CameraHit hit;
        const bool seen = project(*c.f, c.p, hit);
        SCOPED_TRACE(::testing::Message() << c.p.x << "," << c.p.y << "," << c.p.z);
        ASSERT_EQ(seen, c.px >= 0);
        const int tolerance = c.f == &persp ? 0 : 1;  // the panorama's angles round either way
        if (seen) EXPECT_TRUE(std::abs(hit.px - c.px) <= tolerance && std::abs(hit.py - c.py) <= tolerance)
            << hit.px << "," << hit.py;
    }
    tl::CameraHit hit;
    ASSERT_TRUE(project(pano, TLV3{0.0f, 5.0f, -5.0f}, hit));
    EXPECT_TRUE(hit.d == 5.0f && std::fabs(hit.phi - kPi / 4) < 1e-6f) << hit.d << " " << hit.phi;
    ASSERT_TRUE(project(right, TLV3{0.0f, 0.0f, -2.0f}, hit));
    EXPECT_NEAR(hit.d, std::sqrt(3.75f), 1e-5f) << "the distance along the eye's ray";
}

TEST(Projection, DepthOfFieldKeepsTheFocusPlaneSharpAndFillsTheDisk) {
    TLCamera c = forwardCamera();
    c.focusDistance = 10.0f, c.aperture = 0.5f;
    const TLFrame f = frameOf(c, 400, 400);
    const float cx = 200.0f + 0.15f * 200.0f, cy = 200.0f;  // depth 2: (1/2 - 1/10) x 0.5, a disk of 40 pixels
    double r2 = 0.0;
    int quadrants[4] = {}, n = 4000;
    tl::CameraHit hit;
    for (uint32_t draw = 0; draw < n; ++draw) {
        uint32_t st = tl::lowbias32(draw + 1000);
        ASSERT_TRUE(tl::projectToCamera(f, TLV3{0.3f, 0.0f, -2.0f}, st, hit));
        ASSERT_NE(st, tl::lowbias32(draw + 1000)) << "the lens draws from the stream";
        const float dx = hit.px + 0.5f - cx, dy = hit.py + 0.5f - cy;
        ASSERT_LE(std::hypot(dx, dy), 41.5f);
        r2 += dx * dx + dy * dy;
        ++quadrants[(dx > 0) + 2 * (dy > 0)];
    }
    EXPECT_NEAR(r2 / n, 40.0 * 40.0 / 2.0, 40.0);
    for (int q : quadrants) EXPECT_NEAR(q, n / 4, n / 20);
    for (uint32_t s : {1u, 77u, 0xDEADBEEFu})
        EXPECT_TRUE(project(f, TLV3{0.0f, 0.0f, -10.0f}, hit, s) && hit.px == 200 && hit.py == 200) << "focus plane";
    uint32_t s = 77;
    ASSERT_TRUE(tl::projectToCamera(frameOf(forwardCamera()), TLV3{0.0f, 0.0f, -3.0f}, s, hit));
    EXPECT_EQ(s, 77u) << "without a lens the stream is left alone";
}

