// The CPU library as the reference for the GPU library: the same frames render on both and the images
// agree up to the order of float additions. Skips where no CUDA device answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "common/taluna_loader.h"

#if defined(TALUNA_CUDA_LIBRARY)

namespace {

struct Backend {
    taluna::Api api;
    TLContext* ctx = nullptr;
    ~Backend() {
        if (ctx) api.destroy(ctx);
    }
};

struct Frame {
    const char* name;
    TLCamera camera;
    TLRenderSettings settings;
    std::vector<TLLight> lights;
};

TLCamera lookAt(TLV3 eye) {
    TLCamera c{};
    c.eye = eye;
    c.target = TLV3{0, 0, 0};
    c.up = TLV3{0, 1, 0};
    c.fovY = 45;
    return c;
}

TLRenderSettings plain(int samples, int jitter) {
    TLRenderSettings s{};
    s.width = 320;
    s.height = 180;
    s.intensity = 0.5f;
    s.exposure = 1.0f;
    s.samples = samples;
    s.jitterCount = jitter;
    s.jitterSigma = 0.6f;
    s.seed = 7;
    return s;
}

std::vector<Frame> frames() {
    std::vector<Frame> out;
    out.push_back({"perspective", lookAt({0, 120, 220}), plain(1, 0), {}});
    out.push_back({"samples4-jitter3", lookAt({0, 120, 220}), plain(4, 3), {}});
    Frame dof{"depth-of-field", lookAt({0, 60, 160}), plain(2, 0), {}};
    dof.camera.focusDistance = 170;
    dof.camera.aperture = 3;
    out.push_back(dof);
    Frame blur{"motion-blur", lookAt({0, 120, 220}), plain(2, 0), {}};
    blur.settings.shutter = 20;
    out.push_back(blur);
    Frame pano{"panorama-stereo", lookAt({10, 20, 60}), plain(1, 1), {}};
    pano.camera.projection = 1;
    pano.camera.lonMin = -180;
    pano.camera.lonMax = 180;
    pano.camera.latMin = -90;
    pano.camera.latMax = 90;
    pano.camera.eyeOffset = 0.5f;
    pano.camera.convergence = 50;
    pano.camera.poleModeTop = 1;
    pano.camera.poleAngleTop = 30;
    pano.camera.poleModeBottom = 2;
    pano.camera.poleAngleBottom = 20;
    pano.camera.poleExponentBottom = 2;
    out.push_back(pano);
    return out;
}

TEST(BackendParity, SameFramesOnBothLibraries) {
    Backend gpu, cpu;
    std::string error;
    ASSERT_TRUE(gpu.api.load(TALUNA_CUDA_LIBRARY, &error)) << error;
    ASSERT_TRUE(cpu.api.load(TALUNA_CPU_LIBRARY, &error)) << error;
    gpu.ctx = gpu.api.create(0);
    ASSERT_NE(gpu.ctx, nullptr);
    if (*gpu.api.lastError(gpu.ctx)) GTEST_SKIP() << "no CUDA device answers";
    cpu.ctx = cpu.api.create(0);
    ASSERT_STREQ(cpu.api.lastError(cpu.ctx), "");

    for (Backend* b : {&gpu, &cpu}) ASSERT_EQ(b->api.generateTestCloud(b->ctx, 300000, 11, 1), 0);

    for (const Frame& f : frames()) {
        const size_t pixels = static_cast<size_t>(f.settings.width) * f.settings.height;
        std::vector<TLFloat4> imgGpu(pixels), imgCpu(pixels);
        std::vector<TLUChar4> rgbGpu(pixels), rgbCpu(pixels);
        ASSERT_EQ(gpu.api.render(gpu.ctx, &f.camera, &f.settings, f.lights.data(), static_cast<int>(f.lights.size()),
                                 rgbGpu.data(), imgGpu.data(), nullptr),
                  0)
            << f.name << ": " << gpu.api.lastError(gpu.ctx);
        ASSERT_EQ(cpu.api.render(cpu.ctx, &f.camera, &f.settings, f.lights.data(), static_cast<int>(f.lights.size()),
                                 rgbCpu.data(), imgCpu.data(), nullptr),
                  0)
            << f.name << ": " << cpu.api.lastError(cpu.ctx);
        double maxDiff = 0, sum = 0;
        int maxByte = 0;
        for (size_t i = 0; i < pixels; ++i) {
            const float* a = &imgGpu[i].x;
            const float* b = &imgCpu[i].x;
            for (int c = 0; c < 4; ++c) maxDiff = std::max(maxDiff, std::fabs(static_cast<double>(a[c]) - b[c]));
            sum += imgCpu[i].w;
            const uint8_t* p = &rgbGpu[i].x;
            const uint8_t* q = &rgbCpu[i].x;
            for (int c = 0; c < 4; ++c) maxByte = std::max(maxByte, std::abs(p[c] - q[c]));
        }
        std::printf("parity %-18s largest float difference %.3g, largest byte difference %d\n", f.name, maxDiff,
                    maxByte);
        EXPECT_GT(sum, 1.0) << f.name << ": the frame shows something";
        EXPECT_LT(maxDiff, 1e-4) << f.name;
        EXPECT_LE(maxByte, 1) << f.name;
    }
}

}  // namespace

#endif
