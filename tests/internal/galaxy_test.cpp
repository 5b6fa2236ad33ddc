// The procedural galaxy: the hash, the random stream, determinism and the particle relations, read
// back from the particle arrays of the CPU backend.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "api/context.h"
#include "gpu/runtime.h"
#include "kernels/galaxy.h"
#include "kernels/kernels.h"

namespace {

struct Cloud {
    std::vector<TLV3> positions;
    std::vector<TLUChar4> colors;
    std::vector<TLV3> velocity;
};

Cloud readBack(TLContext* ctx, uint64_t n) {
    Cloud c;
    c.positions.resize(n);
    c.colors.resize(n);
    EXPECT_EQ(tl::gpu::copyToHost(c.positions.data(), ctx->positions, n * sizeof(TLV3)), 0);
    EXPECT_EQ(tl::gpu::copyToHost(c.colors.data(), ctx->colors, n * sizeof(TLUChar4)), 0);
    if (ctx->velocity) {
        c.velocity.resize(n);
        EXPECT_EQ(tl::gpu::copyToHost(c.velocity.data(), ctx->velocity, n * sizeof(TLV3)), 0);
    }
    return c;
}

bool sameBits(const void* a, const void* b, size_t bytes) { return std::memcmp(a, b, bytes) == 0; }

class GalaxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ctx = tlCreate(0);
        ASSERT_NE(ctx, nullptr);
        ASSERT_STREQ(tlLastError(ctx), "");
    }
    void TearDown() override { tlDestroy(ctx); }
    TLContext* ctx = nullptr;
};

TEST(GalaxyHash, KnownValues) {
    EXPECT_EQ(tl::lowbias32(0), 0u);
    EXPECT_EQ(tl::lowbias32(1), 0x688990C0u);

    // Seed 0, index 0: the six states of the particle's stream.
    const uint32_t expected0[6] = {0x01FCE552u, 0xA0117BE9u, 0x00E15A61u, 0xBBCAC71Fu, 0x7C111966u, 0x68D27AC3u};
    uint32_t s = tl::galaxyStartState(0, 0);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(s, expected0[k]) << "state " << k;
        s = tl::nextState(s);
    }
    EXPECT_FLOAT_EQ(tl::uniform(expected0[0]), 0x01FCE5 * 0x1p-24f);
    EXPECT_EQ(tl::galaxyStartState(1, 0), 0xB21C8E52u);
    EXPECT_EQ(tl::nextState(0xB21C8E52u), 0xDA25798Cu);

    // The high half of the index is mixed in.
    EXPECT_NE(tl::galaxyStartState(5, 9), tl::galaxyStartState(5 + (1ull << 32), 9));
    EXPECT_NE(tl::galaxyStartState(1ull << 32, 0), tl::galaxyStartState(0, 0));
}

TEST(GalaxyHash, FirstParticlesOfSeedZero) {
    // Index 0: u0 ~ 0.0077651 gives R ~ 0.0259, arm 1 (u1 ~ 0.62527): next to the centre, whose
    // colour is (255, 191, 114); red has just dropped below 255 there.
    tl::GalaxyParticle p0 = tl::galaxyParticle(0, 0);
    const float r0 = 100.0f * std::pow(0x01FCE5 * 0x1p-24f, 1.7f);
    EXPECT_NEAR(r0, 0.0259f, 1e-4f);
    EXPECT_EQ(p0.color.x, 254);
    EXPECT_EQ(p0.color.y, 191);
    EXPECT_EQ(p0.color.z, 114);
    EXPECT_EQ(p0.color.w, 255);
    // Index 1: R ~ 53.97 on arm 2, so t ~ 0.54: colour between the centre and the rim.
    tl::GalaxyParticle p1 = tl::galaxyParticle(1, 0);
    const float t1 = 0.5397f;
    EXPECT_NEAR(p1.color.x, 255.0f * (1.0f - 0.55f * t1), 1.0f);
    EXPECT_NEAR(p1.color.z, 255.0f * (0.45f + 0.55f * t1), 1.0f);
    const float radius = std::sqrt(p1.position.x * p1.position.x + p1.position.z * p1.position.z);
    EXPECT_GT(radius, 25.0f);
    EXPECT_LT(radius, 85.0f);
}

TEST(GalaxyMath, PortableFunctionsMatchTheLibrary) {
    // The backends' shared math must agree with the host's correctly rounded functions to within an
    // ulp or two over the ranges the kernels use.
    auto ulps = [](float a, float b) {
        int32_t ia, ib;
        std::memcpy(&ia, &a, 4);
        std::memcpy(&ib, &b, 4);
        return std::abs(static_cast<int64_t>(ia) - static_cast<int64_t>(ib));
    };
    for (int k = 0; k < 20000; ++k) {
        float x = static_cast<float>(k) * 0.00137f - 13.0f;
        EXPECT_LE(ulps(tl::expF(x), std::exp(x)), 1) << x;
        EXPECT_LE(ulps(tl::sinF(x), std::sin(x)), 1) << x;
        EXPECT_LE(ulps(tl::cosF(x), std::cos(x)), 1) << x;
        EXPECT_LE(ulps(tl::atanF(x), std::atan(x)), 1) << x;
        EXPECT_LE(ulps(tl::atan2F(x, 1.5f - x), std::atan2(x, 1.5f - x)), 1) << x;
        float u = static_cast<float>(k) / 20000.0f + 1e-7f;
        EXPECT_LE(ulps(tl::logF(u), std::log(u)), 1) << u;
        EXPECT_LE(ulps(tl::powF(u, 1.7f), std::pow(u, 1.7f)), 1) << u;
        EXPECT_LE(ulps(tl::powF(u, 0.45454544f), std::pow(u, 0.45454544f)), 1) << u;
        float a = u * 2.0f - 1.0f;
        EXPECT_LE(ulps(tl::asinF(a), std::asin(a)), 1) << a;
    }
    EXPECT_EQ(tl::powF(1.0f, 0.45454544f), 1.0f);
    EXPECT_EQ(tl::powF(0.0f, 0.45454544f), 0.0f);
    EXPECT_TRUE(std::isnan(tl::powF(-0.5f, 0.45454544f)));
    EXPECT_TRUE(std::isinf(tl::logF(0.0f)) && tl::logF(0.0f) < 0);
    EXPECT_EQ(tl::expF(-200.0f), 0.0f);
    EXPECT_TRUE(std::isinf(tl::expF(100.0f)));
    EXPECT_EQ(tl::atan2F(0.0f, -1.0f), static_cast<float>(M_PI));
    EXPECT_EQ(tl::floatToUint(std::nanf("")), 0u);
    EXPECT_EQ(tl::floatToUint(-3.0f), 0u);
    EXPECT_EQ(tl::floatToUint(1e20f), 0xFFFFFFFFu);
    EXPECT_EQ(tl::floatToUint(207.9f), 207u);
}

TEST_F(GalaxyTest, DeterministicAndIndependentOfSizeAndGrid) {
    ASSERT_EQ(tlGenerateTestCloud(ctx, 5000, 42, 1), 0) << tlLastError(ctx);
    Cloud big = readBack(ctx, 5000);
    ASSERT_EQ(tlGenerateTestCloud(ctx, 1000, 42, 1), 0);
    Cloud small = readBack(ctx, 1000);
    EXPECT_TRUE(sameBits(big.positions.data(), small.positions.data(), 1000 * sizeof(TLV3)));
    EXPECT_TRUE(sameBits(big.colors.data(), small.colors.data(), 1000 * sizeof(TLUChar4)));

    // A one-block grid walks the same particles through its grid-stride loop.
    tl::launchGenerateGalaxy({1, 256}, ctx->positions, ctx->colors, ctx->velocity, 5000, 42);
    ASSERT_EQ(tl::gpu::getLastError(), 0);
    Cloud oneBlock = readBack(ctx, 5000);
    EXPECT_TRUE(sameBits(big.positions.data(), oneBlock.positions.data(), 5000 * sizeof(TLV3)));
    EXPECT_TRUE(sameBits(big.velocity.data(), oneBlock.velocity.data(), 5000 * sizeof(TLV3)));

    // Another seed gives another cloud.
    ASSERT_EQ(tlGenerateTestCloud(ctx, 1000, 43, 1), 0);
    Cloud other = readBack(ctx, 1000);
    EXPECT_FALSE(sameBits(big.positions.data(), other.positions.data(), 1000 * sizeof(TLV3)));

    // A refused configuration launches nothing and reports the GPU's error.
    tl::launchGenerateGalaxy({0, 256}, ctx->positions, ctx->colors, nullptr, 10, 1);
    EXPECT_EQ(tl::gpu::getLastError(), tl::gpu::kErrorInvalidConfiguration);
}

TEST_F(GalaxyTest, ColourVelocityAndShapeRelations) {
    const uint64_t n = 20000;
    ASSERT_EQ(tlGenerateTestCloud(ctx, n, 3, 1), 0) << tlLastError(ctx);
    EXPECT_EQ(ctx->velocityValid, 1);
    Cloud c = readBack(ctx, n);
    double sumAbsY = 0;
    float maxR = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const TLV3& p = c.positions[i];
        const TLUChar4& col = c.colors[i];
        ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) << i;
        EXPECT_EQ(col.w, 255);
        EXPECT_GE(col.x, 114);
        EXPECT_GE(col.z, 114);
        EXPECT_GE(col.y, 153);
        EXPECT_LE(col.y, 191);
        // Red falls as blue rises along the radius.
        EXPECT_NEAR(static_cast<float>(col.x) + static_cast<float>(col.z), 369.0f, 2.0f) << i;
        const TLV3& v = c.velocity[i];
        EXPECT_EQ(v.x, -0.03f * p.z);
        EXPECT_EQ(v.y, 0.0f);
        EXPECT_EQ(v.z, 0.03f * p.x);
        sumAbsY += std::fabs(p.y);
        maxR = std::max(maxR, std::sqrt(p.x * p.x + p.z * p.z));
    }
    // A thin disc: the vertical spread is far below the radius.
    EXPECT_LT(sumAbsY / n, 6.0);
    EXPECT_GT(maxR, 90.0f);
    EXPECT_LT(maxR, 200.0f);
}

TEST_F(GalaxyTest, VelocityFlagsFollowTheLastWriter) {
    EXPECT_EQ(ctx->hasVelocity, 0);
    EXPECT_EQ(ctx->velocityValid, 0);
    std::vector<TLV3> pts(100, TLV3{1, 1, 1});
    std::vector<TLV3> vel(100, TLV3{7, 7, 7});
    ASSERT_EQ(tlReserve(ctx, 100, 1), 0);
    EXPECT_EQ(ctx->hasVelocity, 1);
    EXPECT_EQ(ctx->velocityValid, 0);
    ASSERT_EQ(tlUpload(ctx, pts.data(), nullptr, vel.data(), 100, 0), 0);
    EXPECT_EQ(ctx->velocityValid, 1);
    ASSERT_EQ(tlUpload(ctx, pts.data(), nullptr, nullptr, 10, 50), 0);
    EXPECT_EQ(ctx->velocityValid, 1) << "a later piece does not decide";
    Cloud c = readBack(ctx, 100);
    for (int i = 0; i < 100; ++i) {
        const float expect = (i >= 50 && i < 60) ? 0.0f : 7.0f;  // missing velocities are zeros
        EXPECT_EQ(c.velocity[i].x, expect) << i;
        EXPECT_EQ(c.colors[i].x, 255);  // missing colours are opaque white
        EXPECT_EQ(c.colors[i].w, 255);
    }
    ASSERT_EQ(tlUpload(ctx, pts.data(), nullptr, nullptr, 10, 0), 0);
    EXPECT_EQ(ctx->velocityValid, 0) << "the first piece without velocities switches them off";

    // Generating without velocity leaves the old array alone and marks it invalid.
    ASSERT_EQ(tlUpload(ctx, pts.data(), nullptr, vel.data(), 100, 0), 0);
    ASSERT_EQ(tlGenerateTestCloud(ctx, 100, 1, 0), 0);
    EXPECT_EQ(ctx->hasVelocity, 1);
    EXPECT_EQ(ctx->velocityValid, 0);
    c = readBack(ctx, 100);
    EXPECT_EQ(c.velocity[3].x, 7.0f);
    ASSERT_EQ(tlGenerateTestCloud(ctx, 100, 1, 1), 0);
    EXPECT_EQ(ctx->velocityValid, 1);
}

TEST_F(GalaxyTest, GridSizeRule) {
    int sm = 0;
    ASSERT_EQ(tl::gpu::multiProcessorCount(&sm, 0), 0);
    ASSERT_GT(sm, 0);
    EXPECT_EQ(tl::gridSizeFor(ctx, 0, 256), 1u);
    EXPECT_EQ(tl::gridSizeFor(ctx, 256, 256), 1u);
    EXPECT_EQ(tl::gridSizeFor(ctx, 257, 256), 2u);
    EXPECT_EQ(tl::gridSizeFor(ctx, UINT64_MAX, 256), 32u * static_cast<uint32_t>(sm));
}

TEST_F(GalaxyTest, DeviceBufferGrowsOnly) {
    float* buffer = nullptr;
    uint64_t capacity = 0;
    EXPECT_FALSE(tl::ensureDeviceBuffer(ctx, &buffer, &capacity, 100, "test buffer"));
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(capacity, 100u);
    float* first = buffer;
    EXPECT_FALSE(tl::ensureDeviceBuffer(ctx, &buffer, &capacity, 40, "test buffer"));
    EXPECT_EQ(buffer, first);
    EXPECT_EQ(capacity, 100u);
    EXPECT_FALSE(tl::ensureDeviceBuffer(ctx, &buffer, &capacity, 1000, "test buffer"));
    EXPECT_EQ(capacity, 1000u);
    // Far more than the machine holds: refused, the buffer is gone and the text names the step.
    EXPECT_TRUE(tl::ensureDeviceBuffer(ctx, &buffer, &capacity, 1ull << 50, "test buffer"));
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(capacity, 0u);
    EXPECT_STREQ(tlLastError(ctx), "test buffer: out of memory");
    EXPECT_TRUE(tl::ensureDeviceBuffer(ctx, &buffer, &capacity, UINT64_MAX, "test buffer"));
    tl::gpu::free(buffer);
}

}  // namespace
