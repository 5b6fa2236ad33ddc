// tlRender through the public interface on every library built. Plain frames are pinned to values
// worked out by hand: a pixel of optical depth d shows 1 - e^-d, and 255 (1 - e^-d)^(1/2.2) in bytes.
// Lit frames are pinned to a lone particle's closed form and to what shadows must do.
#include <array>
#include <climits>
#include <cmath>
#include <random>
#include <tuple>

#include "api/library_fixture.h"

namespace {

const float kOneMinusInvE = 0.6321206f;  // 1 - e^-1
// At the origin looking down -z with fov 90: a point at (x, y, -1) lands at view-plane (x, y).
const TLCamera kForward = lookAt({0, 0, 0}, {0, 0, -1}, 90);

TLRenderSettings litSettings(int width, int height, float density) {
    return {.width = width, .height = height, .intensity = 1, .exposure = 1, .samples = 1, .seed = 5,
            .lightingMode = 1, .density = density, .shadowMapSize = 64, .shadowSlices = 32, .depthSlices = 32};
}

TLLight sun(float dx, float dy, float dz, int castShadows) {
    return {.kind = 2, .direction = {dx, dy, dz}, .color = {1, 1, 1}, .castShadows = castShadows};
}

}  // namespace

class RenderTest : public LibraryTest {
protected:
    void render(const TLCamera& c, const TLRenderSettings& s, std::vector<TLLight> l = {}, Image* out = nullptr) {
        ASSERT_EQ((out ? out : &img)->render(api, ctx, c, s, l), 0) << lastError();
    }
    // Pixel q is grey `value` (`byte` in bytes, alpha 255) and every other pixel black.
    void expectOnly(long q, float value, int byte, float tolerance = 1e-6f) const {
        for (int c = 0; c < 4; ++c) EXPECT_NEAR((&img.px[q].x)[c], value, tolerance) << "pixel " << q;
        for (int c = 0; c < 4; ++c) EXPECT_EQ((&img.rgba[q].x)[c], c < 3 ? byte : 255) << "pixel " << q;
        EXPECT_EQ(img.firstLitExcept(q), -1);
    }
    Image img;
};
INSTANTIATE_FOR_ALL_LIBRARIES(RenderTest);

// No camera or settings; empty or negative sizes; pixel counts beyond 32 bits (2^31, about 2^62);
// 8 particles times samples times copies beyond 64 bits; a lit frame with lights but no array.
TEST_P(RenderTest, RefusesInvalidParameters) {
    upload(std::vector<TLV3>(8, TLV3{0, 0, -1}));
    const int big = INT_MAX;  // camera?, width, height, samples, jitter copies, lighting mode, light count
    for (auto [camera, width, height, samples, jitter, mode, lights] : std::vector<std::array<int, 7>>{
             {0, 16, 16, 1, 0, 0, 0}, {1, 0, 16, 1, 0, 0, 0}, {1, 16, 0, 1, 0, 0, 0}, {1, -4, 16, 1, 0, 0, 0},
             {1, 16, -1, 1, 0, 0, 0}, {1, 65536, 32768, 1, 0, 0, 0}, {1, big, big, 1, 0, 0, 0},
             {1, 16, 16, big, big, 0, 0}, {1, 8, 8, 1, 0, 1, 3}}) {
        TLRenderSettings s = litSettings(width, height, 1);
        s.samples = samples, s.jitterCount = jitter, s.lightingMode = mode;
        float ms = 42;
        EXPECT_EQ(api.render(ctx, camera ? &kForward : nullptr, &s, nullptr, lights, nullptr, nullptr, &ms), 1)
            << width << "x" << height << " samples " << samples << " lights " << lights;
        EXPECT_EQ(lastError(), "tlRender: invalid parameters");
        EXPECT_EQ(ms, 42.0f);
    }
    EXPECT_EQ(api.render(ctx, &kForward, nullptr, nullptr, 0, nullptr, nullptr, nullptr), 1);
}

// One white particle of intensity 1 in the middle: depth 1 in its pixel, at every image size, also
// after another size was used. Samples share the brightness; three jitter copies at sigma 0 add three
// more (five samples of them: still four); lighting modes other than 1 are the plain path.
TEST_P(RenderTest, OneWhiteParticle) {
    upload({{0, 0, -1}});
    const float e = kOneMinusInvE, four = 1 - std::exp(-4.0f);
    using Row = std::tuple<int, int, int, int, int, float, int>;  // size, samples, copies, mode; value, byte
    for (int round = 0; round < 2; ++round)
        for (auto [width, height, samples, jitter, mode, value, byte] :
             {Row{8, 6, 1, 0, 0, e, 207}, {8, 6, 4, 0, 0, e, 207}, {8, 6, 1, 3, 0, four, 253}, {8, 6, 5, 3, 0, four, 253},
              {10, 4, 1, 0, 2, e, 207}, {1, 1, 1, 0, -1, e, 207}, {8, 6, 1, 0, 1000, e, 207}}) {
            TLRenderSettings s = plainSettings(width, height);
            s.samples = samples, s.jitterCount = jitter, s.lightingMode = mode;
            render(kForward, s);
            SCOPED_TRACE(testing::Message() << width << "x" << height << " " << samples << " " << jitter << " " << mode);
            expectOnly(height / 2 * width + width / 2, value, byte);
        }
    // Either image alone, or neither, may be asked for.
    const TLRenderSettings s = plainSettings(8, 6);
    float ms = -1;
    EXPECT_EQ(api.render(ctx, &kForward, &s, nullptr, 0, nullptr, nullptr, nullptr), 0) << lastError();
    img.px.assign(48, TLFloat4{-1, -1, -1, -1}), img.rgba.assign(48, TLUChar4{9, 9, 9, 9});
    ASSERT_EQ(api.render(ctx, &kForward, &s, nullptr, 0, nullptr, img.px.data(), &ms), 0) << lastError();
    ASSERT_EQ(api.render(ctx, &kForward, &s, nullptr, 0, img.rgba.data(), nullptr, nullptr), 0) << lastError();
    EXPECT_GE(ms, 0.0f);
    expectOnly(3 * 8 + 4, e, 207);
    // The pixel moves with the particle: up and to the right; row 0 is the top.
    upload({{0.5f, 0.5f, -1}});
    render(kForward, s);
    expectOnly(1 * 8 + 5, e, 207);
}

// Two half-bright white particles on one pixel add up to depth 1. A particle of colour (1, 0.4, 0.2)
// and alpha 0 keeps its channels apart and covers its pixel as much as its brightest channel.
// Exposure 0, an empty store and a count of 0 give black frames.
TEST_P(RenderTest, ColoursSumsAndBlackFrames) {
    render(kForward, plainSettings(33, 17));
    EXPECT_EQ(img.firstLitExcept(), -1) << "nothing uploaded";
    const std::vector<TLUChar4> colors = {{255, 255, 255, 255}, {255, 255, 255, 255}, {255, 102, 51, 0}};
    upload({{0, 0, -1}, {0, 0, -2}, {-0.9f, -0.9f, -1}}, &colors);
    TLRenderSettings s = plainSettings(10, 10);
    s.intensity = 0.5f;
    render(kForward, s);
    const float want[4] = {1 - std::exp(-0.5f), 1 - std::exp(-0.2f), 1 - std::exp(-0.1f), 1 - std::exp(-0.5f)};
    for (int c = 0; c < 4; ++c) EXPECT_NEAR((&img.px[90].x)[c], want[c], 1e-6f) << "channel " << c;
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ((&img.rgba[90].x)[c], c < 3 ? std::lround(255 * std::pow(want[c], 1 / 2.2)) : 255) << "channel " << c;
    img.px[90] = {}, img.rgba[90] = {0, 0, 0, 255};
    expectOnly(55, kOneMinusInvE, 207);
    for (int zero : {0, 1}) {  // exposure 0, then count 0
        s.exposure = float(zero), s.width = 33, s.height = 17;
        ASSERT_EQ(api.setCount(ctx, 3 - 3 * zero), 0);
        render(kForward, s);
        EXPECT_EQ(img.firstLitExcept(), -1);
    }
}

TEST_P(RenderTest, VelocitiesMoveParticlesOnlyWithAShutter) {
    const std::vector<TLV3> velocity = {{2, 0, 0}};
    upload({{0, 0, -1}}, nullptr, &velocity);
    TLRenderSettings s = plainSettings(20, 10);
    s.samples = 64;
    render(kForward, s);  // shutter 0: velocities unused
    expectOnly(5 * 20 + 10, kOneMinusInvE, 207, 1e-5f);
    // A shutter of 1 smears the particle over x in [-1, 1): pixels 5 to 14 of row 5.
    s.shutter = 1;
    render(kForward, s);
    float total = 0, lit = 0;
    for (int x = 0; x < 20; ++x) {
        const float v = img.at(x, 5).x;
        if (v > 0) EXPECT_TRUE(++lit && x >= 5 && x < 15) << "pixel " << x;
        total += -std::log(1 - v);  // undo the tone curve: the deposits add up to the intensity
    }
    EXPECT_GE(lit, 8);
    EXPECT_NEAR(total, 1.0f, 1e-4f);
    // An upload without velocities marks them invalid: the particle stands still.
    const TLV3 p{0, 0, -1};
    ASSERT_EQ(api.upload(ctx, &p, nullptr, nullptr, 1, 0), 0);
    render(kForward, s);
    expectOnly(5 * 20 + 10, kOneMinusInvE, 207, 1e-5f);
}

// One particle, no lights: its deposit w = a / footprint is its pixel's whole optical depth, half of
// it in front of the particle, so its weight is exp(-w/2) (1 - exp(-w)) and its colour albedo x
// (baseLight + ambient).
TEST_P(RenderTest, LitParticleAloneHasTheExactWeight) {
    const std::vector<TLUChar4> color = {{255, 128, 64, 255}};
    upload({{0, 0, 0}}, &color);
    TLRenderSettings s = litSettings(8, 8, 40000);
    s.baseLight[0] = 0.2f, s.baseLight[1] = 0.3f, s.baseLight[2] = 0.4f, s.ambient = 0.1f, s.exposure = 3;
    render(lookAt({0, 0, 5}, {0, 0, 0}, 60), s);
    // The box of one particle is its position +- 0.001: cross-section 3 x 0.002^2 / 2 x density.
    const double texel = 2 * std::tan(30 * M_PI / 180) / 8, w = 3 * 0.002 * 0.002 * 0.5 * s.density / (texel * texel * 25);
    ASSERT_LT(w, 1.0);
    const TLFloat4& p = img.at(4, 4);
    EXPECT_NEAR(p.w, 1 - std::exp(-w), 1e-4);
    const double weight = std::exp(-w / 2) * (1 - std::exp(-w)), albedo[3] = {1, 128 / 255.0, 64 / 255.0};
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR((&p.x)[c], 1 - std::exp(-s.exposure * weight * albedo[c] * (s.baseLight[c] + s.ambient)), 1e-5)
            << "channel " << c;
    EXPECT_EQ(img.firstLitExcept(4 * 8 + 4), -1);
}

// Zero or negative density, or an empty store, gives an empty lit image: in perspective and in a
// panorama from inside the cloud, poles included, with shadow-casting lights.
TEST_P(RenderTest, LitFramesWithNothingToShowAreEmpty) {
    ASSERT_EQ(api.generateTestCloud(ctx, 20000, 2, 0), 0) << lastError();
    const TLCamera view = lookAt({0, 80, 150}, {0, 0, 0}, 50);
    const TLCamera pano{.up = {0, 1, 0}, .projection = 1, .lonMin = -180, .lonMax = 180, .latMin = -90, .latMax = 90};
    const TLLight tilted = sun(0.3f, -1, 0.2f, 1), bulb{.color = {1, 1, 1}, .castShadows = 1};
    using Row = std::tuple<uint64_t, float, const TLCamera*, TLLight>;  // count, density, camera, light
    for (auto [count, density, camera, light] :
         {Row{20000, 0, &view, tilted}, {20000, -2, &view, tilted}, {20000, 0, &pano, tilted}, {0, 1, &view, bulb}}) {
        ASSERT_EQ(api.setCount(ctx, count), 0);
        render(*camera, litSettings(48, 32, density), {light});
        EXPECT_EQ(img.firstLitExcept(), -1) << "count " << count << " density " << density;
    }
}

// A slab 2 wide in x and y and 0.2 thick in z, seen face on, lit from +x: with shadows its far end
// (x < 0, the image's left) darkens and its near end stays about as bright as without.
TEST_P(RenderTest, SunShadowsDarkenTheFarSideOfASlab) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<TLV3> slab(20000);
    for (TLV3& p : slab) p = TLV3{u(rng), u(rng), 0.1f * u(rng)};
    upload(slab);
    TLRenderSettings s = litSettings(40, 40, 0.33f);  // about 2 optical depths across the slab along x
    s.shadowMapSize = 16, s.exposure = 0.5f;
    Image open;
    render(lookAt({0, 0, 4}, {0, 0, 0}, 40), s, {sun(-1, 0, 0, 0)}, &open);
    render(lookAt({0, 0, 4}, {0, 0, 0}, 40), s, {sun(-1, 0, 0, 1)});
    auto meanRed = [](const Image& im, int x0) {  // columns [x0, x0 + 4); the slab spans about 6 to 33
        double sum = 0;
        for (int y = 0; y < 40; ++y)
            for (int x = x0; x < x0 + 4; ++x) sum += im.at(x, y).x;
        return sum / 160;
    };
    EXPECT_GT(meanRed(open, 7), 0.01);
    EXPECT_LT(meanRed(img, 7), 0.35 * meanRed(open, 7));
    EXPECT_GT(meanRed(img, 29), 0.75 * meanRed(open, 29));
    EXPECT_LE(meanRed(img, 29), meanRed(open, 29) * 1.0001);
    for (size_t i = 0; i < img.px.size(); ++i)  // shadows change the light, not the coverage
        ASSERT_NEAR(img.px[i].w, open.px[i].w, 1e-5) << "pixel " << i;
}

// A shadow-casting point light inside the cloud dims it, in perspective and in a stereo panorama with
// motion blur; every value stays within [0, 1].
TEST_P(RenderTest, PointLightShadowsDimTheCloudAroundIt) {
    ASSERT_EQ(api.generateTestCloud(ctx, 30000, 4, 1), 0) << lastError();
    TLLight bulb{.position = {0, 5, 0}, .color = {2, 2, 2}, .falloff = 2, .range = 40};
    TLRenderSettings s = litSettings(64, 40, 0.3f);
    const TLCamera view = lookAt({0, 120, 200}, {0, 0, 0}, 45);
    const TLCamera pano{.eye = {10, 15, 40}, .up = {0, 1, 0}, .projection = 1, .lonMin = -180, .lonMax = 180,
                        .latMin = -90, .latMax = 90, .eyeOffset = 0.3f, .poleModeTop = 1, .poleAngleTop = 30};
    auto sumRgb = [](const Image& im) {
        double sum = 0;
        for (const TLFloat4& p : im.px) {
            for (float v : {p.x, p.y, p.z, p.w}) EXPECT_TRUE(v >= 0 && v <= 1) << v;
            sum += p.x + p.y + p.z;
        }
        return sum;
    };
    for (const TLCamera* camera : {&view, &pano}) {
        Image open;
        bulb.castShadows = 0;
        s.samples = camera == &pano ? 2 : 1, s.shutter = camera == &pano ? 5 : 0;
        render(*camera, s, {bulb}, &open);
        bulb.castShadows = 1;
        render(*camera, s, {bulb});
        EXPECT_GT(sumRgb(img), 0.0);
        EXPECT_LT(sumRgb(img), 0.5 * sumRgb(open)) << (camera == &pano ? "panorama" : "perspective");
    }
}
