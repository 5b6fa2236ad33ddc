// Every failure of the lighting path through tlRender, injected into the CPU runtime one call at a
// time: the message of its step, what the caller's outputs hold afterwards, and that the next frame
// of the same context equals the frame of a context that never failed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api/context.h"
#include "gpu/cpu_launch.h"

namespace {

using tl::gpu::cpu::FaultSite;

constexpr int kWidth = 16, kHeight = 12, kPixels = kWidth * kHeight;

class LitFailures : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&camera, 0, sizeof camera);
        camera.eye = TLV3{0.0f, 60.0f, 160.0f};
        camera.up = TLV3{0.0f, 1.0f, 0.0f};
        camera.fovY = 50.0f;
        std::memset(&settings, 0, sizeof settings);
        settings.width = kWidth;
        settings.height = kHeight;
        settings.intensity = 1.0f;
        settings.exposure = 1.0f;
        settings.samples = 2;
        settings.density = 2.0f;
        settings.ambient = 0.1f;
        settings.shadowMapSize = 16;
        settings.shadowSlices = 8;
        settings.depthSlices = 8;
        std::memset(lights, 0, sizeof lights);
        lights[0].kind = 2;  // a sun: one shadow view
        lights[0].direction[1] = -1.0f;
        lights[1].kind = 0;  // a bulb: six
        lights[1].position[1] = 80.0f;
        for (TLLight& l : lights) {
            l.color[0] = l.color[1] = l.color[2] = 1.0f;
            l.castShadows = 1;
        }
    }
    void TearDown() override {
        tl::gpu::cpu::clearFaults();
        tl::gpu::getLastError();
        for (TLContext* c : contexts) tlDestroy(c);
    }

    // A context with a cloud whose per-pixel buffers exist (a plain frame allocated them), so a lit
    // frame's allocations are the pass's own, counted from 1.
    TLContext* prepared() {
        TLContext* ctx = tlCreate(0);
        contexts.push_back(ctx);
        EXPECT_EQ(tlGenerateTestCloud(ctx, 400, 5, 0), 0) << tlLastError(ctx);
        EXPECT_EQ(tlRender(ctx, &camera, &settings, nullptr, 0, nullptr, nullptr, nullptr), 0) << tlLastError(ctx);
        return ctx;
    }
    int litFrame(TLContext* ctx, std::vector<TLUChar4>& rgba, std::vector<TLFloat4>& floats, float* ms) {
        TLRenderSettings s = settings;
        s.lightingMode = 1;
        return tlRender(ctx, &camera, &s, lights, 2, rgba.data(), floats.data(), ms);
    }

    TLCamera camera;
    TLRenderSettings settings;
    TLLight lights[2];
    std::vector<TLContext*> contexts;
};

TEST_F(LitFailures, EveryStepFailsWithItsMessageAndTheContextRecovers) {
    std::vector<TLUChar4> refRgba(kPixels);
    std::vector<TLFloat4> reference(kPixels);
    float refMs = 0.0f;
    ASSERT_EQ(litFrame(prepared(), refRgba, reference, &refMs), 0);

    // Launches: kBounds, kLightSplat, kPrefix for the sun's view and the bulb's six, kCamSplat, its
    // kPrefix, kShade, kResolveVol.
    enum Written { kNothing, kTime, kTimeAndBytes };
    struct Case {
        FaultSite site;
        uint64_t n;
        tl::gpu::Error err;
        const char* message;
        Written written;
    } cases[] = {
        {FaultSite::Allocation, 1, tl::gpu::kErrorMemoryAllocation, "cudaMalloc bounds: out of memory", kNothing},
        {FaultSite::Copy, 1, tl::gpu::kErrorInvalidValue, "init bounds: invalid argument", kNothing},
        {FaultSite::Allocation, 2, tl::gpu::kErrorMemoryAllocation, "cudaMalloc moments: out of memory", kNothing},
        {FaultSite::Memset, 1, tl::gpu::kErrorInvalidValue, "init moments: invalid argument", kNothing},
        {FaultSite::Launch, 1, tl::gpu::kErrorInvalidConfiguration,
         "bounds kernel: invalid configuration argument", kNothing},
        {FaultSite::Copy, 2, tl::gpu::kErrorLaunchFailure, "read bounds: unspecified launch failure", kNothing},
        {FaultSite::Copy, 3, tl::gpu::kErrorLaunchFailure, "read moments: unspecified launch failure", kNothing},
        {FaultSite::Allocation, 3, tl::gpu::kErrorMemoryAllocation, "cudaMalloc shadow maps: out of memory", kNothing},
        {FaultSite::Memset, 2, tl::gpu::kErrorInvalidValue, "shadow maps: invalid argument", kNothing},
        {FaultSite::Launch, 2, tl::gpu::kErrorLaunchFailure, "shadow maps: unspecified launch failure", kNothing},
        {FaultSite::Launch, 9, tl::gpu::kErrorLaunchFailure, "shadow maps: unspecified launch failure", kNothing},
        {FaultSite::Allocation, 4, tl::gpu::kErrorMemoryAllocation, "cudaMalloc camera depth map: out of memory",
         kNothing},
        {FaultSite::Memset, 3, tl::gpu::kErrorInvalidValue, "camera depth map: invalid argument", kNothing},
        {FaultSite::Launch, 10, tl::gpu::kErrorLaunchFailure, "camera depth map: unspecified launch failure", kNothing},
        {FaultSite::Launch, 11, tl::gpu::kErrorLaunchFailure, "camera depth map: unspecified launch failure", kNothing},
        {FaultSite::Memset, 4, tl::gpu::kErrorInvalidValue, "lighting: invalid argument", kNothing},
        {FaultSite::Launch, 12, tl::gpu::kErrorLaunchFailure, "lighting: unspecified launch failure", kNothing},
        {FaultSite::Launch, 13, tl::gpu::kErrorInvalidConfiguration,
         "launch render kernel: invalid configuration argument", kNothing},
        {FaultSite::Synchronize, 1, tl::gpu::kErrorLaunchFailure, "run render kernel: unspecified launch failure",
         kNothing},
        {FaultSite::Copy, 4, tl::gpu::kErrorLaunchFailure, "download image: unspecified launch failure", kTime},
        {FaultSite::Copy, 5, tl::gpu::kErrorLaunchFailure, "download image (float): unspecified launch failure",
         kTimeAndBytes},
    };
    const TLUChar4 mark{1, 2, 3, 4};
    for (const Case& c : cases) {
        TLContext* ctx = prepared();
        std::vector<TLUChar4> rgba(kPixels, mark);
        std::vector<TLFloat4> floats(kPixels, TLFloat4{-1.0f, -1.0f, -1.0f, -1.0f});
        float ms = -1.0f;
        tl::gpu::cpu::injectFault(c.site, c.n, c.err);
        EXPECT_EQ(litFrame(ctx, rgba, floats, &ms), 1) << c.message;
        EXPECT_EQ(std::string(tlLastError(ctx)), c.message);
        tl::gpu::cpu::clearFaults();
        EXPECT_EQ(tl::gpu::getLastError(), tl::gpu::kSuccess) << c.message << ": the failure was consumed";
        EXPECT_EQ(ms >= 0.0f, c.written != kNothing) << c.message << ": the time is written only after the wait";
        EXPECT_EQ(std::memcmp(&rgba[0], &mark, 4) != 0, c.written == kTimeAndBytes) << c.message;
        EXPECT_EQ(floats[0].x, -1.0f) << c.message << ": no float image";

        ASSERT_EQ(litFrame(ctx, rgba, floats, &ms), 0) << c.message << ", then: " << tlLastError(ctx);
        for (int i = 0; i < kPixels; ++i) {
            // Float sums of several threads may differ in their last bits.
            for (int ch = 0; ch < 4; ++ch) {
                const float a = (&floats[i].x)[ch], b = (&reference[i].x)[ch];
                ASSERT_NEAR(a, b, 1e-5f * std::fmax(1.0f, std::fabs(b))) << c.message << ": pixel " << i;
            }
        }
    }
    // With every step passed, a fourteenth launch, a sixth copy, a fifth fill or allocation would
    // be the frame's next: there are no others.
    for (FaultSite site : {FaultSite::Launch, FaultSite::Copy, FaultSite::Memset, FaultSite::Allocation}) {
        TLContext* ctx = prepared();
        std::vector<TLUChar4> rgba(kPixels);
        std::vector<TLFloat4> floats(kPixels);
        const uint64_t next = site == FaultSite::Launch ? 14 : site == FaultSite::Copy ? 6 : 5;
        tl::gpu::cpu::injectFault(site, next, tl::gpu::kErrorLaunchFailure);
        EXPECT_EQ(litFrame(ctx, rgba, floats, nullptr), 0) << tlLastError(ctx);
        tl::gpu::cpu::clearFaults();
    }
}

}  // namespace
