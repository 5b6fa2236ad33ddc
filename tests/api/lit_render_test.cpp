// Whole lit frames through tlRender on each library: the exact weight of a lone particle, empty
// images for zero density and for an empty cloud, shadows of directional and point lights, panorama
// frames, a refused null light array; and the same lit frames on both libraries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "library_fixture.h"

namespace {

TLCamera lookAt(TLV3 eye, TLV3 target, float fovY) {
    TLCamera c{};
    c.eye = eye;
    c.target = target;
    c.up = TLV3{0.0f, 1.0f, 0.0f};
    c.fovY = fovY;
    return c;
}

TLRenderSettings litSettings(int width, int height, float density) {
    TLRenderSettings s{};
    s.width = width;
    s.height = height;
    s.intensity = 1.0f;
    s.exposure = 1.0f;
    s.samples = 1;
    s.seed = 5;
    s.lightingMode = 1;
    s.density = density;
    s.shadowMapSize = 64;
    s.shadowSlices = 32;
    s.depthSlices = 32;
    return s;
}

TLLight sunFrom(float dx, float dy, float dz, int castShadows) {
    TLLight l{};
    l.kind = 2;
    l.direction[0] = dx;
    l.direction[1] = dy;
    l.direction[2] = dz;
    l.color[0] = l.color[1] = l.color[2] = 1.0f;
    l.castShadows = castShadows;
    return l;
}

struct Image {
    std::vector<TLUChar4> rgba;
    std::vector<TLFloat4> pixels;
    int width = 0;
    const TLFloat4& at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
    bool allFiniteWithin01() const {
        for (const TLFloat4& p : pixels)
            for (float v : {p.x, p.y, p.z, p.w})
                if (!(v >= 0.0f && v <= 1.0f)) return false;
        return true;
    }
    bool empty() const {
        for (size_t i = 0; i < pixels.size(); ++i) {
            const TLFloat4& p = pixels[i];
            const TLUChar4& b = rgba[i];
            if (p.x != 0.0f || p.y != 0.0f || p.z != 0.0f || p.w != 0.0f) return false;
            if (b.x != 0 || b.y != 0 || b.z != 0 || b.w != 255) return false;
        }
        return true;
    }
    double sumRgb() const {
        double s = 0;
        for (const TLFloat4& p : pixels) s += p.x + p.y + p.z;
        return s;
    }
    // Mean red over the columns [x0, x1) of every row.
    double meanRed(int x0, int x1) const {
        double s = 0;
        int n = 0;
        for (size_t i = 0; i < pixels.size(); ++i) {
            const int x = static_cast<int>(i % width);
            if (x >= x0 && x < x1) s += pixels[i].x, ++n;
        }
        return s / n;
    }
};

class LitRender : public LibraryTest {
protected:
    int render(const TLCamera& camera, const TLRenderSettings& settings, const std::vector<TLLight>& lights,
               Image* out) {
        const size_t pixels = static_cast<size_t>(settings.width) * settings.height;
        out->width = settings.width;
        out->rgba.assign(pixels, TLUChar4{1, 2, 3, 4});
        out->pixels.assign(pixels, TLFloat4{-1, -1, -1, -1});
        return api.render(ctx, &camera, &settings, lights.data(), static_cast<int>(lights.size()), out->rgba.data(),
                          out->pixels.data(), nullptr);
    }
    void upload(const std::vector<TLV3>& positions, TLUChar4 color) {
        const std::vector<TLUChar4> colors(positions.size(), color);
        ASSERT_EQ(api.reserve(ctx, positions.size(), 0), 0) << lastError();
        ASSERT_EQ(api.upload(ctx, positions.data(), colors.data(), nullptr, positions.size(), 0), 0) << lastError();
    }
};

// One particle, no lights: its deposit w = a / footprint is the pixel's whole optical depth, half of
// it lies in front of the particle, so its weight is exp(-w/2) (1 - exp(-w)) and its colour
// albedo x (baseLight + ambient).
TEST_P(LitRender, OneParticleAloneHasTheExactWeight) {
    upload({{0.0f, 0.0f, 0.0f}}, TLUChar4{255, 128, 64, 255});
    const TLCamera camera = lookAt({0.0f, 0.0f, 5.0f}, {0.0f, 0.0f, 0.0f}, 60.0f);
    TLRenderSettings s = litSettings(8, 8, 40000.0f);
    s.baseLight[0] = 0.2f;
    s.baseLight[1] = 0.3f;
    s.baseLight[2] = 0.4f;
    s.ambient = 0.1f;
    s.exposure = 3.0f;
    Image img;
    ASSERT_EQ(render(camera, s, {}, &img), 0) << lastError();

    // The box of one particle is its position +- 0.001, so its cross-section is 3 x 0.002^2 / 2 x density.
    const double a = 3.0 * 0.002 * 0.002 * 0.5 * s.density;
    const double texel = 2.0 * std::tan(30.0 * M_PI / 180.0) / 8.0;
    const double w = a / (texel * texel * 25.0);
    ASSERT_LT(w, 1.0);
    const TLFloat4& p = img.at(4, 4);
    EXPECT_NEAR(p.w, 1.0 - std::exp(-w), 1e-4);
    const double weight = std::exp(-w / 2) * (1.0 - std::exp(-w));
    const double albedo[3] = {1.0, 128.0 / 255.0, 64.0 / 255.0};
    const float got[3] = {p.x, p.y, p.z};
    for (int c = 0; c < 3; ++c) {
        const double radiance = weight * albedo[c] * (s.baseLight[c] + s.ambient);
        EXPECT_NEAR(got[c], 1.0 - std::exp(-s.exposure * radiance), 1e-5) << "channel " << c;
    }
    double elsewhere = 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            if (x != 4 || y != 4) elsewhere += img.at(x, y).w + img.at(x, y).x;
    EXPECT_EQ(elsewhere, 0.0);
}

TEST_P(LitRender, ZeroDensityGivesAnEmptyImage) {
    ASSERT_EQ(api.generateTestCloud(ctx, 20000, 2, 0), 0) << lastError();
    const std::vector<TLLight> lights = {sunFrom(0.3f, -1.0f, 0.2f, 1)};
    TLCamera camera = lookAt({0.0f, 80.0f, 150.0f}, {0.0f, 0.0f, 0.0f}, 50.0f);
    for (float density : {0.0f, -2.0f}) {
        Image img;
        ASSERT_EQ(render(camera, litSettings(48, 32, density), lights, &img), 0) << lastError();
        EXPECT_TRUE(img.empty()) << "density " << density;
    }
    // A panorama from inside the cloud, poles included.
    camera.projection = 1;
    camera.eye = TLV3{0.0f, 0.0f, 0.0f};
    camera.lonMin = -180.0f;
    camera.lonMax = 180.0f;
    camera.latMin = -90.0f;
    camera.latMax = 90.0f;
    Image img;
    ASSERT_EQ(render(camera, litSettings(64, 32, 0.0f), lights, &img), 0) << lastError();
    EXPECT_TRUE(img.empty());
}

TEST_P(LitRender, EmptyCloudWithAShadowCastingLightRendersAnEmptyImage) {
    ASSERT_EQ(api.reserve(ctx, 100, 0), 0);
    TLLight bulb = sunFrom(0.0f, 0.0f, 0.0f, 1);
    bulb.kind = 0;
    Image img;
    ASSERT_EQ(render(lookAt({0.0f, 0.0f, 5.0f}, {0.0f, 0.0f, 0.0f}, 50.0f), litSettings(16, 16, 1.0f), {bulb}, &img),
              0)
        << lastError();
    EXPECT_TRUE(img.empty());
}

// A slab 2 wide in x and y and 0.2 thick in z, seen face on, lit from +x: with shadows its far end
// (x < 0, the image's left) darkens and its near end stays about as bright as without.
TEST_P(LitRender, DirectionalShadowsDarkenTheFarSideOfASlab) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<TLV3> slab(20000);
    for (TLV3& p : slab) p = TLV3{u(rng), u(rng), 0.1f * u(rng)};
    upload(slab, TLUChar4{255, 255, 255, 255});
    const TLCamera camera = lookAt({0.0f, 0.0f, 4.0f}, {0.0f, 0.0f, 0.0f}, 40.0f);
    // About 2 optical depths across the slab along x.
    TLRenderSettings s = litSettings(40, 40, 0.33f);
    s.shadowMapSize = 16;
    s.exposure = 0.5f;
    Image lit, shadowed;
    ASSERT_EQ(render(camera, s, {sunFrom(-1.0f, 0.0f, 0.0f, 0)}, &lit), 0) << lastError();
    ASSERT_EQ(render(camera, s, {sunFrom(-1.0f, 0.0f, 0.0f, 1)}, &shadowed), 0) << lastError();
    // The slab spans about columns 6 to 33: the bands are its outer quarter-widths' outer parts.
    const double farLit = lit.meanRed(7, 11), farShadowed = shadowed.meanRed(7, 11);
    const double nearLit = lit.meanRed(29, 33), nearShadowed = shadowed.meanRed(29, 33);
    EXPECT_GT(farLit, 0.01);
    EXPECT_LT(farShadowed, 0.35 * farLit);
    EXPECT_GT(nearShadowed, 0.75 * nearLit);
    EXPECT_LE(nearShadowed, nearLit * 1.0001);
    // Shadows change the light, not the coverage.
    for (size_t i = 0; i < lit.pixels.size(); ++i) EXPECT_NEAR(lit.pixels[i].w, shadowed.pixels[i].w, 1e-5);
}

TEST_P(LitRender, PointLightShadowsDimTheCloudAroundIt) {
    ASSERT_EQ(api.generateTestCloud(ctx, 30000, 4, 0), 0) << lastError();
    const TLCamera camera = lookAt({0.0f, 120.0f, 200.0f}, {0.0f, 0.0f, 0.0f}, 45.0f);
    TLRenderSettings s = litSettings(64, 40, 0.3f);
    TLLight bulb{};
    bulb.kind = 0;
    bulb.position[1] = 5.0f;
    bulb.color[0] = bulb.color[1] = bulb.color[2] = 2.0f;
    bulb.falloff = 2;
    bulb.range = 40.0f;
    Image open, shadowed;
    ASSERT_EQ(render(camera, s, {bulb}, &open), 0) << lastError();
    bulb.castShadows = 1;
    ASSERT_EQ(render(camera, s, {bulb}, &shadowed), 0) << lastError();
    EXPECT_TRUE(shadowed.allFiniteWithin01());
    EXPECT_GT(shadowed.sumRgb(), 0.0);
    EXPECT_LT(shadowed.sumRgb(), 0.5 * open.sumRgb());
}

TEST_P(LitRender, PanoramaFramesWithStereoAndLights) {
    ASSERT_EQ(api.generateTestCloud(ctx, 30000, 6, 1), 0) << lastError();
    TLCamera camera = lookAt({10.0f, 15.0f, 40.0f}, {0.0f, 0.0f, 0.0f}, 60.0f);
    camera.projection = 1;
    camera.lonMin = -180.0f;
    camera.lonMax = 180.0f;
    camera.latMin = -90.0f;
    camera.latMax = 90.0f;
    camera.eyeOffset = 0.3f;
    camera.poleModeTop = 1;
    camera.poleAngleTop = 30.0f;
    TLRenderSettings s = litSettings(96, 48, 2.0f);
    s.samples = 2;
    s.shutter = 5.0f;
    s.ambient = 0.05f;
    TLLight bulb{};
    bulb.position[1] = 20.0f;
    bulb.color[0] = bulb.color[1] = bulb.color[2] = 1.0f;
    bulb.castShadows = 1;
    const std::vector<TLLight> lights = {bulb, sunFrom(0.2f, -1.0f, 0.1f, 1)};
    Image img;
    ASSERT_EQ(render(camera, s, lights, &img), 0) << lastError();
    EXPECT_TRUE(img.allFiniteWithin01());
    EXPECT_GT(img.sumRgb(), 1.0);
}

TEST_P(LitRender, NullLightArrayWithAPositiveCountIsRefused) {
    ASSERT_EQ(api.generateTestCloud(ctx, 100, 1, 0), 0);
    const TLCamera camera = lookAt({0.0f, 0.0f, 5.0f}, {0.0f, 0.0f, 0.0f}, 50.0f);
    const TLRenderSettings s = litSettings(8, 8, 1.0f);
    EXPECT_EQ(api.render(ctx, &camera, &s, nullptr, 3, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(lastError(), "tlRender: invalid parameters");
    EXPECT_EQ(api.render(ctx, &camera, &s, nullptr, 0, nullptr, nullptr, nullptr), 0) << lastError();
}

INSTANTIATE_FOR_ALL_LIBRARIES(LitRender);

#if defined(TALUNA_CUDA_LIBRARY)
// The CPU library as the reference for the GPU library on the lighting path.
TEST(LitParity, SameLitFramesOnBothLibraries) {
    taluna::Api gpu, cpu;
    std::string error;
    ASSERT_TRUE(gpu.load(TALUNA_CUDA_LIBRARY, &error)) << error;
    ASSERT_TRUE(cpu.load(TALUNA_CPU_LIBRARY, &error)) << error;
    TLContext* g = gpu.create(0);
    ASSERT_NE(g, nullptr);
    if (*gpu.lastError(g)) {
        gpu.destroy(g);
        GTEST_SKIP() << "no CUDA device answers";
    }
    TLContext* c = cpu.create(0);
    ASSERT_EQ(gpu.generateTestCloud(g, 200000, 9, 1), 0);
    ASSERT_EQ(cpu.generateTestCloud(c, 200000, 9, 1), 0);

    TLLight bulb{};
    bulb.position[1] = 10.0f;
    bulb.color[0] = 1.0f, bulb.color[1] = 0.8f, bulb.color[2] = 0.6f;
    bulb.falloff = 4;
    bulb.range = 60.0f;
    bulb.castShadows = 1;
    TLLight spot = bulb;
    spot.kind = 1;
    spot.position[1] = 80.0f;
    spot.direction[1] = -1.0f;
    spot.outerAngle = 50.0f;
    spot.innerAngle = 30.0f;
    struct Case {
        const char* name;
        TLCamera camera;
        TLRenderSettings settings;
        std::vector<TLLight> lights;
    };
    std::vector<Case> cases;
    TLRenderSettings base = litSettings(320, 180, 2.0f);
    base.ambient = 0.05f;
    base.anisotropy = 0.4f;
    base.shadowMapSize = 256;
    cases.push_back({"no-lights", lookAt({0, 120, 220}, {0, 0, 0}, 45), base, {}});
    cases.push_back({"sun-shadows", lookAt({0, 120, 220}, {0, 0, 0}, 45), base, {sunFrom(0.4f, -1, 0.2f, 1)}});
    TLRenderSettings jittered = base;
    jittered.samples = 4;
    jittered.jitterCount = 2;
    jittered.jitterSigma = 0.5f;
    jittered.shutter = 10.0f;
    cases.push_back({"point-spot-jitter-blur", lookAt({0, 60, 160}, {0, 0, 0}, 50), jittered, {bulb, spot}});
    TLCamera pano = lookAt({10, 20, 60}, {0, 0, 0}, 60);
    pano.projection = 1;
    pano.eyeOffset = 0.5f;
    pano.convergence = 50.0f;
    cases.push_back({"panorama-stereo", pano, base, {bulb}});

    for (const Case& k : cases) {
        const size_t pixels = static_cast<size_t>(k.settings.width) * k.settings.height;
        std::vector<TLFloat4> fg(pixels), fc(pixels);
        std::vector<TLUChar4> bg(pixels), bc(pixels);
        const int n = static_cast<int>(k.lights.size());
        ASSERT_EQ(gpu.render(g, &k.camera, &k.settings, k.lights.data(), n, bg.data(), fg.data(), nullptr), 0)
            << k.name << ": " << gpu.lastError(g);
        ASSERT_EQ(cpu.render(c, &k.camera, &k.settings, k.lights.data(), n, bc.data(), fc.data(), nullptr), 0)
            << k.name << ": " << cpu.lastError(c);
        double maxDiff = 0, covered = 0;
        int maxByte = 0;
        for (size_t i = 0; i < pixels; ++i) {
            const float* a = &fg[i].x;
            const float* b = &fc[i].x;
            for (int ch = 0; ch < 4; ++ch) maxDiff = std::max(maxDiff, std::fabs(static_cast<double>(a[ch]) - b[ch]));
            const uint8_t* p = &bg[i].x;
            const uint8_t* q = &bc[i].x;
            for (int ch = 0; ch < 4; ++ch) maxByte = std::max(maxByte, std::abs(p[ch] - q[ch]));
            covered += fc[i].w;
        }
        std::printf("lit parity %-24s largest float difference %.3g, largest byte difference %d\n", k.name, maxDiff,
                    maxByte);
        EXPECT_GT(covered, 1.0) << k.name << ": the frame shows something";
        EXPECT_LT(maxDiff, 1e-3) << k.name;
        EXPECT_LE(maxByte, 2) << k.name;
    }
    gpu.destroy(g);
    cpu.destroy(c);
}
#endif

}  // namespace
