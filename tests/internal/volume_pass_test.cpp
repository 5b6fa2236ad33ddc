// The volume pass on the CPU runtime: every failure message in the order of the steps (runtime
// failures injected one call at a time), what a failed pass leaves for the next, the launches of an
// empty cloud, grow-only buffers, and the refusal of a null light array with a positive count.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/context.h"
#include "gpu/cpu_launch.h"
#include "render/frame.h"
#include "volume/volume_pass.h"

namespace {

using tl::gpu::cpu::FaultSite;

class VolumePass : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&camera, 0, sizeof camera);
        camera.eye = TLV3{0.0f, 60.0f, 160.0f};
        camera.up = TLV3{0.0f, 1.0f, 0.0f};
        camera.fovY = 50.0f;
        std::memset(&settings, 0, sizeof settings);
        settings.width = 32;
        settings.height = 24;
        settings.intensity = 1.0f;
        settings.exposure = 1.0f;
        settings.samples = 2;
        settings.jitterCount = 1;
        settings.jitterSigma = 0.5f;
        settings.density = 2.0f;
        settings.shadowMapSize = 16;
        settings.shadowSlices = 8;
        settings.depthSlices = 8;
        std::memset(&sun, 0, sizeof sun);
        sun.kind = 2;
        sun.direction[1] = -1.0f;
        sun.direction[2] = -0.3f;
        sun.color[0] = sun.color[1] = sun.color[2] = 1.0f;
        sun.castShadows = 1;
    }
    void TearDown() override {
        tl::gpu::cpu::clearFaults();
        tl::gpu::getLastError();
        for (TLContext* c : contexts) tlDestroy(c);
    }

    // A context holding `particles` galaxy particles whose per-pixel buffers exist (a plain frame
    // allocated them), so the pass is the only thing left to allocate.
    TLContext* prepared(uint64_t particles) {
        TLContext* ctx = tlCreate(0);
        contexts.push_back(ctx);
        if (particles > 0) EXPECT_EQ(tlGenerateTestCloud(ctx, particles, 3, 0), 0) << tlLastError(ctx);
        else EXPECT_EQ(tlReserve(ctx, 16, 0), 0) << tlLastError(ctx);
        EXPECT_EQ(tlRender(ctx, &camera, &settings, nullptr, 0, nullptr, nullptr, nullptr), 0) << tlLastError(ctx);
        return ctx;
    }
    int pass(TLContext* ctx, const TLLight* lights, int32_t count) {
        const TLFrame frame = tl::buildFrame(camera, settings);
        return tl::runVolumePass(ctx, &camera, &settings, &frame, lights, count, nullptr);
    }

    TLCamera camera;
    TLRenderSettings settings;
    TLLight sun;
    std::vector<TLContext*> contexts;
};

TEST_F(VolumePass, EveryFailureInStepOrderAndTheNextPassRecovers) {
    struct Case {
        FaultSite site;
        uint64_t n;
        const char* message;
    } cases[] = {
        {FaultSite::Allocation, 1, "cudaMalloc bounds"},
        {FaultSite::Copy, 1, "init bounds"},
        {FaultSite::Allocation, 2, "cudaMalloc moments"},
        {FaultSite::Memset, 1, "init moments"},
        {FaultSite::Launch, 1, "bounds kernel"},
        {FaultSite::Copy, 2, "read bounds"},
        {FaultSite::Copy, 3, "read moments"},
        {FaultSite::Allocation, 3, "cudaMalloc shadow maps"},
        {FaultSite::Memset, 2, "shadow maps"},  // the clear's error surfaces at the step's check
        {FaultSite::Launch, 2, "shadow maps"},  // kLightSplat
        {FaultSite::Launch, 3, "shadow maps"},  // kPrefix of the one view
        {FaultSite::Allocation, 4, "cudaMalloc camera depth map"},
        {FaultSite::Memset, 3, "camera depth map"},
        {FaultSite::Launch, 4, "camera depth map"},  // kCamSplat
        {FaultSite::Launch, 5, "camera depth map"},  // kPrefix
        {FaultSite::Memset, 4, "lighting"},
        {FaultSite::Launch, 6, "lighting"},  // kShade
    };
    for (const Case& c : cases) {
        TLContext* ctx = prepared(500);
        tl::gpu::cpu::injectFault(c.site, c.n, tl::gpu::kErrorMemoryAllocation);
        EXPECT_EQ(pass(ctx, &sun, 1), 1) << c.message;
        EXPECT_EQ(std::string(tlLastError(ctx)), std::string(c.message) + ": out of memory");
        tl::gpu::cpu::clearFaults();
        EXPECT_EQ(tl::gpu::getLastError(), tl::gpu::kSuccess) << "the failure was consumed when reported";
        EXPECT_EQ(pass(ctx, &sun, 1), 0) << c.message << " then: " << tlLastError(ctx);
    }
    // With every step passed, a seventh launch would be the next one: the pass makes six.
    TLContext* ctx = prepared(500);
    tl::gpu::cpu::injectFault(FaultSite::Launch, 7, tl::gpu::kErrorMemoryAllocation);
    EXPECT_EQ(pass(ctx, &sun, 1), 0);
}

TEST_F(VolumePass, EmptyCloudWithAPointLightBuildsSixViewsAndLaunchesOnlyThePrefixes) {
    TLLight bulb = sun;
    bulb.kind = 0;
    // 6 shadow-map prefixes and the camera prefix: no kBounds, kLightSplat, kCamSplat or kShade.
    for (uint64_t n : {6, 7}) {
        TLContext* ctx = prepared(0);
        tl::gpu::cpu::injectFault(FaultSite::Launch, n, tl::gpu::kErrorMemoryAllocation);
        EXPECT_EQ(pass(ctx, &bulb, 1), 1);
        EXPECT_EQ(std::string(tlLastError(ctx)),
                  n == 6 ? "shadow maps: out of memory" : "camera depth map: out of memory");
    }
    TLContext* ctx = prepared(0);
    tl::gpu::cpu::injectFault(FaultSite::Launch, 8, tl::gpu::kErrorMemoryAllocation);
    ASSERT_EQ(pass(ctx, &bulb, 1), 0) << tlLastError(ctx);
    EXPECT_EQ(ctx->shadowMapsCapacity, 6u * 8u * 16u * 16u);
    EXPECT_EQ(ctx->cameraDepthCapacity, 8u * 32u * 24u);
    std::vector<float> total(32 * 24, -1.0f), acc(32 * 24 * 4, -1.0f);
    tl::gpu::copyToHost(total.data(), ctx->totalDepth, total.size() * sizeof(float));
    tl::gpu::copyToHost(acc.data(), ctx->accumulator, acc.size() * sizeof(float));
    EXPECT_EQ(total, std::vector<float>(total.size(), 0.0f));
    EXPECT_EQ(acc, std::vector<float>(acc.size(), 0.0f));
}

TEST_F(VolumePass, BuffersOnlyGrowAndASteadyPassAllocatesNothing) {
    TLContext* ctx = prepared(2000);
    ASSERT_EQ(pass(ctx, &sun, 1), 0) << tlLastError(ctx);
    const float* maps = ctx->shadowMaps;
    const uint64_t mapCapacity = ctx->shadowMapsCapacity;
    tl::gpu::cpu::injectFault(FaultSite::Allocation, 1, tl::gpu::kErrorMemoryAllocation);
    EXPECT_EQ(pass(ctx, &sun, 1), 0) << "an allocation would have failed: " << tlLastError(ctx);
    tl::gpu::cpu::clearFaults();
    EXPECT_EQ(ctx->shadowMaps, maps);

    // Fewer slices: the larger buffers stay. More: they grow to the new size.
    settings.shadowSlices = 4;
    settings.depthSlices = 4;
    ASSERT_EQ(pass(ctx, &sun, 1), 0);
    EXPECT_EQ(ctx->shadowMapsCapacity, mapCapacity);
    EXPECT_EQ(ctx->cameraDepthCapacity, 8u * 32u * 24u);
    settings.depthSlices = 12;
    ASSERT_EQ(pass(ctx, &sun, 1), 0);
    EXPECT_EQ(ctx->cameraDepthCapacity, 12u * 32u * 24u);
    // A frame without shadow-casting lights leaves the shadow maps alone.
    sun.castShadows = 0;
    tl::gpu::cpu::injectFault(FaultSite::Allocation, 1, tl::gpu::kErrorMemoryAllocation);
    ASSERT_EQ(pass(ctx, &sun, 1), 0) << tlLastError(ctx);
    EXPECT_EQ(ctx->shadowMaps, maps);
}

TEST_F(VolumePass, ASecondIdenticalLitFrameAllocatesNothing) {
    TLContext* ctx = prepared(2000);
    settings.lightingMode = 1;
    TLLight bulb = sun;
    bulb.kind = 0;
    const TLLight lights[2] = {sun, bulb};
    ASSERT_EQ(tlRender(ctx, &camera, &settings, lights, 2, nullptr, nullptr, nullptr), 0) << tlLastError(ctx);
    tl::gpu::cpu::injectFault(FaultSite::Allocation, 1, tl::gpu::kErrorMemoryAllocation);
    EXPECT_EQ(tlRender(ctx, &camera, &settings, lights, 2, nullptr, nullptr, nullptr), 0) << tlLastError(ctx);
}

TEST_F(VolumePass, ShadowMapsTooLargeForAnyAllocationAreRefused) {
    TLContext* ctx = prepared(100);
    settings.shadowMapSize = 1 << 30;
    settings.shadowSlices = 1 << 30;
    EXPECT_EQ(pass(ctx, &sun, 1), 1);
    EXPECT_EQ(std::string(tlLastError(ctx)), "cudaMalloc shadow maps: size too large");
    EXPECT_EQ(ctx->shadowMapsCapacity, 0u);
}

TEST_F(VolumePass, NullLightsWithAPositiveCountAreRefusedBeforeAnyWork) {
    TLContext* ctx = prepared(100);
    EXPECT_EQ(pass(ctx, nullptr, 2), 1);
    EXPECT_STREQ(tlLastError(ctx), "tlRender: invalid parameters");
    EXPECT_EQ(ctx->bounds, nullptr);
    EXPECT_EQ(pass(ctx, nullptr, 0), 0) << "no lights at all is fine";
}

}  // namespace
