// Failures of the runtime, injected into the CPU backend: every message of the context, store and
// test-cloud failure tables, and what each failure leaves behind.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "api/context.h"
#include "gpu/cpu_launch.h"

namespace {

using tl::gpu::cpu::FaultSite;

class FaultInjection : public ::testing::Test {
protected:
    void SetUp() override {
        ctx = tlCreate(0);
        ASSERT_NE(ctx, nullptr);
        ASSERT_STREQ(tlLastError(ctx), "");
    }
    void TearDown() override {
        tl::gpu::cpu::clearFaults();
        tlDestroy(ctx);
    }
    void failNth(FaultSite site, uint64_t n, tl::gpu::Error err = tl::gpu::kErrorMemoryAllocation) {
        tl::gpu::cpu::injectFault(site, n, err);
    }
    std::string lastError() const { return tlLastError(ctx); }
    TLContext* ctx = nullptr;
};

TEST_F(FaultInjection, CreationFailsOnEitherEvent) {
    for (uint64_t n : {1, 2}) {
        failNth(FaultSite::Event, n);
        TLContext* c = tlCreate(0);
        ASSERT_NE(c, nullptr);
        EXPECT_STREQ(tlLastError(c), "Could not initialize CUDA device") << "event " << n;
        EXPECT_EQ(c->startEvent != nullptr, n == 2) << "an event created before the failure is kept";
        tlDestroy(c);  // releases it (the leak checker watches)
    }
}

TEST_F(FaultInjection, ReserveAllocationFailuresEmptyTheStore) {
    const char* expected[] = {"cudaMalloc positions: out of memory", "cudaMalloc colors: out of memory",
                              "cudaMalloc velocity: out of memory"};
    for (uint64_t n = 1; n <= 3; ++n) {
        ASSERT_EQ(tlReserve(ctx, 10, 0), 0);
        ASSERT_EQ(tlSetCount(ctx, 10), 0);
        failNth(FaultSite::Allocation, n);
        EXPECT_EQ(tlReserve(ctx, 1000, 1), 1);
        EXPECT_EQ(lastError(), expected[n - 1]);
        EXPECT_EQ(ctx->capacity, 0u);
        EXPECT_EQ(tlGetCount(ctx), 0u);
        EXPECT_EQ(ctx->hasVelocity, 0);
        tl::gpu::getLastError();
    }
    // The context keeps working: the next reservation succeeds.
    EXPECT_EQ(tlReserve(ctx, 1000, 1), 0) << lastError();
    EXPECT_EQ(ctx->capacity, 1000u);
}

TEST_F(FaultInjection, UploadFailuresKeepEarlierPiecesAndTheCount) {
    std::vector<TLV3> pts(50, TLV3{1, 2, 3});
    std::vector<TLUChar4> cols(50, TLUChar4{1, 2, 3, 4});
    ASSERT_EQ(tlReserve(ctx, 100, 1), 0);
    ASSERT_EQ(tlUpload(ctx, pts.data(), nullptr, nullptr, 20, 0), 0);

    struct Case {
        FaultSite site;
        uint64_t n;
        bool colors, velocities;
        const char* message;
    } cases[] = {
        {FaultSite::Copy, 1, true, true, "upload positions: invalid argument"},
        {FaultSite::Copy, 2, true, true, "upload colors: invalid argument"},
        {FaultSite::Memset, 1, false, true, "set colors to white: invalid argument"},
        {FaultSite::Copy, 3, true, true, "upload velocity: invalid argument"},
        {FaultSite::Memset, 2, false, false, "clear velocity: invalid argument"},
    };
    for (const Case& c : cases) {
        failNth(c.site, c.n, tl::gpu::kErrorInvalidValue);
        EXPECT_EQ(tlUpload(ctx, pts.data(), c.colors ? cols.data() : nullptr, c.velocities ? pts.data() : nullptr,
                           50, 30),
                  1);
        EXPECT_EQ(lastError(), c.message);
        EXPECT_EQ(tlGetCount(ctx), 20u) << c.message;
        tl::gpu::cpu::clearFaults();
        tl::gpu::getLastError();
    }
    // Pieces copied before the failure stay: the positions of the last attempt were written.
    EXPECT_EQ(ctx->positions[30].y, 2.0f);
    EXPECT_EQ(tlUpload(ctx, pts.data(), nullptr, nullptr, 50, 30), 0) << lastError();
    EXPECT_EQ(tlGetCount(ctx), 80u);
}

TEST_F(FaultInjection, TestCloudLaunchAndRunFailures) {
    ASSERT_EQ(tlReserve(ctx, 100, 1), 0);
    ASSERT_EQ(tlSetCount(ctx, 5), 0);
    failNth(FaultSite::Launch, 1, tl::gpu::kErrorInvalidConfiguration);
    EXPECT_EQ(tlGenerateTestCloud(ctx, 100, 1, 1), 1);
    EXPECT_EQ(lastError(), "launch generator kernel: invalid configuration argument");
    EXPECT_EQ(tlGetCount(ctx), 5u) << "count as the reservation left it";
    EXPECT_EQ(ctx->velocityValid, 0);

    failNth(FaultSite::Synchronize, 1, tl::gpu::kErrorLaunchFailure);
    EXPECT_EQ(tlGenerateTestCloud(ctx, 100, 1, 1), 1);
    EXPECT_EQ(lastError(), "run generator kernel: unspecified launch failure");
    EXPECT_EQ(tlGetCount(ctx), 5u);

    // A reservation failure keeps its own message.
    failNth(FaultSite::Allocation, 1);
    EXPECT_EQ(tlGenerateTestCloud(ctx, 1000, 1, 0), 1);
    EXPECT_EQ(lastError(), "cudaMalloc positions: out of memory");

    // The failure reported above does not resurface in this call's launch check.
    EXPECT_EQ(tlGenerateTestCloud(ctx, 100, 1, 1), 0) << lastError();
    EXPECT_EQ(tlGetCount(ctx), 100u);
    EXPECT_EQ(ctx->velocityValid, 1);
}

// A device selection that fails in a later call is that call's failure: its work must not go to
// whatever device the thread had current.
TEST_F(FaultInjection, AFailedDeviceSelectionStopsTheCall) {
    ASSERT_EQ(tlGenerateTestCloud(ctx, 50, 1, 0), 0);
    TLCamera camera{};
    camera.eye = TLV3{0.0f, 0.0f, 30.0f};
    camera.up = TLV3{0.0f, 1.0f, 0.0f};
    camera.fovY = 40.0f;
    TLRenderSettings settings{};
    settings.width = 8;
    settings.height = 8;
    settings.intensity = 1.0f;
    std::vector<TLUChar4> rgba(64, TLUChar4{1, 2, 3, 4});
    const TLV3 p{1.0f, 2.0f, 3.0f};
    const std::vector<std::function<int()>> calls = {
        [&] { return tlReserve(ctx, 100, 0); },
        [&] { return tlUpload(ctx, &p, nullptr, nullptr, 1, 0); },
        [&] { return tlGenerateTestCloud(ctx, 20, 1, 0); },
        [&] { return tlRender(ctx, &camera, &settings, nullptr, 0, rgba.data(), nullptr, nullptr); },
    };
    for (size_t c = 0; c < calls.size(); ++c) {
        failNth(FaultSite::Device, 1, tl::gpu::kErrorInvalidDevice);
        EXPECT_EQ(calls[c](), 1) << "call " << c;
        EXPECT_EQ(lastError(), "cudaSetDevice: invalid device ordinal") << "call " << c;
        tl::gpu::cpu::clearFaults();
    }
    EXPECT_EQ(tlGetCount(ctx), 50u) << "nothing was uploaded or generated";
    EXPECT_EQ(rgba[0].x, 1) << "nothing was rendered";
    for (size_t c = 0; c < calls.size(); ++c) EXPECT_EQ(calls[c](), 0) << "call " << c << ": " << lastError();
}

TEST_F(FaultInjection, DeviceBufferAllocationFailure) {
    float* buffer = nullptr;
    uint64_t capacity = 0;
    ASSERT_FALSE(tl::ensureDeviceBuffer(ctx, &buffer, &capacity, 16, "shadow maps"));
    failNth(FaultSite::Allocation, 1);
    EXPECT_TRUE(tl::ensureDeviceBuffer(ctx, &buffer, &capacity, 32, "shadow maps"));
    EXPECT_EQ(lastError(), "shadow maps: out of memory");
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(capacity, 0u);
    EXPECT_FALSE(tl::ensureDeviceBuffer(ctx, &buffer, &capacity, 32, "shadow maps"));
    tl::gpu::free(buffer);
}

}  // namespace
