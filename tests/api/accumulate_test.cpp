// Frames as sums: tlAccumulate then tlResolve gives tlRender's frame, and the parts of a split cloud,
// each given its first index, add up to the whole cloud's sums.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "api/library_fixture.h"

namespace {

const TLCamera kView = lookAt({-60, 80, 130}, {0, -5, 0}, 40);

// Copies, samples, motion and lens all draw from the particle index.
TLRenderSettings drawingSettings() {
    TLRenderSettings s = plainSettings(96, 64);
    s.intensity = 0.05f, s.jitterCount = 2, s.jitterSigma = 0.8f, s.samples = 3, s.shutter = 0.5f, s.seed = 7;
    return s;
}

TLCamera lensCamera() {
    TLCamera c = kView;
    c.aperture = 0.05f, c.focusDistance = 150;
    return c;
}

}  // namespace

class AccumulateTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        if (ctx && !api.accumulate) FAIL() << GetParam().path << " lacks tlAccumulate";
    }
    std::vector<TLFloat4> sumsOfRange(uint64_t first, uint64_t n, const TLCamera& c, const TLRenderSettings& s,
                                      std::vector<TLFloat4> sums) {
        EXPECT_EQ(api.generateTestCloudRange(ctx, first, n, 3, 1), 0) << lastError();
        EXPECT_EQ(api.accumulate(ctx, &c, &s, first, sums.data()), 0) << lastError();
        return sums;
    }
    bool cuda() const { return std::string(GetParam().name) == "cuda"; }
};
INSTANTIATE_FOR_ALL_LIBRARIES(AccumulateTest);

// The CPU library adds in a fixed order, so its images are the same bits; the GPU's atomics leave the
// last bits of a sum to the order of arrival.
TEST_P(AccumulateTest, AccumulateThenResolveIsTheRenderedFrame) {
    const TLCamera c = lensCamera();
    TLRenderSettings s = drawingSettings();
    ASSERT_EQ(api.generateTestCloud(ctx, 40000, 3, 1), 0) << lastError();
    Image rendered;
    ASSERT_EQ(rendered.render(api, ctx, c, s), 0) << lastError();
    std::vector<TLFloat4> sums(96 * 64, TLFloat4{0, 0, 0, 0});
    ASSERT_EQ(api.accumulate(ctx, &c, &s, 0, sums.data()), 0) << lastError();
    std::vector<TLUChar4> rgba(sums.size());
    std::vector<TLFloat4> px(sums.size());
    ASSERT_EQ(api.resolve(96, 64, s.exposure, sums.data(), rgba.data(), px.data()), 0);
    int lit = 0;
    for (size_t q = 0; q < sums.size(); ++q) {
        lit += sums[q].w > 0;
        for (int ch = 0; ch < 4; ++ch) {
            const float want = (&rendered.px[q].x)[ch], got = (&px[q].x)[ch];
            if (cuda()) EXPECT_NEAR(got, want, 1e-5f) << "pixel " << q;
            else EXPECT_EQ(got, want) << "pixel " << q;
            EXPECT_LE(std::abs((&rgba[q].x)[ch] - (&rendered.rgba[q].x)[ch]), cuda() ? 1 : 0) << "pixel " << q;
        }
    }
    EXPECT_GT(lit, 500);
    // The lit path needs every particle at once: it is not split.
    s.lightingMode = TL_LIGHTING_LIT;
    EXPECT_EQ(api.accumulate(ctx, &c, &s, 0, sums.data()), 1);
    EXPECT_EQ(lastError(), "tlAccumulate: the lit path renders on one device only: use tlRender");
}

// 1, 2 and 7 parts of one cloud, each rendered on its own from its first index, sum to the whole.
TEST_P(AccumulateTest, PartsOfACloudSumToTheWhole) {
    const uint64_t total = 30001;
    const TLCamera c = lensCamera();
    const TLRenderSettings s = drawingSettings();
    const std::vector<TLFloat4> zero(96 * 64, TLFloat4{0, 0, 0, 0});
    const std::vector<TLFloat4> whole = sumsOfRange(0, total, c, s, zero);
    double energy = 0;
    for (const TLFloat4& p : whole) energy += p.x;
    ASSERT_GT(energy, 100.0);
    for (uint64_t parts : {1, 2, 7}) {
        std::vector<TLFloat4> sums = zero;
        for (uint64_t k = 0; k < parts; ++k) {
            const uint64_t first = total * k / parts, last = total * (k + 1) / parts;
            sums = sumsOfRange(first, last - first, c, s, sums);
        }
        for (size_t q = 0; q < sums.size(); ++q)
            for (int ch = 0; ch < 4; ++ch) {
                const float want = (&whole[q].x)[ch];
                ASSERT_NEAR((&sums[q].x)[ch], want, 1e-4f * want + 1e-6f) << parts << " parts, pixel " << q;
            }
    }
    // The second half given first index 0 draws other copies and samples than from its true index.
    const std::vector<TLFloat4> right = sumsOfRange(total / 2, total - total / 2, c, s, zero);
    std::vector<TLFloat4> wrong = zero;
    ASSERT_EQ(api.accumulate(ctx, &c, &s, 0, wrong.data()), 0) << lastError();
    EXPECT_NE(0, std::memcmp(wrong.data(), right.data(), wrong.size() * sizeof(TLFloat4)));
}

TEST_P(AccumulateTest, RefusalsLeaveTheSumsAlone) {
    ASSERT_EQ(api.generateTestCloud(ctx, 100, 1, 0), 0);
    const TLRenderSettings s = plainSettings(8, 8);
    std::vector<TLFloat4> sums(64, TLFloat4{1, 2, 3, 4});
    EXPECT_EQ(api.accumulate(ctx, &kView, &s, 0, nullptr), 1);
    EXPECT_EQ(lastError(), "tlAccumulate: invalid parameters");
    EXPECT_EQ(api.accumulate(ctx, &kView, &s, UINT64_MAX - 50, sums.data()), 1);  // indices past 2^64
    EXPECT_EQ(api.accumulate(ctx, nullptr, &s, 0, sums.data()), 1);
    EXPECT_EQ(api.generateTestCloudRange(ctx, UINT64_MAX - 5, 10, 1, 0), 1);
    EXPECT_EQ(lastError(), "tlGenerateTestCloudRange: invalid parameters");
    for (const TLFloat4& p : sums) ASSERT_TRUE(p.x == 1 && p.y == 2 && p.z == 3 && p.w == 4);
    TLUChar4 rgba[64];
    EXPECT_EQ(api.resolve(8, 8, 1, nullptr, rgba, nullptr), 1);
    EXPECT_EQ(api.resolve(0, 8, 1, sums.data(), rgba, nullptr), 1);
    EXPECT_EQ(api.resolve(65536, 65536, 1, sums.data(), rgba, nullptr), 1);  // 2^32 pixels
    // Worked by hand: a sum of 1 in every channel at exposure 1 is 1 - 1/e, byte 207.
    std::vector<TLFloat4> ones(64, TLFloat4{1, 1, 1, 1});
    TLFloat4 px[64];
    ASSERT_EQ(api.resolve(8, 8, 1, ones.data(), rgba, px), 0);
    EXPECT_NEAR(px[63].w, 0.6321206f, 1e-7f);
    EXPECT_EQ(rgba[63].x, 207);
    EXPECT_EQ(rgba[63].w, 255);
}

// The CPU presents a device of TALUNA_CPU_MEMORY_LIMIT bytes: what tests of clouds larger than the
// device run against.
TEST_P(AccumulateTest, DeviceMemoryAndTheCpuLimit) {
    uint64_t freeBytes = 0, totalBytes = 0;
    ASSERT_EQ(api.deviceMemory(ctx, &freeBytes, &totalBytes), 0) << lastError();
    EXPECT_GT(freeBytes, 0u);
    EXPECT_LE(freeBytes, totalBytes);
    if (cuda()) return;
    const uint64_t limit = (512u + 64u) << 20;
    setenv("TALUNA_CPU_MEMORY_LIMIT", std::to_string(limit).c_str(), 1);
    ASSERT_EQ(api.deviceMemory(ctx, &freeBytes, &totalBytes), 0);
    const int refused = api.reserve(ctx, 8u << 20, 0);  // 128 MiB of particles beyond 64 MiB free
    const std::string why = lastError();
    const int fits = api.reserve(ctx, 2u << 20, 0);
    unsetenv("TALUNA_CPU_MEMORY_LIMIT");
    EXPECT_LE(totalBytes, limit);
    EXPECT_LE(freeBytes, limit);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(why.rfind("Not enough VRAM", 0), 0u) << why;
    EXPECT_EQ(fits, 0) << lastError();
}
