// Context lifecycle, last-error rules and the particle store through the public interface; contexts
// without a device, on every library and on the CUDA library where no device answers.
#include <array>
#include <cstring>
#include <functional>
#include <regex>
#include <tuple>

#include "api/library_fixture.h"

namespace {

const char* const kNoDevice = "Could not initialize CUDA device";
const char* const kFull = "tlUpload: capacity exceeded (call tlReserve first)";

// `bad` was created on a device that does not answer: every call that would touch the GPU is refused
// before any runtime call. After each call, `good` (when given) still works on the same thread and
// reports no failure: none of bad's failures leaks into it.
void expectEveryDeviceCallRefused(const taluna::Api& api, TLContext* bad, TLContext* good) {
    EXPECT_STREQ(api.lastError(bad), kNoDevice);
    const TLCamera camera = lookAt({0, 60, 160}, {0, 0, 0}, 50);
    const TLRenderSettings s = plainSettings(8, 6);
    std::vector<TLUChar4> rgba(48);
    char line[128];
    const TLV3 p{};
    using Call = std::tuple<const char*, std::function<int()>, int, std::string>;  // text: a prefix if ends in ' '
    for (auto& [name, run, rc, text] : {
             Call{"creation", [] { return 1; }, 1, kNoDevice},
             {"deviceInfo", [&] { return api.deviceInfo(bad, line, sizeof line); }, 1, "cudaGetDeviceProperties: "},
             {"reserve", [&] { return api.reserve(bad, 1000, 1); }, 1, kNoDevice},
             {"reserve 0", [&] { return api.reserve(bad, 0, 0); }, 0, kNoDevice},  // nothing to do: no device call
             {"upload", [&] { return api.upload(bad, &p, nullptr, nullptr, 1, 0); }, 1, kFull},
             {"testCloud", [&] { return api.generateTestCloud(bad, 100, 1, 1); }, 1, kNoDevice},
             {"testCloud 0", [&] { return api.generateTestCloud(bad, 0, 1, 0); }, 1, kNoDevice},
             {"render", [&] { return api.render(bad, &camera, &s, nullptr, 0, rgba.data(), nullptr, nullptr); }, 1,
              kNoDevice}}) {
        EXPECT_EQ(run(), rc) << name;
        const std::string got = api.lastError(bad);
        EXPECT_TRUE(text.back() == ' ' ? got.size() > text.size() && got.rfind(text, 0) == 0 : got == text)
            << name << ": " << got;
        if (good) {  // the very next calls on the thread
            EXPECT_EQ(api.generateTestCloud(good, 100, 1, 0), 0) << "after " << name << ": " << api.lastError(good);
            EXPECT_EQ(api.render(good, &camera, &s, nullptr, 0, rgba.data(), nullptr, nullptr), 0) << api.lastError(good);
            EXPECT_STREQ(api.lastError(good), "") << "after " << name;
        }
        EXPECT_EQ(api.getCount(bad), 0u);
    }
}

}  // namespace

class ContextTest : public LibraryTest {};
INSTANTIATE_FOR_ALL_LIBRARIES(ContextTest);

TEST_P(ContextTest, VersionNullHandlesAndDeviceInfo) {
    EXPECT_EQ(api.apiVersion(), 6);
    EXPECT_STREQ(api.lastError(ctx), "");
    EXPECT_STREQ(api.lastError(nullptr), "no context");
    const TLV3 p{};
    EXPECT_EQ(api.reserve(nullptr, 10, 0) + api.upload(nullptr, &p, nullptr, nullptr, 1, 0) + api.setCount(nullptr, 0) +
                  api.generateTestCloud(nullptr, 10, 0, 0) + api.deviceInfo(nullptr, nullptr, 0), 5);
    EXPECT_EQ(api.getCount(nullptr), 0u);
    api.destroy(nullptr);

    char line[512], cut[8];
    ASSERT_EQ(api.deviceInfo(ctx, line, sizeof line), 0) << lastError();
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(.+ \| CC \d+\.\d+ \| VRAM free \d+\.\d / \d+\.\d GB)"))) << line;
    std::memset(cut, 'x', sizeof cut);
    ASSERT_EQ(api.deviceInfo(ctx, cut, 5), 0);
    EXPECT_EQ(std::string(cut, 6), std::string(line, 4) + std::string("\0x", 2));
    ASSERT_EQ(api.deviceInfo(ctx, cut, 1), 0);
    EXPECT_EQ(std::string(cut, 3), std::string("\0", 1) + std::string(line + 1, 2)) << "one byte: just the terminator";
    cut[0] = 'x';
    EXPECT_EQ(api.deviceInfo(ctx, cut, 0) + api.deviceInfo(ctx, cut, -3) + api.deviceInfo(ctx, nullptr, 10), 3);
    EXPECT_EQ(cut[0], 'x');
    EXPECT_EQ(lastError(), "") << "argument refusals leave the text alone";
}

TEST_P(ContextTest, UploadCountsAndCapacityRules) {
    const std::vector<TLV3> pts(200, TLV3{1, 2, 3});
    ASSERT_EQ(api.reserve(ctx, 150, 0), 0) << lastError();
    for (auto [n, offset, count] : {std::array<uint64_t, 3>{100, 0, 100}, {50, 100, 150}, {10, 0, 150}, {1, 149, 150}}) {
        ASSERT_EQ(api.upload(ctx, pts.data(), nullptr, nullptr, n, offset), 0) << n << " at " << offset;
        EXPECT_EQ(api.getCount(ctx), count) << "offset + n, never lowered";
    }
    using Bad = std::tuple<const TLV3*, const TLV3*, uint64_t, uint64_t, const char*>;  // p, v, n, offset, text
    for (auto [positions, velocities, n, offset, text] :
         {Bad{pts.data(), nullptr, 2, 149, kFull}, {pts.data(), nullptr, 2, UINT64_MAX, kFull},
          {nullptr, nullptr, 1, 0, "tlUpload: invalid parameters"},
          {pts.data(), pts.data(), 1, 0, "tlUpload: velocity passed but reserved without velocity"}}) {
        EXPECT_EQ(api.upload(ctx, positions, nullptr, velocities, n, offset), 1) << n << " at " << offset;
        EXPECT_EQ(lastError(), text);
    }
    EXPECT_EQ(api.getCount(ctx), 150u) << "refused uploads change nothing";
    EXPECT_EQ(api.setCount(ctx, 151), 1);
    EXPECT_EQ(lastError(), "tlSetCount: larger than capacity");
    EXPECT_EQ(api.getCount(ctx), 150u);
    EXPECT_EQ(api.setCount(ctx, 150) + api.setCount(ctx, 7), 0);
    EXPECT_EQ(api.getCount(ctx), 7u);
    EXPECT_EQ(lastError(), "tlSetCount: larger than capacity") << "a success keeps the last failure's text";
    ASSERT_EQ(api.generateTestCloud(ctx, 5000, 7, 1), 0) << lastError();
    EXPECT_EQ(api.getCount(ctx), 5000u);
}

TEST_P(ContextTest, ReserveIsGrowOnly) {
    const std::vector<TLV3> pts(64, TLV3{0, 0, 0});
    EXPECT_EQ(api.reserve(ctx, 0, 0), 0);
    ASSERT_EQ(api.reserve(ctx, 64, 1), 0) << lastError();
    ASSERT_EQ(api.upload(ctx, pts.data(), nullptr, pts.data(), 64, 0), 0) << lastError();
    // Smaller, without velocity: nothing changes, the velocity array and the count stay.
    EXPECT_EQ(api.reserve(ctx, 10, 0), 0);
    EXPECT_EQ(api.getCount(ctx), 64u);
    EXPECT_EQ(api.upload(ctx, pts.data(), nullptr, pts.data(), 1, 0), 0) << "velocity array kept";
    // Larger: everything is reallocated and the cloud is gone.
    ASSERT_EQ(api.reserve(ctx, 65, 0), 0) << lastError();
    EXPECT_EQ(api.getCount(ctx), 0u);
    EXPECT_EQ(api.upload(ctx, pts.data(), nullptr, pts.data(), 1, 0), 1) << "velocity array dropped";
    // Asking for velocity on a large enough store without it reallocates too.
    ASSERT_EQ(api.upload(ctx, pts.data(), nullptr, nullptr, 64, 0), 0);
    ASSERT_EQ(api.reserve(ctx, 10, 1), 0) << lastError();
    EXPECT_EQ(api.getCount(ctx), 0u);

    // 2^40 particles need 16384 GB: refused by the estimate; byte counts beyond 64 bits before it. The
    // store stays as it was.
    ASSERT_EQ(api.upload(ctx, pts.data(), nullptr, pts.data(), 8, 0), 0);
    EXPECT_EQ(api.reserve(ctx, 1ull << 40, 0), 1);
    EXPECT_TRUE(std::regex_match(
        lastError(), std::regex(R"(Not enough VRAM: needs 16384\.00 GB, approx\. \d+\.\d\d GB available)")))
        << lastError();
    for (auto [n, velocity] : {std::pair{UINT64_MAX / 16 + 1, 0}, {UINT64_MAX / 28 + 1, 1}}) {
        EXPECT_EQ(api.reserve(ctx, n, velocity), 1);
        EXPECT_EQ(lastError(), "tlReserve: particle count too large");
    }
    EXPECT_EQ(api.getCount(ctx), 8u);
    EXPECT_EQ(api.upload(ctx, pts.data(), nullptr, pts.data(), 10, 0), 0) << "old store still usable";
}

TEST_P(ContextTest, MissingDeviceOrdinal) {
    TLContext* bad = api.create(64);
    ASSERT_NE(bad, nullptr);
    expectEveryDeviceCallRefused(api, bad, ctx);
    api.destroy(bad);
}

#if defined(TALUNA_CUDA_LIBRARY)
// The CUDA library where no device answers; creation never returns null for a missing device.
TEST(CudaWithoutDevice, EveryCallFails) {
    taluna::Api api;
    std::string error;
    ASSERT_TRUE(api.load(TALUNA_CUDA_LIBRARY, &error)) << error;
    for (int device : {0, 3}) {
        TLContext* ctx = api.create(device);
        ASSERT_NE(ctx, nullptr);
        const bool answers = !*api.lastError(ctx);
        if (!answers) expectEveryDeviceCallRefused(api, ctx, nullptr);
        api.destroy(ctx);
        if (answers && device == 0) GTEST_SKIP() << "a CUDA device answers here";
    }
}
#endif
