// The CPU library is the reference for every other library built: each frame of the table renders on
// all of them and the images agree within the case's tolerance (a GPU adds floats in another order).
// One line per case and library: "parity <library> <case> ...". Skips where no second library answers.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <list>

#include "api/library_fixture.h"

namespace {

struct Case {
    const char* name;
    uint64_t cloudSize;
    uint32_t cloudSeed;
    TLCamera camera;
    TLRenderSettings settings;
    std::vector<TLLight> lights;
    double floatBelow;  // the largest float difference stays below this
    int bytesAtMost;    // the largest 8-bit difference at most this
};

TLRenderSettings plain(int samples, int jitter, float shutter = 0) {
    return {.width = 320, .height = 180, .intensity = 0.5f, .exposure = 1, .jitterCount = jitter,
            .jitterSigma = 0.6f, .samples = samples, .shutter = shutter, .seed = 7};
}

TLRenderSettings lit(int samples = 1, int jitter = 0, float shutter = 0) {
    return {.width = 320, .height = 180, .intensity = 1, .exposure = 1, .jitterCount = jitter, .jitterSigma = 0.5f,
            .samples = samples, .shutter = shutter, .seed = 5, .lightingMode = 1, .density = 2, .ambient = 0.05f,
            .anisotropy = 0.4f, .shadowMapSize = 256, .shadowSlices = 32, .depthSlices = 32};
}

std::vector<Case> cases() {
    const TLCamera front = lookAt({0, 120, 220}, {0, 0, 0}, 45), near = lookAt({0, 60, 160}, {0, 0, 0}, 50);
    const TLCamera dof{.eye = {0, 60, 160}, .up = {0, 1, 0}, .fovY = 45, .focusDistance = 170, .aperture = 3};
    const TLCamera pano{.eye = {10, 20, 60}, .up = {0, 1, 0}, .fovY = 45, .projection = 1, .lonMin = -180,
                        .lonMax = 180, .latMin = -90, .latMax = 90, .eyeOffset = 0.5f, .convergence = 50,
                        .poleModeTop = 1, .poleModeBottom = 2, .poleAngleTop = 30, .poleAngleBottom = 20,
                        .poleExponentBottom = 2};
    const TLCamera litPano{.eye = {10, 20, 60}, .up = {0, 1, 0}, .fovY = 60, .projection = 1, .eyeOffset = 0.5f,
                           .convergence = 50};
    const TLLight sun{.kind = 2, .direction = {0.4f, -1, 0.2f}, .color = {1, 1, 1}, .castShadows = 1};
    const TLLight bulb{.position = {0, 10, 0}, .color = {1, 0.8f, 0.6f}, .falloff = 4, .range = 60, .castShadows = 1};
    const TLLight spot{.kind = 1, .position = {0, 80, 0}, .direction = {0, -1, 0}, .color = {1, 0.8f, 0.6f},
                       .outerAngle = 50, .innerAngle = 30, .falloff = 4, .range = 60, .castShadows = 1};
    return {
        {"perspective", 300000, 11, front, plain(1, 0), {}, 1e-4, 1},
        {"samples4-jitter3", 300000, 11, front, plain(4, 3), {}, 1e-4, 1},
        {"depth-of-field", 300000, 11, dof, plain(2, 0), {}, 1e-4, 1},
        {"motion-blur", 300000, 11, front, plain(2, 0, 20), {}, 1e-4, 1},
        {"panorama-stereo-poles", 300000, 11, pano, plain(1, 1), {}, 1e-4, 1},
        {"lit-no-light", 200000, 9, front, lit(), {}, 1e-3, 2},
        {"lit-sun-shadows", 200000, 9, front, lit(), {sun}, 1e-3, 2},
        {"lit-point-shadows", 200000, 9, near, lit(4, 2, 10), {bulb}, 1e-3, 2},
        {"lit-spot", 200000, 9, near, lit(4, 2, 10), {spot}, 1e-3, 2},
        {"lit-panorama-stereo", 200000, 9, litPano, lit(), {bulb}, 1e-3, 2},
    };
}

struct Backend {
    const char* name;
    taluna::Api api;
    TLContext* ctx = nullptr;
    ~Backend() {
        if (ctx) api.destroy(ctx);
    }
};

TEST(BackendParity, EveryCaseAgreesWithTheCpuLibrary) {
    std::list<Backend> backends;  // the CPU library first
    for (const LibraryParam& lib : allLibraries()) {
        Backend& b = backends.emplace_back();
        b.name = lib.name;
        std::string error;
        ASSERT_TRUE(b.api.load(lib.path, &error)) << error;
        ASSERT_NE(b.ctx = b.api.create(0), nullptr);
        if (!*b.api.lastError(b.ctx)) continue;
        std::printf("%s: %s\n", lib.name, b.api.lastError(b.ctx));
        ASSERT_STRNE(lib.name, "cpu") << "the reference must answer";
        backends.pop_back();
    }
    if (backends.size() < 2) GTEST_SKIP() << "no CUDA device answers: nothing to compare with the CPU library";

    uint64_t size = 0;
    for (const Case& k : cases()) {
        for (Backend& b : backends)
            if (k.cloudSize != size) ASSERT_EQ(b.api.generateTestCloud(b.ctx, k.cloudSize, k.cloudSeed, 1), 0);
        size = k.cloudSize;
        std::vector<Image> img;
        for (Backend& b : backends)
            ASSERT_EQ(img.emplace_back().render(b.api, b.ctx, k.camera, k.settings, k.lights), 0)
                << k.name << " on " << b.name << ": " << b.api.lastError(b.ctx);
        double covered = 0;
        for (const TLFloat4& p : img[0].px) covered += p.w;
        EXPECT_GT(covered, 1.0) << k.name << ": the frame shows something";
        auto b = std::next(backends.begin());
        for (size_t i = 1; i < img.size(); ++i, ++b) {
            double maxFloat = 0;
            int maxByte = 0;
            for (size_t q = 0; q < img[0].px.size(); ++q)
                for (int c = 0; c < 4; ++c) {
                    maxFloat = std::max(maxFloat, std::fabs(double((&img[0].px[q].x)[c]) - (&img[i].px[q].x)[c]));
                    maxByte = std::max(maxByte, std::abs((&img[0].rgba[q].x)[c] - (&img[i].rgba[q].x)[c]));
                }
            std::printf("parity %s %-22s largest float difference %.3g (below %.0e), largest byte difference %d "
                        "(at most %d)\n", b->name, k.name, maxFloat, k.floatBelow, maxByte, k.bytesAtMost);
            EXPECT_LT(maxFloat, k.floatBelow) << k.name << " on " << b->name;
            EXPECT_LE(maxByte, k.bytesAtMost) << k.name << " on " << b->name;
        }
    }
}

}  // namespace
