// tlRender's buffers and failure paths, with runtime failures injected into the CPU backend: every
// message of the render driver and what each failure leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/context.h"
#include "gpu/cpu_launch.h"

namespace {

using tl::gpu::cpu::FaultSite;

class RenderDriver : public ::testing::Test {
protected:
    void SetUp() override {
        ctx = tlCreate(0);
        ASSERT_NE(ctx, nullptr);
        ASSERT_STREQ(tlLastError(ctx), "");
        const TLV3 p{0.0f, 0.0f, -1.0f};
        ASSERT_EQ(tlReserve(ctx, 1, 0), 0);
        ASSERT_EQ(tlUpload(ctx, &p, nullptr, nullptr, 1, 0), 0);
        std::memset(&camera, 0, sizeof camera);
        camera.target = TLV3{0.0f, 0.0f, -1.0f};
        camera.up = TLV3{0.0f, 1.0f, 0.0f};
        camera.fovY = 90.0f;
        setSize(8, 6);
    }
    void TearDown() override {
        tl::gpu::cpu::clearFaults();
        tl::gpu::getLastError();
        tlDestroy(ctx);
    }
    void setSize(int width, int height) {
        std::memset(&settings, 0, sizeof settings);
        settings.width = width;
        settings.height = height;
        settings.intensity = 1.0f;
        settings.exposure = 1.0f;
        settings.samples = 1;
        rgba.assign(static_cast<size_t>(width) * height, TLUChar4{9, 9, 9, 9});
        floats.assign(static_cast<size_t>(width) * height, TLFloat4{-1, -1, -1, -1});
    }
    int render(bool bytes = true, bool floatImage = true) {
        ms = -1.0f;
        return tlRender(ctx, &camera, &settings, nullptr, 0, bytes ? rgba.data() : nullptr,
                        floatImage ? floats.data() : nullptr, &ms);
    }
    void failNth(FaultSite site, uint64_t n, tl::gpu::Error err = tl::gpu::kErrorMemoryAllocation) {
        tl::gpu::cpu::injectFault(site, n, err);
    }
    std::string lastError() const { return tlLastError(ctx); }

    TLContext* ctx = nullptr;
    TLCamera camera;
    TLRenderSettings settings;
    std::vector<TLUChar4> rgba;
    std::vector<TLFloat4> floats;
    float ms = -1.0f;
};

}  // namespace

TEST_F(RenderDriver, BuffersFollowTheImageSizeOnly) {
    ASSERT_EQ(render(), 0) << lastError();
    EXPECT_EQ(ctx->width, 8);
    EXPECT_EQ(ctx->height, 6);
    const void* before[] = {ctx->accumulator, ctx->image, ctx->imageFloat, ctx->totalDepth};
    for (const void* p : before) EXPECT_NE(p, nullptr);

    // The same size again allocates nothing: an allocation armed to fail is never reached.
    failNth(FaultSite::Allocation, 1);
    ASSERT_EQ(render(), 0) << lastError();
    const void* after[] = {ctx->accumulator, ctx->image, ctx->imageFloat, ctx->totalDepth};
    for (int b = 0; b < 4; ++b) EXPECT_EQ(after[b], before[b]);

    // A new size frees and allocates all four, in order.
    setSize(10, 6);
    EXPECT_EQ(render(), 1);
    EXPECT_EQ(lastError(), "cudaMalloc accumulator: out of memory");
    tl::gpu::cpu::clearFaults();
    ASSERT_EQ(render(), 0) << lastError();
    EXPECT_EQ(ctx->width, 10);
    EXPECT_EQ(ctx->height, 6);
    EXPECT_EQ(rgba[3 * 10 + 5].x, 207);
}

TEST_F(RenderDriver, AllocationFailuresLeaveNoRecordedSize) {
    const char* expected[] = {"cudaMalloc accumulator: out of memory", "cudaMalloc image: out of memory",
                              "cudaMalloc image (float): out of memory", "cudaMalloc total depth: out of memory"};
    for (uint64_t n = 1; n <= 4; ++n) {
        setSize(8 + static_cast<int>(n), 6);  // a new size every time: every call allocates
        failNth(FaultSite::Allocation, n);
        EXPECT_EQ(render(), 1);
        EXPECT_EQ(lastError(), expected[n - 1]);
        EXPECT_EQ(ctx->width, 0);
        EXPECT_EQ(ctx->height, 0);
        EXPECT_EQ(ms, -1.0f);
        EXPECT_EQ(floats[0].x, -1.0f);
        tl::gpu::cpu::clearFaults();
        // The next call starts over, even at the same size.
        ASSERT_EQ(render(), 0) << lastError();
        EXPECT_EQ(ctx->width, 8 + static_cast<int>(n));
        EXPECT_FLOAT_EQ(floats[3 * settings.width + settings.width / 2].w, 0.6321206f);
    }
}

TEST_F(RenderDriver, RefusedSizesTouchNothing) {
    ASSERT_EQ(render(), 0);
    const void* accumulator = ctx->accumulator;
    setSize(1, 1);
    settings.width = 65536;
    settings.height = 32768;  // 2^31 pixels
    failNth(FaultSite::Allocation, 1);
    EXPECT_EQ(tlRender(ctx, &camera, &settings, nullptr, 0, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(lastError(), "tlRender: invalid parameters");
    EXPECT_EQ(ctx->accumulator, accumulator);
    EXPECT_EQ(ctx->width, 8);
    // The armed allocation was never reached: it fails the next size change instead.
    setSize(3, 3);
    EXPECT_EQ(render(), 1);
    EXPECT_EQ(lastError(), "cudaMalloc accumulator: out of memory");
}

TEST_F(RenderDriver, LaunchAndRunFailures) {
    struct Case {
        FaultSite site;
        uint64_t n;
        const char* message;
    };
    const Case cases[] = {
        {FaultSite::Launch, 1, "launch render kernel: out of memory"},  // kSplat refused
        {FaultSite::Launch, 2, "launch render kernel: out of memory"},  // kResolve refused
        {FaultSite::Memset, 1, "launch render kernel: out of memory"},  // the unexamined clear
        {FaultSite::Synchronize, 1, "run render kernel: out of memory"},
    };
    for (const Case& c : cases) {
        failNth(c.site, c.n);
        EXPECT_EQ(render(), 1);
        EXPECT_EQ(lastError(), c.message);
        EXPECT_EQ(ms, -1.0f) << c.message;
        EXPECT_EQ(rgba[0].x, 9) << "nothing copied";
        tl::gpu::cpu::clearFaults();
        // The buffers and their size survive; the next frame renders.
        EXPECT_EQ(ctx->width, 8);
        ASSERT_EQ(render(), 0) << lastError();
        EXPECT_EQ(rgba[3 * 8 + 4].x, 207);
        setSize(8, 6);
    }
}

TEST_F(RenderDriver, DownloadFailures) {
    failNth(FaultSite::Copy, 1);
    EXPECT_EQ(render(), 1);
    EXPECT_EQ(lastError(), "download image: out of memory");
    EXPECT_GE(ms, 0.0f) << "the time is written before the copies";
    EXPECT_EQ(floats[0].x, -1.0f);

    // Only the float image asked for: its copy is the first.
    setSize(8, 6);
    failNth(FaultSite::Copy, 1);
    EXPECT_EQ(render(false, true), 1);
    EXPECT_EQ(lastError(), "download image (float): out of memory");

    // Both asked for: the 8-bit image arrives before the float copy fails.
    setSize(8, 6);
    failNth(FaultSite::Copy, 2);
    EXPECT_EQ(render(), 1);
    EXPECT_EQ(lastError(), "download image (float): out of memory");
    EXPECT_EQ(rgba[3 * 8 + 4].x, 207);
    EXPECT_EQ(floats[0].x, -1.0f);

    tl::gpu::cpu::clearFaults();
    ASSERT_EQ(render(), 0) << lastError();
}
