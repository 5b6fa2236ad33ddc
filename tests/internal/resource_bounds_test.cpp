// Sizes beyond 64 bits or the memory are refused before any allocation; deep-map columns keep their deposits.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "api/context.h"
#include "cpu/launch.h"
#include "kernels/deep_maps.h"

namespace {

using tl::gpu::cpu::FaultSite;

class ResourceBounds : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(ctx = tlCreate(0), nullptr); }
    void TearDown() override { tl::gpu::cpu::clearFaults(), tl::gpu::cpu::limitAllocations(0), tlDestroy(ctx); }
    int render(const TLRenderSettings& s) { return tlRender(ctx, &camera, &s, &bulb, 1, nullptr, nullptr, nullptr); }
    std::string lastError() const { return tlLastError(ctx); }
    TLContext* ctx = nullptr;
    TLCamera camera{.eye = {0, 60, 160}, .up = {0, 1, 0}, .fovY = 50};
    TLRenderSettings settings{.width = 16, .height = 12, .intensity = 1, .exposure = 1, .samples = 1, .density = 1,
                              .shadowMapSize = 16, .shadowSlices = 4, .depthSlices = 4};
    TLLight bulb{.position = {0, 80, 0}, .color = {1, 1, 1}, .castShadows = 1};
};

// Each refused request leaves an allocation armed to fail untouched: none was attempted.
TEST_F(ResourceBounds, RefusalsComeBeforeAnyAllocation) {
    ASSERT_EQ(tlGenerateTestCloud(ctx, 8, 1, 0), 0);
    const TLV3 p{0.0f, 0.0f, 0.0f};
    TLRenderSettings huge = settings, work = settings, litWork;
    huge.width = 65536, huge.height = 32768;    // 2^31 pixels
    work.jitterCount = work.samples = INT_MAX;  // 8 x 2^31 x (2^31 - 1) samples
    litWork = work, litWork.lightingMode = 1;
    const struct { const char* what; std::function<int()> call; std::string message; } cases[] = {
        {"image beyond 2^31 - 1 pixels", [&] { return render(huge); }, "tlRender: invalid parameters"},
        {"samples beyond 2^64, plain", [&] { return render(work); }, "tlRender: invalid parameters"},
        {"samples beyond 2^64, lit", [&] { return render(litWork); }, "tlRender: invalid parameters"},
        {"store bytes beyond 2^64", [&] { return tlReserve(ctx, UINT64_MAX / 16 + 1, 0); },
         "tlReserve: particle count too large"},
        {"test cloud bytes beyond 2^64", [&] { return tlGenerateTestCloud(ctx, UINT64_MAX / 28 + 1, 0, 1); },
         "tlReserve: particle count too large"},
        {"store beyond the memory", [&] { return tlReserve(ctx, 1ull << 50, 0); }, "Not enough VRAM: needs"},
        {"upload whose end wraps", [&] { return tlUpload(ctx, &p, nullptr, nullptr, UINT64_MAX, 2); },
         "tlUpload: capacity exceeded (call tlReserve first)"},
    };
    for (const auto& c : cases) {
        tl::gpu::cpu::injectFault(FaultSite::Allocation, 1, tl::gpu::kErrorMemoryAllocation);
        EXPECT_EQ(c.call(), 1) << c.what;
        EXPECT_EQ(lastError().substr(0, c.message.size()), c.message) << c.what;
        void* probe = nullptr;
        EXPECT_EQ(tl::gpu::malloc(&probe, 16), tl::gpu::kErrorMemoryAllocation) << c.what << ": an allocation ran";
        tl::gpu::cpu::clearFaults();
        EXPECT_EQ(tlGetCount(ctx), 8u) << c.what;
    }
    EXPECT_EQ(render(settings), 0) << lastError();
}

// Deep maps beyond 64 bits are refused without an allocation, beyond the memory by it; no buffer is left.
TEST_F(ResourceBounds, DeepMapSizesBeyondMemoryOrSixtyFourBits) {
    ASSERT_EQ(tlGenerateTestCloud(ctx, 200, 1, 0), 0);
    settings.lightingMode = 1;
    ASSERT_EQ(render(settings), 0) << lastError();
    const struct { int32_t lightKind, mapSize, shadowSlices, depthSlices; bool sizeOverflows; const char* message; } cases[] = {
        {0, 1 << 30, 1 << 30, 4, true, "cudaMalloc shadow maps: size too large"},    // 6 x 2^30 x 2^60 floats
        {2, 1 << 16, 1 << 30, 4, true, "cudaMalloc shadow maps: size too large"},    // 2^62 floats, 2^64 bytes
        {0, 1 << 12, 1 << 20, 4, false, "cudaMalloc shadow maps: out of memory"},    // 2^50 bytes
        {0, 16, 4, INT_MAX, false, "cudaMalloc camera depth map: out of memory"},  // 2^39 floats
    };
    for (const auto& c : cases) {
        TLRenderSettings s = settings;
        s.shadowMapSize = c.mapSize, s.shadowSlices = c.shadowSlices, s.depthSlices = c.depthSlices;
        bulb.kind = c.lightKind;
        if (c.sizeOverflows) tl::gpu::cpu::injectFault(FaultSite::Allocation, 1, tl::gpu::kErrorInvalidValue);
        EXPECT_EQ(render(s), 1) << c.message;
        EXPECT_EQ(lastError(), c.message);
        if (c.sizeOverflows) {
            void* probe = nullptr;
            EXPECT_EQ(tl::gpu::malloc(&probe, 16), tl::gpu::kErrorInvalidValue) << c.message << ": an allocation ran";
            tl::gpu::free(probe);
        }
        EXPECT_EQ(c.depthSlices == 4 ? ctx->lit.shadowMaps.capacity() : ctx->lit.cameraDepth.capacity(), 0u)
            << c.message;
        tl::gpu::cpu::clearFaults();
        EXPECT_EQ(render(settings), 0) << c.message << ", then: " << lastError();
    }
}

// Above 2^24 slices float(slices - 1) rounds (up to 2^31): the index must stay below the count.
TEST(DeepMapColumns, SlicePositionStaysInsideAnyColumn) {
    for (int32_t slices : {2, 4, 1 << 24, (1 << 24) + 1, (1 << 24) + 4, (1 << 30) + 64, INT_MAX - 64, INT_MAX}) {
        for (float depth : {1e30f, float(slices), float(slices) - 0.75f, 1e9f, 0.5f}) {
            const tl::SlicePosition p = tl::slicePosition(depth, 1.0f, slices);
            const tl::SliceShares shares = tl::sliceShares(slices, p, 1.0f);
            EXPECT_TRUE(p.i >= 0 && p.i < slices && p.f >= 0.0f && p.f < 1.0f) << slices << " slices at " << depth;
            EXPECT_TRUE(p.f == 0.0f || p.i + 1 < slices) << slices << " slices at " << depth << ": next one read";
            EXPECT_TRUE(shares.first < slices && shares.second < slices) << slices << " slices at " << depth;
        }
    }
}

}  // namespace
