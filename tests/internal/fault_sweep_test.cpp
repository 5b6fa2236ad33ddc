// Each runtime call of a job fails in turn: "step: runtime text", then the context does the job as if unharmed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "api/context.h"
#include "cpu/launch.h"

namespace {

using tl::gpu::cpu::FaultSite;

constexpr int kWidth = 24, kHeight = 16, kPixels = kWidth * kHeight;

struct Images {
    std::vector<TLUChar4> rgba = std::vector<TLUChar4>(kPixels);
    std::vector<TLFloat4> floats = std::vector<TLFloat4>(kPixels);
};

class FaultSweep : public ::testing::Test {
protected:
    void TearDown() override { tl::gpu::cpu::clearFaults(); }

    int frame(TLContext* ctx, bool lit, Images& out) {
        TLRenderSettings s = settings;
        s.lightingMode = lit ? 1 : 0;
        return tlRender(ctx, &camera, &s, lights, 2, out.rgba.data(), out.floats.data(), nullptr);
    }

    // Fails the n-th runtime call of job on a new context, n = 1, 2, ... until none fails; returns the count.
    int sweep(const std::function<int(TLContext*, Images&)>& job, const std::function<void(TLContext*)>& setup) {
        Images reference;
        TLContext* clean = tlCreate(0);
        setup(clean);
        EXPECT_EQ(job(clean, reference), 0) << tlLastError(clean);
        tlDestroy(clean);
        const std::regex message("[a-zA-Z][a-zA-Z (),]*: unspecified launch failure");
        for (uint64_t n = 1;; ++n) {
            TLContext* ctx = tlCreate(0);
            setup(ctx);
            Images got;
            tl::gpu::cpu::injectFault(FaultSite::any, n, tl::gpu::kErrorLaunchFailure);
            const int rc = job(ctx, got);
            tl::gpu::cpu::clearFaults();
            if (rc == 0) {
                tlDestroy(ctx);
                return static_cast<int>(n - 1);
            }
            EXPECT_TRUE(std::regex_match(tlLastError(ctx), message)) << "call " << n << ": " << tlLastError(ctx);
            EXPECT_EQ(job(ctx, got), 0) << "after call " << n << " failed: " << tlLastError(ctx);
            float worst = 0.0f;
            int worstByte = 0;
            for (int i = 0; i < kPixels; ++i) {
                for (int ch = 0; ch < 4; ++ch)
                    worst = std::fmax(worst, std::fabs((&got.floats[i].x)[ch] - (&reference.floats[i].x)[ch]));
                worstByte = std::max(worstByte, std::abs(got.rgba[i].y - reference.rgba[i].y));
            }
            EXPECT_TRUE(worst <= 1e-5f && worstByte <= 1) << "after call " << n << ": " << worst << ", " << worstByte;
            tlDestroy(ctx);
        }
    }

    TLCamera camera{.eye = {0, 60, 160}, .up = {0, 1, 0}, .fovY = 50};
    TLRenderSettings settings{.width = kWidth, .height = kHeight, .intensity = 1, .exposure = 1, .jitterCount = 1,
                              .jitterSigma = 0.5f, .samples = 2, .density = 2, .ambient = 0.1f, .shadowMapSize = 16,
                              .shadowSlices = 8, .depthSlices = 8};
    TLLight lights[2] = {{.kind = 2, .direction = {0, -1, 0}, .color = {1, 1, 1}, .castShadows = 1},  // a sun: one view
                         {.position = {0, 80, 0}, .color = {1, 1, 1}, .castShadows = 1}};            // a bulb: six
};

TEST_F(FaultSweep, EveryCallOfAFrameFailsInTurnAndTheContextRecovers) {
    auto cloud = [](TLContext* ctx) { ASSERT_EQ(tlGenerateTestCloud(ctx, 400, 5, 1), 0); };
    for (bool lit : {false, true}) {  // a steady frame only clears, launches and downloads
        const int first = sweep([&](TLContext* ctx, Images& out) { return frame(ctx, lit, out); }, cloud);
        auto warm = [&](TLContext* ctx) {
            cloud(ctx);
            Images unused;
            ASSERT_EQ(frame(ctx, lit, unused), 0);
        };
        const int steady = sweep([&](TLContext* ctx, Images& out) { return frame(ctx, lit, out); }, warm);
        EXPECT_GE(first, lit ? 20 : 9) << "lit " << lit;
        EXPECT_EQ(first - steady, lit ? 8 : 4) << "lit " << lit << ": the allocations of a first frame alone";
    }
}

TEST_F(FaultSweep, StoreCallsAndCreationFailInTurn) {
    const std::vector<TLV3> points = {{1, 2, 3}, {-4, 5, -6}, {7, -8, 9}};
    auto store = [&](TLContext* ctx, Images& out) {
        return tlReserve(ctx, 3, 1) || tlUpload(ctx, points.data(), nullptr, points.data(), 2, 0) ||
               tlUpload(ctx, points.data() + 2, nullptr, nullptr, 1, 2) || frame(ctx, false, out);
    };
    EXPECT_GE(sweep(store, [](TLContext*) {}), 12);
    for (uint64_t n = 1; n <= 3; ++n) {  // the device, then either event
        tl::gpu::cpu::injectFault(FaultSite::any, n, tl::gpu::kErrorLaunchFailure);
        TLContext* ctx = tlCreate(0);
        tl::gpu::cpu::clearFaults();
        EXPECT_STREQ(tlLastError(ctx), "Could not initialize CUDA device") << "call " << n;
        EXPECT_EQ(bool(ctx->startEvent), n == 3) << "an event created before the failure is kept, then released";
        tlDestroy(ctx);
    }
}

}  // namespace
