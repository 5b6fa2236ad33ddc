// The shared per-sample steps: work decomposition, sample placement and camera projection.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "kernels/sampling.h"
#include "render/frame.h"

namespace {

// A camera at the origin looking down -z with y up: view coordinates equal world coordinates.
TLCamera forwardCamera() {
    TLCamera c;
    std::memset(&c, 0, sizeof c);
    c.target = TLV3{0.0f, 0.0f, -1.0f};
    c.up = TLV3{0.0f, 1.0f, 0.0f};
    c.fovY = 90.0f;
    c.lonMin = -180.0f;
    c.lonMax = 180.0f;
    c.latMin = -90.0f;
    c.latMax = 90.0f;
    return c;
}

TLRenderSettings plainSettings(int width = 200, int height = 100) {
    TLRenderSettings s;
    std::memset(&s, 0, sizeof s);
    s.width = width;
    s.height = height;
    s.intensity = 1.0f;
    s.samples = 1;
    return s;
}

TLFrame perspective(int width = 200, int height = 100) {
    return tl::buildFrame(forwardCamera(), plainSettings(width, height));
}

TLFrame panorama(float eyeOffset = 0.0f, int width = 360, int height = 180) {
    TLCamera c = forwardCamera();
    c.projection = 1;
    c.eyeOffset = eyeOffset;
    return tl::buildFrame(c, plainSettings(width, height));
}

bool project(const TLFrame& f, TLV3 p, tl::CameraHit& hit, uint32_t s = 1) {
    return tl::projectToCamera(f, p, s, hit);
}

constexpr float kPi = 3.14159265f;

}  // namespace

TEST(WorkDecomposition, CopiesThenSamplesWithinAParticleInSixtyFourBits) {
    TLRenderSettings s = plainSettings();
    s.jitterCount = 2;
    s.samples = 3;
    const TLFrame f = tl::buildFrame(forwardCamera(), s);
    EXPECT_EQ(tl::workPerParticle(f), 9u);
    for (uint64_t w = 0; w < 18; ++w) {
        const tl::WorkItem item = tl::decomposeWork(f, w);
        EXPECT_EQ(item.i, w / 9) << w;
        EXPECT_EQ(item.k, (w % 9) / 3) << w;
        EXPECT_EQ(item.j, w % 3) << w;
    }

    // The largest settings: about 2^62 work items per particle, nothing truncated to 32 bits.
    s.jitterCount = std::numeric_limits<int32_t>::max();
    s.samples = std::numeric_limits<int32_t>::max();
    const TLFrame big = tl::buildFrame(forwardCamera(), s);
    const uint64_t per = 2147483648ull * 2147483647ull;
    EXPECT_EQ(tl::workPerParticle(big), per);
    const tl::WorkItem item = tl::decomposeWork(big, 3 * per + 5ull * 2147483647ull + 7);
    EXPECT_EQ(item.i, 3u);
    EXPECT_EQ(item.k, 5u);
    EXPECT_EQ(item.j, 7u);

    // Particle indices beyond 2^32; both halves of the index feed the hash streams.
    s.jitterCount = 0;
    s.samples = 1000;
    const uint64_t particle = (1ull << 33) + 17;
    const tl::WorkItem far = tl::decomposeWork(tl::buildFrame(forwardCamera(), s), particle * 1000 + 999);
    EXPECT_EQ(far.i, particle);
    EXPECT_EQ(far.j, 999u);
    EXPECT_NE(tl::sampleState(17, 0, 0, 1), tl::sampleState(particle, 0, 0, 1));
    const TLV3 a = tl::copyJitter(17, 1, 1.0f), b = tl::copyJitter(particle, 1, 1.0f);
    EXPECT_TRUE(a.x != b.x || a.y != b.y || a.z != b.z);
}

TEST(PlaceSample, CopyJitterDependsOnParticleAndCopyOnlyAndTheStreamIsPinned) {
    TLRenderSettings s = plainSettings();
    s.jitterCount = 3;
    s.jitterSigma = 0.5f;
    s.samples = 4;
    const TLV3 positions[1] = {{10.0f, 20.0f, 30.0f}};
    std::set<std::pair<float, float>> offsets;
    for (uint32_t seed : {0u, 1u, 0xFFFFFFFFu}) {
        s.seed = seed;
        const TLFrame f = tl::buildFrame(forwardCamera(), s);
        for (uint32_t w = 4; w < 16; ++w) {
            const tl::PlacedSample p = tl::placeSample(f, positions, nullptr, w);
            ASSERT_TRUE(p.k == w / 4 && p.j == w % 4);
            offsets.insert({p.p.x, p.p.y});
        }
    }
    EXPECT_EQ(offsets.size(), 3u) << "one offset per copy, whatever the sample and the seed";
    const TLV3 o = tl::copyJitter(0, 2, 0.0f);
    EXPECT_TRUE(o.x == 0.0f && o.y == 0.0f && o.z == 0.0f) << "a zero sigma puts every copy on the particle";
    // The sample stream that drives motion and lens, computed by hand from the hash.
    EXPECT_EQ(tl::sampleState(0, 0, 0, 0), 0xB6365BA2u);
    EXPECT_EQ(tl::sampleState(5, 1, 2, 7), 0xB11B203Bu);
    EXPECT_EQ(tl::sampleState((1ull << 33) + 17, 3, 4, 0xFFFFFFFFu), 0xE0533805u);
}

TEST(PlaceSample, CopyJitterIsGaussianWithSigma) {
    const float sigma = 2.0f;
    const int n = 60000;
    double sum[3] = {0, 0, 0}, sq[3] = {0, 0, 0};
    for (int i = 0; i < n / 3; ++i) {
        for (uint32_t k = 1; k <= 3; ++k) {
            const TLV3 o = tl::copyJitter(static_cast<uint64_t>(i), k, sigma);
            const float v[3] = {o.x, o.y, o.z};
            for (int a = 0; a < 3; ++a) {
                ASSERT_TRUE(std::isfinite(v[a]));
                sum[a] += v[a];
                sq[a] += static_cast<double>(v[a]) * v[a];
            }
        }
    }
    for (int a = 0; a < 3; ++a) {
        const double mean = sum[a] / n;
        const double sd = std::sqrt(sq[a] / n - mean * mean);
        EXPECT_NEAR(mean, 0.0, 0.05) << a;
        EXPECT_NEAR(sd, sigma, 0.05) << a;
    }
}

TEST(PlaceSample, MotionBlurSpansTheShutterAndNeedsBothInputs) {
    TLRenderSettings s = plainSettings();
    s.shutter = 2.0f;
    s.samples = 4000;
    const TLFrame f = tl::buildFrame(forwardCamera(), s);
    const TLV3 positions[1] = {{5.0f, 1.0f, -3.0f}};
    const TLV3 velocities[1] = {{1.0f, 0.0f, 0.0f}};
    float lo = 1e9f, hi = -1e9f;
    double sum = 0.0;
    for (uint64_t w = 0; w < 4000; ++w) {
        const tl::PlacedSample p = tl::placeSample(f, positions, velocities, w);
        EXPECT_EQ(p.p.y, 1.0f);
        EXPECT_EQ(p.p.z, -3.0f);
        lo = std::fmin(lo, p.p.x);
        hi = std::fmax(hi, p.p.x);
        sum += p.p.x;
    }
    EXPECT_GE(lo, 4.0f);
    EXPECT_LT(hi, 6.0f);
    EXPECT_LT(lo, 4.01f);
    EXPECT_GT(hi, 5.99f);
    EXPECT_NEAR(sum / 4000.0, 5.0, 0.05);  // the path is centred on the stored position

    // Without a velocity array, or with velocities but no shutter, the sample sits on the particle.
    const tl::PlacedSample still = tl::placeSample(f, positions, nullptr, 7);
    s.shutter = 0.0f;
    const tl::PlacedSample closed = tl::placeSample(tl::buildFrame(forwardCamera(), s), positions, velocities, 7);
    for (const tl::PlacedSample& p : {still, closed}) {
        EXPECT_EQ(p.p.x, 5.0f);
        EXPECT_EQ(p.p.y, 1.0f);
        EXPECT_EQ(p.p.z, -3.0f);
        EXPECT_EQ(p.s, tl::sampleState(0, 0, 7, 0));  // no draw taken from the stream
    }
}

TEST(Perspective, NearClipCentreAndOrientation) {
    const TLFrame f = perspective(200, 100);
    tl::CameraHit hit;
    EXPECT_FALSE(project(f, TLV3{0.0f, 0.0f, -0.01f}, hit));  // depth exactly nearClip
    EXPECT_FALSE(project(f, TLV3{0.0f, 0.0f, 1.0f}, hit));    // behind the camera
    ASSERT_TRUE(project(f, TLV3{0.0f, 0.0f, -0.0101f}, hit));
    EXPECT_EQ(hit.px, 100);
    EXPECT_EQ(hit.py, 50);
    EXPECT_EQ(hit.z, -0.0101f);
    EXPECT_EQ(hit.d, 0.0f);

    // Right goes right, up goes up the image (row 0 is the top); 45 degrees up reaches the top edge.
    ASSERT_TRUE(project(f, TLV3{2.0f, 0.0f, -8.0f}, hit));
    EXPECT_EQ(hit.px, 112);  // 0.25 on the view plane x scaleX 0.5 x half the width: 12.5 pixels right
    EXPECT_EQ(hit.py, 50);
    ASSERT_TRUE(project(f, TLV3{0.0f, 3.0f, -10.0f}, hit));
    EXPECT_EQ(hit.px, 100);
    EXPECT_EQ(hit.py, 35);
    ASSERT_TRUE(project(f, TLV3{0.0f, 10.0f, -10.0f}, hit));  // 45 degrees up: the top row
    EXPECT_EQ(hit.py, 0);
    EXPECT_FALSE(project(f, TLV3{0.0f, 10.5f, -10.0f}, hit));
    EXPECT_FALSE(project(f, TLV3{0.0f, -10.0f, -10.0f}, hit));  // fy = height: below the image
    EXPECT_FALSE(project(f, TLV3{41.0f, 0.0f, -10.0f}, hit));   // beyond the right edge

    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(project(f, TLV3{nan, 0.0f, -5.0f}, hit));
    EXPECT_FALSE(project(f, TLV3{0.0f, 0.0f, nan}, hit));
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_FALSE(project(f, TLV3{inf, 0.0f, -5.0f}, hit));

    // An eye on its target gives zero rows: everything lands at depth 0 and is culled.
    TLCamera c = forwardCamera();
    c.target = c.eye;
    const TLFrame degenerate = tl::buildFrame(c, plainSettings());
    EXPECT_FALSE(project(degenerate, TLV3{0.0f, 0.0f, -5.0f}, hit));
}

TEST(Perspective, DepthOfFieldKeepsTheFocusPlaneSharp) {
    TLCamera c = forwardCamera();
    c.focusDistance = 10.0f;
    c.aperture = 0.5f;
    const TLFrame f = tl::buildFrame(c, plainSettings(400, 400));
    std::set<std::pair<int, int>> focused;
    for (uint32_t draw = 0; draw < 200; ++draw) {
        uint32_t s = tl::lowbias32(draw);
        tl::CameraHit hit;
        ASSERT_TRUE(tl::projectToCamera(f, TLV3{0.0f, 0.0f, -10.0f}, s, hit));
        EXPECT_NE(s, tl::lowbias32(draw));  // the lens drew from the stream
        focused.insert({hit.px, hit.py});
    }
    EXPECT_EQ(focused.size(), 1u);
    EXPECT_EQ(*focused.begin(), std::make_pair(200, 200));
    // A point at depth 2: (1/2 - 1/10) x 0.5 = 0.2 on the view plane, a disk of 40 pixels' radius
    // around its sharp image. Lens samples fill the disk evenly: every quadrant, and a mean squared
    // radius of half the disk's.
    const float cx = 200.0f + 0.15f * 200.0f, cy = 200.0f;
    double r2 = 0.0;
    int quadrants[4] = {0, 0, 0, 0}, n = 0;
    for (uint32_t draw = 0; draw < 4000; ++draw) {
        uint32_t st = tl::lowbias32(draw + 1000);
        tl::CameraHit hit;
        ASSERT_TRUE(tl::projectToCamera(f, TLV3{0.3f, 0.0f, -2.0f}, st, hit));
        const float dx = hit.px + 0.5f - cx, dy = hit.py + 0.5f - cy;
        ASSERT_LE(std::hypot(dx, dy), 41.5f);
        r2 += dx * dx + dy * dy;
        ++quadrants[(dx > 0) + 2 * (dy > 0)];
        ++n;
    }
    EXPECT_NEAR(r2 / n, 40.0 * 40.0 / 2.0, 40.0);
    for (int q : quadrants) EXPECT_NEAR(q, n / 4, n / 20);

    // Without a lens the stream is left alone.
    uint32_t s = 77;
    tl::CameraHit hit;
    ASSERT_TRUE(tl::projectToCamera(perspective(), TLV3{0.0f, 0.0f, -3.0f}, s, hit));
    EXPECT_EQ(s, 77u);
}

TEST(Panorama, MonoscopicMappingAndWrap) {
    const TLFrame f = panorama(0.0f, 360, 180);
    tl::CameraHit hit;
    ASSERT_TRUE(project(f, TLV3{0.0f, 0.0f, -5.0f}, hit));  // straight ahead: image centre
    EXPECT_EQ(hit.px, 180);
    EXPECT_EQ(hit.py, 90);
    EXPECT_FLOAT_EQ(hit.d, 5.0f);
    EXPECT_EQ(hit.phi, 0.0f);

    ASSERT_TRUE(project(f, TLV3{5.0f, 0.0f, 0.0f}, hit));  // 90 degrees to the right
    EXPECT_NEAR(hit.px, 270, 1);
    ASSERT_TRUE(project(f, TLV3{-5.0f, 0.0f, 0.0f}, hit));  // 90 degrees to the left
    EXPECT_NEAR(hit.px, 90, 1);
    ASSERT_TRUE(project(f, TLV3{0.0f, 0.0f, 5.0f}, hit));  // straight behind: the left or right edge
    EXPECT_TRUE(hit.px == 0 || hit.px == 359) << hit.px;
    ASSERT_TRUE(project(f, TLV3{0.0f, 5.0f, -5.0f}, hit));  // 45 degrees up: a quarter from the top
    EXPECT_EQ(hit.px, 180);
    EXPECT_NEAR(hit.py, 45, 1);
    EXPECT_NEAR(hit.phi, kPi / 4, 1e-6f);
    ASSERT_TRUE(project(f, TLV3{0.0f, -5.0f, -5.0f}, hit));
    EXPECT_NEAR(hit.py, 135, 1);
    // Straight up or down the horizontal distance is 0, within the near clip.
    EXPECT_FALSE(project(f, TLV3{0.0f, 5.0f, 0.0f}, hit));

    // Longitudes 0 to 90: 45 degrees to the left wraps to 315 and is culled; 45 to the right is centred.
    TLCamera c = forwardCamera();
    c.projection = 1;
    c.lonMin = 0.0f;
    c.lonMax = 90.0f;
    const TLFrame quarter = tl::buildFrame(c, plainSettings(90, 180));
    EXPECT_FALSE(project(quarter, TLV3{-5.0f, 0.0f, -5.0f}, hit));
    ASSERT_TRUE(project(quarter, TLV3{5.0f, 0.0f, -5.0f}, hit));
    EXPECT_NEAR(hit.px, 45, 1);
    // A range that starts far below -180 is wrapped into [0, 2 pi) from its left edge.
    c.lonMin = -360.0f;
    c.lonMax = -270.0f;
    const TLFrame shifted = tl::buildFrame(c, plainSettings(90, 180));
    ASSERT_TRUE(project(shifted, TLV3{5.0f, 0.0f, -5.0f}, hit));
    EXPECT_NEAR(hit.px, 45, 1);
}

TEST(Panorama, StereoEyesSeeOppositeOffsets) {
    const float h = 0.5f, d = 2.0f;
    const TLV3 ahead{0.0f, 0.0f, -d};
    const int width = 3600;
    tl::CameraHit right, left;
    ASSERT_TRUE(project(panorama(h, width, 1800), ahead, right));
    ASSERT_TRUE(project(panorama(-h, width, 1800), ahead, left));
    // theta = 0 -/+ asin(h / d); one degree is 10 pixels.
    const float shift = std::asin(h / d) / kPi * 180.0f * 10.0f;
    EXPECT_NEAR(right.px, 1800.0f - shift, 1.0f);
    EXPECT_NEAR(left.px, 1800.0f + shift, 1.0f);
    EXPECT_NEAR(right.d, std::sqrt(d * d - h * h), 1e-5f);
    EXPECT_NEAR(left.d, std::sqrt(d * d - h * h), 1e-5f);

    // Points inside the eye circle are culled; toe-in turns each eye back towards the axis.
    EXPECT_FALSE(project(panorama(h), TLV3{0.0f, 0.0f, -0.4f}, right));
    TLCamera c = forwardCamera();
    c.projection = 1;
    c.eyeOffset = h;
    c.convergence = d;  // the eyes converge on the point ahead
    const TLFrame toeIn = tl::buildFrame(c, plainSettings(width, 1800));
    ASSERT_TRUE(project(toeIn, ahead, right));
    EXPECT_NEAR(right.px, 1800.0f, 1.0f);
}

TEST(Panorama, PoleFadeNarrowsTheEyesTowardsThePoles) {
    TLCamera c = forwardCamera();
    c.projection = 1;
    c.eyeOffset = 0.5f;
    c.poleModeTop = 1;
    c.poleAngleTop = 30.0f;
    c.poleModeBottom = 2;
    c.poleAngleBottom = 30.0f;
    c.poleExponentBottom = 2.0f;
    const TLFrame f = tl::buildFrame(c, plainSettings());
    const float deg = kPi / 180.0f;
    auto fadeAt = [&](float elevationDeg) {
        return tl::poleFade(f, std::sin(elevationDeg * deg), std::cos(elevationDeg * deg));
    };
    EXPECT_EQ(fadeAt(50.0f), 1.0f);            // outside the band
    EXPECT_NEAR(fadeAt(75.0f), 0.5f, 1e-5f);   // halfway into the band: linear
    EXPECT_NEAR(fadeAt(90.0f), 0.0f, 1e-6f);   // the pole itself
    EXPECT_NEAR(fadeAt(-75.0f), 0.25f, 1e-5f); // lower pole: power 2
    EXPECT_EQ(fadeAt(-50.0f), 1.0f);

    // At 75 degrees the faded right eye sees what an eye at half the offset sees without fade.
    TLCamera half = forwardCamera();
    half.projection = 1;
    half.eyeOffset = 0.25f;
    const TLFrame unfaded = tl::buildFrame(half, plainSettings(3600, 1800));
    c.eyeOffset = 0.5f;
    const TLFrame faded = tl::buildFrame(c, plainSettings(3600, 1800));
    const TLV3 high{0.0f, 2.0f * std::sin(75.0f * deg), -2.0f * std::cos(75.0f * deg)};
    tl::CameraHit a, b;
    ASSERT_TRUE(project(faded, high, a));
    ASSERT_TRUE(project(unfaded, high, b));
    EXPECT_NEAR(a.px, b.px, 1);
    EXPECT_NEAR(a.d, b.d, 1e-5f);

    // Mode 0 or a zero band leaves the offset alone.
    TLCamera none = c;
    none.poleModeTop = 0;
    EXPECT_EQ(tl::poleFade(tl::buildFrame(none, plainSettings()), 1.0f, 0.0f), 1.0f);
    none.poleModeTop = 1;
    none.poleAngleTop = 0.0f;
    EXPECT_EQ(tl::poleFade(tl::buildFrame(none, plainSettings()), 1.0f, 0.0f), 1.0f);
}
