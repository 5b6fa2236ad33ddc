// The CUDA library on a machine where no device answers: creation reports it, and every later call
// that needs the device is refused.
#include <gtest/gtest.h>

#include <string>

#include "common/taluna_loader.h"

#if defined(TALUNA_CUDA_LIBRARY)

namespace {

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

TEST(CudaWithoutDevice, EveryCallFails) {
    taluna::Api api;
    std::string error;
    ASSERT_TRUE(api.load(TALUNA_CUDA_LIBRARY, &error)) << error;
    EXPECT_EQ(api.apiVersion(), 6);
    TLContext* ctx = api.create(0);
    ASSERT_NE(ctx, nullptr);
    if (std::string(api.lastError(ctx)).empty()) {
        api.destroy(ctx);
        GTEST_SKIP() << "a CUDA device answers here";
    }
    EXPECT_STREQ(api.lastError(ctx), "Could not initialize CUDA device");

    char line[256] = "untouched";
    EXPECT_EQ(api.deviceInfo(ctx, line, sizeof line), 1);
    std::string text = api.lastError(ctx);
    EXPECT_TRUE(startsWith(text, "cudaGetDeviceProperties: ")) << text;
    EXPECT_GT(text.size(), std::string("cudaGetDeviceProperties: ").size()) << "a description or the code follows";

    EXPECT_EQ(api.reserve(ctx, 1000, 0), 1);
    EXPECT_STREQ(api.lastError(ctx), "Could not initialize CUDA device");
    EXPECT_EQ(api.reserve(ctx, 0, 0), 0) << "nothing to do: no device call";

    TLV3 p{0, 0, 0};
    EXPECT_EQ(api.upload(ctx, &p, nullptr, nullptr, 1, 0), 1);
    EXPECT_STREQ(api.lastError(ctx), "tlUpload: capacity exceeded (call tlReserve first)");

    EXPECT_EQ(api.generateTestCloud(ctx, 0, 1, 0), 1);
    EXPECT_STREQ(api.lastError(ctx), "Could not initialize CUDA device");

    TLCamera cam{};
    TLRenderSettings rs{};
    rs.width = 4;
    rs.height = 4;
    TLFloat4 out[16];
    EXPECT_EQ(api.render(ctx, &cam, &rs, nullptr, 0, nullptr, out, nullptr), 1);
    EXPECT_STREQ(api.lastError(ctx), "Could not initialize CUDA device");

    api.destroy(ctx);
    api.destroy(nullptr);

    // A second context fails the same way; creation never returns null for a missing device.
    TLContext* again = api.create(3);
    ASSERT_NE(again, nullptr);
    EXPECT_STREQ(api.lastError(again), "Could not initialize CUDA device");
    api.destroy(again);
}

}  // namespace

#endif
