// The procedural galaxy and the shared math: the hash, the random stream, determinism and the
// particle relations, read back from the particle arrays of the CPU backend.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "api/context.h"
#include "kernels/galaxy.h"

namespace {

struct Cloud {
    std::vector<TLV3> positions, velocity;
    std::vector<TLUChar4> colors;
};

Cloud readBack(TLContext* ctx, uint64_t n) {
    const tl::ParticleStore& s = ctx->store;
    Cloud c{std::vector<TLV3>(n), std::vector<TLV3>(s.velocity.get() ? n : 0), std::vector<TLUChar4>(n)};
    EXPECT_EQ(tl::gpu::copyToHost(c.positions.data(), s.positions.get(), n * sizeof(TLV3)), 0);
    EXPECT_EQ(tl::gpu::copyToHost(c.colors.data(), s.colors.get(), n * sizeof(TLUChar4)), 0);
    EXPECT_EQ(tl::gpu::copyToHost(c.velocity.data(), s.velocity.get(), c.velocity.size() * sizeof(TLV3)), 0);
    return c;
}

TEST(GalaxyHash, KnownValues) {
    EXPECT_EQ(tl::lowbias32(0), 0u);
    EXPECT_EQ(tl::lowbias32(1), 0x688990C0u);
    // Seed 0, index 0: the six states of the particle's stream.
    const uint32_t expected0[6] = {0x01FCE552u, 0xA0117BE9u, 0x00E15A61u, 0xBBCAC71Fu, 0x7C111966u, 0x68D27AC3u};
    uint32_t s = tl::galaxyStartState(0, 0);
    for (int k = 0; k < 6; ++k, s = tl::nextState(s)) EXPECT_EQ(s, expected0[k]) << "state " << k;
    EXPECT_FLOAT_EQ(tl::uniform(expected0[0]), 0x01FCE5 * 0x1p-24f);
    EXPECT_EQ(tl::galaxyStartState(1, 0), 0xB21C8E52u);
    EXPECT_NE(tl::galaxyStartState(5, 9), tl::galaxyStartState(5 + (1ull << 32), 9)) << "the high half is mixed in";

    // Index 0 lands next to the centre (255, 191, 114), red just below 255; index 1 near R 54 on arm 2.
    const tl::GalaxyParticle p0 = tl::galaxyParticle(0, 0), p1 = tl::galaxyParticle(1, 0);
    EXPECT_TRUE(p0.color.x == 254 && p0.color.y == 191 && p0.color.z == 114);
    EXPECT_NEAR(p1.color.x, 255.0f * (1.0f - 0.55f * 0.5397f), 1.0f);
    EXPECT_NEAR(std::hypot(p1.position.x, p1.position.z), 54.0f, 30.0f);
}

TEST(GalaxyMath, PortableFunctionsMatchTheLibrary) {
    // The backends' shared math agrees with the host's correctly rounded functions within an ulp.
    auto ulps = [](float a, float b) {
        return std::abs(static_cast<int64_t>(tl::floatBits(a)) - static_cast<int64_t>(tl::floatBits(b)));
    };
    for (int k = 0; k < 20000; ++k) {
        const float x = static_cast<float>(k) * 0.00137f - 13.0f, u = static_cast<float>(k) / 20000.0f + 1e-7f;
        const float a = u * 2.0f - 1.0f;
        ASSERT_LE(ulps(tl::expF(x), std::exp(x)), 1) << x;
        ASSERT_LE(ulps(tl::sinF(x), std::sin(x)), 1) << x;
        ASSERT_LE(ulps(tl::cosF(x), std::cos(x)), 1) << x;
        ASSERT_LE(ulps(tl::atan2F(x, 1.5f - x), std::atan2(x, 1.5f - x)), 1) << x;
        ASSERT_LE(ulps(tl::logF(u), std::log(u)), 1) << u;
        ASSERT_LE(ulps(tl::powF(u, 1.7f), std::pow(u, 1.7f)), 1) << u;
        ASSERT_LE(ulps(tl::asinF(a), std::asin(a)), 1) << a;
    }
    EXPECT_TRUE(std::isnan(tl::powF(-0.5f, 0.45454544f)));
    EXPECT_TRUE(std::isinf(tl::logF(0.0f)) && tl::logF(0.0f) < 0);
    EXPECT_EQ(tl::expF(-200.0f), 0.0f);
    EXPECT_TRUE(std::isinf(tl::expF(100.0f)));
    EXPECT_EQ(tl::floatToUint(std::nanf("")), 0u);
    EXPECT_EQ(tl::floatToUint(1e20f), 0xFFFFFFFFu);
    EXPECT_EQ(tl::gridSizeFor(257, 256, 3), 2u);
    EXPECT_EQ(tl::gridSizeFor(UINT64_MAX, 256, 3), 96u);
}

TEST(Galaxy, DeterministicIndependentOfSizeAndGridAndRelated) {
    TLContext* ctx = tlCreate(0);
    ASSERT_EQ(tlGenerateTestCloud(ctx, 20000, 42, 1), 0) << tlLastError(ctx);
    const Cloud big = readBack(ctx, 20000);
    ASSERT_EQ(tlGenerateTestCloud(ctx, 1000, 42, 1), 0);
    EXPECT_EQ(std::memcmp(big.positions.data(), readBack(ctx, 1000).positions.data(), 1000 * sizeof(TLV3)), 0);
    // A one-block grid walks the same particles through its grid-stride loop.
    tl::ParticleStore& s = ctx->store;
    ASSERT_EQ(tl::launchGenerateGalaxy({1, 256}, s.positions.get(), s.colors.get(), s.velocity.get(), 20000, 42), 0);
    const Cloud oneBlock = readBack(ctx, 20000);
    EXPECT_EQ(std::memcmp(big.velocity.data(), oneBlock.velocity.data(), 20000 * sizeof(TLV3)), 0);
    EXPECT_EQ(tl::launchGenerateGalaxy({0, 256}, s.positions.get(), s.colors.get(), nullptr, 10, 1),
              tl::gpu::kErrorInvalidConfiguration);

    double sumAbsY = 0;
    for (size_t i = 0; i < big.positions.size(); ++i) {
        const TLV3 &p = big.positions[i], &v = big.velocity[i];
        const TLUChar4& col = big.colors[i];
        ASSERT_TRUE(col.w == 255 && col.x >= 114 && col.z >= 114 && col.y >= 153 && col.y <= 191) << i;
        ASSERT_NEAR(col.x + col.z, 369.0f, 2.0f) << i << ": red falls as blue rises along the radius";
        ASSERT_TRUE(v.x == -0.03f * p.z && v.y == 0.0f && v.z == 0.03f * p.x) << i;
        sumAbsY += std::fabs(p.y);
    }
    EXPECT_LT(sumAbsY / big.positions.size(), 6.0) << "a thin disc";
    tlDestroy(ctx);
}

}  // namespace
