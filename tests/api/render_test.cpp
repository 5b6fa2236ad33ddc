// tlRender's plain path through the public interface, on every library built.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "api/library_fixture.h"

namespace {

constexpr float kOneMinusInvE = 0.6321206f;  // 1 - e^-1

// A camera at the origin looking down -z; fov 90, so a point at (x, y, -1) lands at the view-plane
// coordinates (x, y).
TLCamera forwardCamera() {
    TLCamera c;
    std::memset(&c, 0, sizeof c);
    c.target = TLV3{0.0f, 0.0f, -1.0f};
    c.up = TLV3{0.0f, 1.0f, 0.0f};
    c.fovY = 90.0f;
    return c;
}

TLRenderSettings settings(int width, int height) {
    TLRenderSettings s;
    std::memset(&s, 0, sizeof s);
    s.width = width;
    s.height = height;
    s.intensity = 1.0f;
    s.exposure = 1.0f;
    s.samples = 1;
    return s;
}

}  // namespace

class RenderTest : public LibraryTest {
protected:
    // Uploads particles (opaque white unless colours are given); velocities need a store with them.
    void upload(const std::vector<TLV3>& positions, const std::vector<TLUChar4>* colors = nullptr,
                const std::vector<TLV3>* velocities = nullptr) {
        ASSERT_EQ(api.reserve(ctx, positions.size(), velocities ? 1 : 0), 0) << lastError();
        ASSERT_EQ(api.upload(ctx, positions.data(), colors ? colors->data() : nullptr,
                             velocities ? velocities->data() : nullptr, positions.size(), 0),
                  0)
            << lastError();
    }

    // Renders a frame into both images; fails the test on a non-zero result.
    void render(const TLCamera& c, const TLRenderSettings& s) {
        const size_t pixels = static_cast<size_t>(s.width) * static_cast<size_t>(s.height);
        rgba.assign(pixels, TLUChar4{9, 9, 9, 9});
        floats.assign(pixels, TLFloat4{-1, -1, -1, -1});
        ms = -1.0f;
        ASSERT_EQ(api.render(ctx, &c, &s, nullptr, 0, rgba.data(), floats.data(), &ms), 0) << lastError();
    }

    // Every pixel but `except` (an index, or -1) is transparent black, and opaque black in bytes.
    void expectBlackExcept(long except) const {
        for (size_t q = 0; q < floats.size(); ++q) {
            if (static_cast<long>(q) == except) continue;
            const TLFloat4& f = floats[q];
            const TLUChar4& b = rgba[q];
            ASSERT_TRUE(f.x == 0 && f.y == 0 && f.z == 0 && f.w == 0) << "pixel " << q;
            ASSERT_TRUE(b.x == 0 && b.y == 0 && b.z == 0 && b.w == 255) << "pixel " << q;
        }
    }

    void expectPixel(size_t q, float value, uint8_t byte, float tolerance = 1e-6f) const {
        EXPECT_NEAR(floats[q].x, value, tolerance);
        EXPECT_NEAR(floats[q].y, value, tolerance);
        EXPECT_NEAR(floats[q].z, value, tolerance);
        EXPECT_NEAR(floats[q].w, value, tolerance);
        EXPECT_EQ(rgba[q].x, byte);
        EXPECT_EQ(rgba[q].y, byte);
        EXPECT_EQ(rgba[q].z, byte);
        EXPECT_EQ(rgba[q].w, 255);
    }

    std::vector<TLUChar4> rgba;
    std::vector<TLFloat4> floats;
    float ms = -1.0f;
};
INSTANTIATE_FOR_ALL_LIBRARIES(RenderTest);

TEST_P(RenderTest, RefusesInvalidParameters) {
    const TLCamera c = forwardCamera();
    TLRenderSettings s = settings(16, 16);
    EXPECT_EQ(api.render(nullptr, &c, &s, nullptr, 0, nullptr, nullptr, nullptr), 1);
    struct Bad {
        const TLCamera* camera;
        int width, height;
    };
    const int big = std::numeric_limits<int>::max();
    // The last two: pixel counts beyond a signed 32-bit integer (2^31 and about 2^62).
    const Bad bad[] = {{nullptr, 16, 16}, {&c, 0, 16}, {&c, 16, 0}, {&c, -4, 16}, {&c, 16, -1},
                       {&c, 65536, 32768}, {&c, big, big}};
    for (const Bad& b : bad) {
        s = settings(b.width, b.height);
        float untouched = 42.0f;
        EXPECT_EQ(api.render(ctx, b.camera, &s, nullptr, 0, nullptr, nullptr, &untouched), 1)
            << b.width << "x" << b.height;
        EXPECT_EQ(lastError(), "tlRender: invalid parameters");
        EXPECT_EQ(untouched, 42.0f);
    }
    EXPECT_EQ(api.render(ctx, &c, nullptr, nullptr, 0, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(lastError(), "tlRender: invalid parameters");

    // A sample count beyond 64 bits is refused rather than wrapped.
    upload(std::vector<TLV3>(8, TLV3{0, 0, -1}));
    s = settings(16, 16);
    s.samples = big;
    s.jitterCount = big;
    EXPECT_EQ(api.render(ctx, &c, &s, nullptr, 0, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(lastError(), "tlRender: invalid parameters");
}

TEST_P(RenderTest, OneWhiteParticle) {
    upload({TLV3{0.0f, 0.0f, -1.0f}});
    const TLCamera c = forwardCamera();
    render(c, settings(8, 6));
    const size_t centre = 3 * 8 + 4;
    expectPixel(centre, kOneMinusInvE, 207);
    expectBlackExcept(static_cast<long>(centre));
    EXPECT_GE(ms, 0.0f);

    // Samples share the particle's brightness; jitter copies add to it.
    TLRenderSettings s = settings(8, 6);
    s.samples = 4;
    render(c, s);
    expectPixel(centre, kOneMinusInvE, 207);
    expectBlackExcept(static_cast<long>(centre));
    s = settings(8, 6);
    s.jitterCount = 3;
    s.jitterSigma = 0.0f;
    render(c, s);
    expectPixel(centre, 1.0f - std::exp(-4.0f), 253, 1e-6f);
    s.samples = 5;  // five samples of four copies: still four
    render(c, s);
    expectPixel(centre, 1.0f - std::exp(-4.0f), 253, 1e-6f);

    // The particle's pixel moves with it: up and to the right; row 0 is the top.
    upload({TLV3{0.5f, 0.5f, -1.0f}});
    render(c, settings(8, 6));
    expectPixel(1 * 8 + 5, kOneMinusInvE, 207);
    expectBlackExcept(1 * 8 + 5);
}

TEST_P(RenderTest, ColoursAlphaAndSums) {
    const TLCamera c = forwardCamera();
    // Two half-bright particles on one pixel add up; a red particle with alpha 0 still gets coverage
    // from its colour.
    const std::vector<TLV3> pts = {{0, 0, -1}, {0, 0, -2}, {-0.9f, -0.9f, -1}};
    const std::vector<TLUChar4> cols = {{255, 255, 255, 255}, {255, 255, 255, 255}, {255, 0, 0, 0}};
    upload(pts, &cols);
    TLRenderSettings s = settings(10, 10);
    s.intensity = 0.5f;
    render(c, s);
    expectPixel(5 * 10 + 5, kOneMinusInvE, 207, 1e-6f);
    const TLFloat4 red = floats[9 * 10 + 0];
    const float r = 1.0f - std::exp(-0.5f);
    EXPECT_NEAR(red.x, r, 1e-6f);
    EXPECT_EQ(red.y, 0.0f);
    EXPECT_EQ(red.z, 0.0f);
    EXPECT_NEAR(red.w, r, 1e-6f);
    EXPECT_EQ(rgba[9 * 10].w, 255);
    EXPECT_EQ(rgba[9 * 10].y, 0);

    s.exposure = 0.0f;  // blanks everything
    render(c, s);
    expectBlackExcept(-1);
}

TEST_P(RenderTest, EmptyCloudAndNullOutputs) {
    const TLCamera c = forwardCamera();
    render(c, settings(33, 17));  // nothing uploaded: a transparent black frame
    expectBlackExcept(-1);

    upload({TLV3{0.0f, 0.0f, -1.0f}});
    ASSERT_EQ(api.setCount(ctx, 0), 0);
    render(c, settings(33, 17));
    expectBlackExcept(-1);

    ASSERT_EQ(api.setCount(ctx, 1), 0);
    const TLRenderSettings s = settings(8, 6);
    EXPECT_EQ(api.render(ctx, &c, &s, nullptr, 0, nullptr, nullptr, nullptr), 0) << lastError();
    // Only the float image requested: the byte image is left alone.
    std::vector<TLUChar4> bytes(48, TLUChar4{9, 9, 9, 9});
    std::vector<TLFloat4> only(48, TLFloat4{-1, -1, -1, -1});
    float time = -1.0f;
    ASSERT_EQ(api.render(ctx, &c, &s, nullptr, 0, nullptr, only.data(), &time), 0) << lastError();
    EXPECT_GE(time, 0.0f);
    EXPECT_NEAR(only[3 * 8 + 4].x, kOneMinusInvE, 1e-6f);
    EXPECT_EQ(only[0].w, 0.0f);
    ASSERT_EQ(api.render(ctx, &c, &s, nullptr, 0, bytes.data(), nullptr, nullptr), 0) << lastError();
    EXPECT_EQ(bytes[3 * 8 + 4].x, 207);
    EXPECT_EQ(bytes[0].w, 255);
}

TEST_P(RenderTest, ImageSizeChangesBetweenFrames) {
    upload({TLV3{0.0f, 0.0f, -1.0f}});
    const TLCamera c = forwardCamera();
    // Each size is right the first time and again after another size was used.
    for (int round = 0; round < 2; ++round) {
        for (auto [w, h] : {std::pair{8, 6}, std::pair{8, 6}, std::pair{10, 4}, std::pair{1, 1}}) {
            render(c, settings(w, h));
            const size_t centre = static_cast<size_t>(h / 2) * w + w / 2;
            expectPixel(centre, kOneMinusInvE, 207);
            expectBlackExcept(static_cast<long>(centre));
        }
    }
}

TEST_P(RenderTest, VelocitiesMoveParticlesOnlyWithAShutter) {
    const std::vector<TLV3> velocity = {TLV3{2.0f, 0.0f, 0.0f}};
    upload({TLV3{0.0f, 0.0f, -1.0f}}, nullptr, &velocity);
    const TLCamera c = forwardCamera();
    TLRenderSettings s = settings(20, 10);
    s.samples = 64;
    render(c, s);  // shutter 0: the velocities are not used
    expectPixel(5 * 20 + 10, kOneMinusInvE, 207, 1e-5f);
    expectBlackExcept(5 * 20 + 10);

    // A shutter of 1 smears the particle over x in [-1, 1): pixels 5 to 14 of row 5.
    s.shutter = 1.0f;
    render(c, s);
    float total = 0.0f;
    int lit = 0;
    for (int px = 0; px < 20; ++px) {
        const float v = floats[5 * 20 + px].x;
        if (v > 0.0f) {
            ++lit;
            EXPECT_GE(px, 5);
            EXPECT_LT(px, 15);
        }
        total += -std::log(1.0f - v);  // undo the tone curve: the deposits add up to the intensity
    }
    EXPECT_GE(lit, 8);
    EXPECT_NEAR(total, 1.0f, 1e-4f);

    // Velocities uploaded without data (zeros, not valid for rendering) leave the particle still.
    std::vector<TLV3> p = {TLV3{0.0f, 0.0f, -1.0f}};
    ASSERT_EQ(api.upload(ctx, p.data(), nullptr, nullptr, 1, 0), 0);
    render(c, s);
    expectPixel(5 * 20 + 10, kOneMinusInvE, 207, 1e-5f);
}

TEST_P(RenderTest, EveryLightingModeButOneIsThePlainPath) {
    upload({TLV3{0.0f, 0.0f, -1.0f}});
    const TLCamera c = forwardCamera();
    for (int mode : {2, -1, 1000}) {
        TLRenderSettings s = settings(8, 6);
        s.lightingMode = mode;
        render(c, s);
        expectPixel(3 * 8 + 4, kOneMinusInvE, 207);
        expectBlackExcept(3 * 8 + 4);
    }
}
