// The procedural galaxy's hash and random stream, pinned, and the shared math against the host's libm.
#include <gtest/gtest.h>

#include <cmath>

#include "kernels/galaxy.h"
#include "kernels/launchers.h"

namespace {

TEST(GalaxyHash, KnownValues) {
    EXPECT_TRUE(tl::lowbias32(0) == 0u && tl::lowbias32(1) == 0x688990C0u);
    // Seed 0, index 0: the six states of the particle's stream.
    const uint32_t expected0[6] = {0x01FCE552u, 0xA0117BE9u, 0x00E15A61u, 0xBBCAC71Fu, 0x7C111966u, 0x68D27AC3u};
    uint32_t s = tl::galaxyStartState(0, 0);
    for (int k = 0; k < 6; ++k, s = tl::nextState(s)) EXPECT_EQ(s, expected0[k]) << "state " << k;
    EXPECT_EQ(tl::galaxyStartState(1, 0), 0xB21C8E52u);
    EXPECT_NE(tl::galaxyStartState(5, 9), tl::galaxyStartState(5 + (1ull << 32), 9)) << "the high half is mixed in";
    const tl::GalaxyParticle p0 = tl::galaxyParticle(0, 0);  // by the centre (255, 191, 114), red below 255
    EXPECT_TRUE(p0.color.x == 254 && p0.color.y == 191 && p0.color.z == 114);
}

TEST(GalaxyMath, PortableFunctionsMatchTheLibrary) {
    // The backends' shared math agrees with the host's correctly rounded functions within an ulp.
    auto ulps = [](float a, float b) {
        return std::abs(static_cast<int64_t>(tl::floatBits(a)) - static_cast<int64_t>(tl::floatBits(b)));
    };
    for (int k = 0; k < 20000; ++k) {
        const float x = static_cast<float>(k) * 0.00137f - 13.0f, u = static_cast<float>(k) / 20000.0f + 1e-7f;
        const float a = u * 2.0f - 1.0f;
        const float got[7] = {tl::expF(x), tl::sinF(x),       tl::cosF(x),        tl::atan2F(x, 1.5f - x),
                              tl::logF(u), tl::powF(u, 1.7f), tl::asinF(a)},
                    want[7] = {std::exp(x), std::sin(x),        std::cos(x),  std::atan2(x, 1.5f - x),
                               std::log(u), std::pow(u, 1.7f), std::asin(a)};
        for (int f = 0; f < 7; ++f) ASSERT_LE(ulps(got[f], want[f]), 1) << "function " << f << " at " << x << ", " << u;
    }
    EXPECT_TRUE(std::isnan(tl::powF(-0.5f, 0.45454544f)));
    EXPECT_TRUE(tl::logF(0.0f) == -INFINITY && tl::expF(-200.0f) == 0.0f && tl::expF(100.0f) == INFINITY);
    EXPECT_TRUE(tl::floatToUint(std::nanf("")) == 0u && tl::floatToUint(1e20f) == 0xFFFFFFFFu);
    EXPECT_TRUE(tl::gridSizeFor(257, 256, 3) == 2u && tl::gridSizeFor(UINT64_MAX, 256, 3) == 96u);
}

}  // namespace
