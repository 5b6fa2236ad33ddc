// The CPU lit kernels walk the work in their own order yet deposit and shade what the per-item functions do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "kernels/launchers.h"
#include "kernels/lit_shading.h"
#include "render/frame.h"
#include "lit/constants_builder.h"

namespace {

struct Scene {
    TLCamera camera{};
    TLRenderSettings settings{};
    std::vector<TLLight> lights;
};

Scene perspective() {
    const TLLight bulb{.position = {0, 0.3f, 0}, .color = {1, 1, 1}, .castShadows = 1};
    TLLight sun = bulb;
    sun.kind = 2, sun.direction[0] = 0.3f, sun.direction[1] = -1.0f;
    // 97 x 71: several of the walk's bands of 2048 pixels, and an odd size.
    return Scene{{.eye = {1, 3, 6}, .up = {0, 1, 0}, .fovY = 50, .focusDistance = 6, .aperture = 0.05f},
                 {.width = 97, .height = 71, .jitterCount = 2, .jitterSigma = 0.05f, .samples = 3, .shutter = 0.5f,
                  .seed = 9, .ambient = 0.1f, .baseLight = {0, 0.2f, 0}, .anisotropy = 0.4f, .shadowMapSize = 32,
                  .shadowSlices = 8, .depthSlices = 8},
                 {bulb, sun}};
}

Scene panorama() {
    Scene s = perspective();
    s.camera.projection = 1, s.camera.eye = TLV3{0.2f, 0.1f, 0.3f}, s.camera.eyeOffset = 0.05f;
    s.settings.shutter = 0.0f, s.settings.samples = 2;
    return s;
}

class LitWalk : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        std::mt19937 rng(21);
        std::normal_distribution<float> g(0.0f, 1.0f);
        for (size_t i = 0; i < 9000; ++i) {  // several runs of the walk a thread
            positions.push_back(TLV3{g(rng), 0.3f * g(rng), g(rng)});
            velocities.push_back(TLV3{g(rng), g(rng), g(rng)});
            colors.push_back(TLUChar4{static_cast<uint8_t>(i), static_cast<uint8_t>(3 * i), 200, 255});
        }
        scene = GetParam() == 0 ? perspective() : panorama();
        frame = tl::buildFrame(scene.camera, scene.settings);
        const float lo[3] = {-4.0f, -2.0f, -4.0f}, hi[3] = {4.0f, 2.0f, 4.0f};
        mapFloats = tl::buildLitConstants(&scene.camera, &scene.settings, &frame, scene.lights.data(),
                                             static_cast<int32_t>(scene.lights.size()), lo, hi, 0.02f, &vc);
    }

    static void expectClose(const std::vector<float>& a, const std::vector<float>& b, const char* what) {
        ASSERT_EQ(a.size(), b.size());
        double total = 0;
        for (size_t i = 0; i < a.size(); total += b[i], ++i)
            ASSERT_NEAR(a[i], b[i], 1e-4f * (std::fabs(b[i]) + 1e-3f)) << what << " entry " << i;
        EXPECT_GT(total, 0.0) << what << " holds something";
    }

    Scene scene;
    TLFrame frame;
    tl::LitConstants vc{};
    uint64_t mapFloats = 0;
    std::vector<TLV3> positions, velocities; std::vector<TLUChar4> colors;
};

TEST_P(LitWalk, KernelsMatchThePerItemFunctions) {
    const uint64_t per = tl::workPerParticle(frame);
    const uint64_t n = positions.size() * per - per / 2;
    TLFrame lightFrame = frame;
    lightFrame.samples = 1;
    const uint64_t nL = positions.size() * tl::workPerParticle(lightFrame) - 1;
    const tl::LaunchConfig cfg{4, 256};
    const TLV3* v = velocities.data();

    std::vector<float> maps(mapFloats, 0.0f), mapsRef(mapFloats, 0.0f);
    tl::launchLightSplat(cfg, vc, lightFrame, positions.data(), v, nL, maps.data());
    for (uint64_t w = 0; w < nL; ++w) tl::lightSplatItem(vc, lightFrame, positions.data(), v, w, mapsRef.data());
    expectClose(maps, mapsRef, "shadow maps");
    for (int32_t m = 0; m < vc.shadowViewCount; ++m)
        tl::launchPrefix(cfg, mapsRef.data() + vc.shadowViews[m].mapOffset, 32u * 32u, 8, 32u, nullptr);

    const uint64_t pixels = static_cast<uint64_t>(frame.width) * frame.height;
    std::vector<float> depth(pixels * 8, 0.0f), depthRef(pixels * 8, 0.0f);
    tl::launchCamSplat(cfg, vc, frame, positions.data(), v, n, depth.data());
    for (uint64_t w = 0; w < n; ++w) tl::camSplatItem(vc, frame, positions.data(), v, w, depthRef.data());
    expectClose(depth, depthRef, "camera depth map");
    std::vector<float> totals(pixels);
    tl::launchPrefix(cfg, depthRef.data(), pixels, 8, 1, totals.data());

    // Shading follows a camera depth launch. Of the same frame and a whole number of particles, it
    // reuses what that launch projected; of another frame (or a count that ends inside a particle) it
    // must project for itself.
    TLFrame still = frame;  // without motion and lens the walk shades each copy once for all its samples
    still.shutter = still.aperture = 0.0f;
    const uint64_t whole = positions.size() * per;
    tl::LitConstants unlit = vc;  // base light and ambient only
    unlit.lightCount = 0;
    struct Case {
        const TLFrame* splat;
        const TLFrame* shade;
        uint64_t count;
        const tl::LitConstants* constants;
        const char* what;
    };
    for (const Case& c : {Case{&frame, &frame, n, &vc, "accumulator"},
                          Case{&frame, &frame, whole, &vc, "accumulator, whole"},
                          Case{&still, &still, whole, &vc, "accumulator without motion and lens"},
                          Case{&frame, &still, whole, &vc, "accumulator after another frame's depth launch"},
                          Case{&frame, &frame, whole, &unlit, "accumulator without lights"},
                          Case{&still, &still, whole, &unlit, "accumulator without lights, motion and lens"}}) {
        std::vector<float> scratch(pixels * 8, 0.0f), acc(pixels * 4, 0.0f), accRef(pixels * 4, 0.0f);
        std::vector<float> scratchRef(pixels * 8, 0.0f);
        tl::launchCamSplat(cfg, *c.constants, *c.splat, positions.data(), v, c.count, scratch.data());
        for (uint64_t w = 0; w < c.count; ++w)
            tl::camSplatItem(*c.constants, *c.splat, positions.data(), v, w, scratchRef.data());
        expectClose(scratch, scratchRef, c.what);
        tl::launchShade(cfg, *c.constants, *c.shade, positions.data(), colors.data(), v, c.count, mapsRef.data(),
                        depthRef.data(), acc.data());
        for (uint64_t w = 0; w < c.count; ++w)
            tl::shadeItem(*c.constants, *c.shade, positions.data(), colors.data(), v, w, mapsRef.data(),
                          depthRef.data(), accRef.data());
        expectClose(acc, accRef, c.what);
    }
    // A cloud changed in place keeps its kept order (same arrays, same frame): its new values are read.
    std::reverse(positions.begin(), positions.end());
    for (TLUChar4& c : colors) c.y = static_cast<uint8_t>(c.y + 77);
    std::vector<float> acc(pixels * 4, 0.0f), accRef(pixels * 4, 0.0f);
    const TLV3* p = positions.data();
    tl::launchShade(cfg, vc, still, p, colors.data(), v, n, mapsRef.data(), depthRef.data(), acc.data());
    for (uint64_t w = 0; w < n; ++w)
        tl::shadeItem(vc, still, p, colors.data(), v, w, mapsRef.data(), depthRef.data(), accRef.data());
    expectClose(acc, accRef, "accumulator of a cloud changed in place");
}

INSTANTIATE_TEST_SUITE_P(Cameras, LitWalk, ::testing::Values(0, 1),
                         [](const auto& p) { return p.param == 0 ? "perspective" : "panorama"; });

}  // namespace
