// Context lifecycle, last-error rules and the particle store through the public interface.
#include <cstring>
#include <regex>
#include <vector>

#include "api/library_fixture.h"

class ContextTest : public LibraryTest {};
INSTANTIATE_FOR_ALL_LIBRARIES(ContextTest);

TEST_P(ContextTest, VersionErrorsAndNullHandles) {
    EXPECT_EQ(api.apiVersion(), 6);
    ASSERT_NE(api.lastError(ctx), nullptr);
    EXPECT_STREQ(api.lastError(ctx), "");
    EXPECT_STREQ(api.lastError(nullptr), "no context");

    // A null context fails quietly everywhere.
    TLV3 p{0, 0, 0};
    char buf[16] = "untouched";
    EXPECT_EQ(api.deviceInfo(nullptr, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(api.reserve(nullptr, 10, 0), 1);
    EXPECT_EQ(api.upload(nullptr, &p, nullptr, nullptr, 1, 0), 1);
    EXPECT_EQ(api.setCount(nullptr, 0), 1);
    EXPECT_EQ(api.getCount(nullptr), 0u);
    EXPECT_EQ(api.generateTestCloud(nullptr, 10, 0, 0), 1);
    api.destroy(nullptr);
}

TEST_P(ContextTest, DeviceInfoLineAndTruncation) {
    char line[512];
    ASSERT_EQ(api.deviceInfo(ctx, line, sizeof line), 0) << lastError();
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(.+ \| CC \d+\.\d+ \| VRAM free \d+\.\d / \d+\.\d GB)"))) << line;

    char small[8];
    std::memset(small, 'x', sizeof small);
    ASSERT_EQ(api.deviceInfo(ctx, small, 5), 0);
    EXPECT_EQ(std::string(small), std::string(line, 4));
    EXPECT_EQ(small[5], 'x');

    char one[2] = {'x', 'y'};
    ASSERT_EQ(api.deviceInfo(ctx, one, 1), 0);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(one[1], 'y');
    one[0] = 'x';
    EXPECT_EQ(api.deviceInfo(ctx, one, 0), 1);
    EXPECT_EQ(api.deviceInfo(ctx, one, -3), 1);
    EXPECT_EQ(api.deviceInfo(ctx, nullptr, 10), 1);
    EXPECT_EQ(one[0], 'x');
    EXPECT_STREQ(api.lastError(ctx), "") << "argument refusals leave the text alone";
}

TEST_P(ContextTest, UploadCountsAndCapacityRules) {
    std::vector<TLV3> pts(200, TLV3{1, 2, 3});
    ASSERT_EQ(api.reserve(ctx, 150, 0), 0) << lastError();
    ASSERT_EQ(api.upload(ctx, pts.data(), nullptr, nullptr, 100, 0), 0) << lastError();
    EXPECT_EQ(api.getCount(ctx), 100u);
    ASSERT_EQ(api.upload(ctx, pts.data(), nullptr, nullptr, 50, 100), 0) << lastError();
    EXPECT_EQ(api.getCount(ctx), 150u);
    ASSERT_EQ(api.upload(ctx, pts.data(), nullptr, nullptr, 10, 0), 0);
    EXPECT_EQ(api.getCount(ctx), 150u) << "uploads never lower the count";

    // offset + n == capacity is accepted; one more is refused, also when the sum wraps.
    EXPECT_EQ(api.upload(ctx, pts.data(), nullptr, nullptr, 1, 149), 0);
    EXPECT_EQ(api.upload(ctx, pts.data(), nullptr, nullptr, 2, 149), 1);
    EXPECT_EQ(lastError(), "tlUpload: capacity exceeded (call tlReserve first)");
    EXPECT_EQ(api.upload(ctx, pts.data(), nullptr, nullptr, 2, UINT64_MAX), 1);
    EXPECT_EQ(lastError(), "tlUpload: capacity exceeded (call tlReserve first)");
    EXPECT_EQ(api.upload(ctx, nullptr, nullptr, nullptr, 1, 0), 1);
    EXPECT_EQ(lastError(), "tlUpload: invalid parameters");
    EXPECT_EQ(api.upload(ctx, pts.data(), nullptr, pts.data(), 1, 0), 1);
    EXPECT_EQ(lastError(), "tlUpload: velocity passed but reserved without velocity");
    EXPECT_EQ(api.getCount(ctx), 150u) << "refused uploads change nothing";

    EXPECT_EQ(api.setCount(ctx, 150), 0);
    EXPECT_EQ(api.setCount(ctx, 151), 1);
    EXPECT_EQ(lastError(), "tlSetCount: larger than capacity");
    EXPECT_EQ(api.getCount(ctx), 150u);
    EXPECT_EQ(api.setCount(ctx, 7), 0);
    EXPECT_EQ(api.getCount(ctx), 7u);
    EXPECT_EQ(lastError(), "tlSetCount: larger than capacity") << "a success keeps the last failure's text";
}

TEST_P(ContextTest, ReserveIsGrowOnly) {
    std::vector<TLV3> pts(64, TLV3{0, 0, 0});
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
    EXPECT_EQ(api.upload(ctx, pts.data(), nullptr, pts.data(), 1, 0), 1);
    EXPECT_EQ(lastError(), "tlUpload: velocity passed but reserved without velocity");
    // Asking for velocity on a large enough store without it reallocates too.
    ASSERT_EQ(api.upload(ctx, pts.data(), nullptr, nullptr, 64, 0), 0);
    ASSERT_EQ(api.reserve(ctx, 10, 1), 0) << lastError();
    EXPECT_EQ(api.getCount(ctx), 0u);
}

TEST_P(ContextTest, RefusesWhatMemoryCannotHold) {
    std::vector<TLV3> pts(8, TLV3{0, 0, 0});
    ASSERT_EQ(api.reserve(ctx, 8, 0), 0);
    ASSERT_EQ(api.upload(ctx, pts.data(), nullptr, nullptr, 8, 0), 0);

    // 2^40 particles need 16384 GB: refused by the estimate, and the store is untouched.
    EXPECT_EQ(api.reserve(ctx, 1ull << 40, 0), 1);
    std::smatch m;
    std::string text = lastError();
    ASSERT_TRUE(std::regex_match(text, m,
                                 std::regex(R"(Not enough VRAM: needs 16384\.00 GB, approx\. (\d+\.\d\d) GB available)")))
        << text;
    EXPECT_GE(std::stod(m[1]), 0.0);
    EXPECT_EQ(api.getCount(ctx), 8u);
    EXPECT_EQ(api.upload(ctx, pts.data(), nullptr, nullptr, 8, 0), 0) << "old store still usable";

    // Byte sizes beyond 64 bits are refused before any estimate or allocation.
    EXPECT_EQ(api.reserve(ctx, UINT64_MAX / 16 + 1, 0), 1);
    EXPECT_EQ(lastError(), "tlReserve: particle count too large");
    EXPECT_EQ(api.reserve(ctx, UINT64_MAX / 28 + 1, 1), 1);
    EXPECT_EQ(lastError(), "tlReserve: particle count too large");
    EXPECT_EQ(api.generateTestCloud(ctx, UINT64_MAX, 0, 0), 1);
    EXPECT_EQ(lastError(), "tlReserve: particle count too large");
    EXPECT_EQ(api.getCount(ctx), 8u);
}

TEST_P(ContextTest, TestCloudSetsCount) {
    ASSERT_EQ(api.generateTestCloud(ctx, 5000, 7, 1), 0) << lastError();
    EXPECT_EQ(api.getCount(ctx), 5000u);
    ASSERT_EQ(api.generateTestCloud(ctx, 0, 7, 0), 0) << lastError();
    EXPECT_EQ(api.getCount(ctx), 0u);
    EXPECT_STREQ(api.lastError(ctx), "");
}

// A context on an ordinal that names no device: created with the fixed text, then every call that
// would touch the GPU is refused with that text before any runtime call (a GPU's runtime would
// otherwise run it on the thread's current device), and nothing crashes.
TEST_P(ContextTest, MissingDeviceOrdinal) {
    TLContext* bad = api.create(64);
    ASSERT_NE(bad, nullptr);
    const char* refused = "Could not initialize CUDA device";
    EXPECT_STREQ(api.lastError(bad), refused);
    char line[256];
    EXPECT_EQ(api.deviceInfo(bad, line, sizeof line), 1);
    EXPECT_EQ(std::string(api.lastError(bad)).rfind("cudaGetDeviceProperties: ", 0), 0u) << api.lastError(bad);
    EXPECT_EQ(api.reserve(bad, 1000, 0), 1);
    EXPECT_STREQ(api.lastError(bad), refused);
    EXPECT_EQ(api.generateTestCloud(bad, 100, 1, 1), 1);
    EXPECT_STREQ(api.lastError(bad), refused);
    TLCamera cam{};
    TLRenderSettings rs{};
    rs.width = 4;
    rs.height = 4;
    TLFloat4 out[16];
    EXPECT_EQ(api.render(bad, &cam, &rs, nullptr, 0, nullptr, out, nullptr), 1);
    EXPECT_STREQ(api.lastError(bad), refused);
    EXPECT_EQ(api.getCount(bad), 0u);
    api.destroy(bad);

    // The good context on the same thread still works afterwards.
    EXPECT_EQ(api.generateTestCloud(ctx, 100, 1, 0), 0) << lastError();
}
