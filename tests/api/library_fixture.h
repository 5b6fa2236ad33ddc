// Runs public-interface tests against every library that was built: the CPU library always, the CUDA
// library when a device answers (its tests skip cleanly otherwise).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/taluna_loader.h"

struct LibraryParam {
    const char* name;
    const char* path;
};

inline std::vector<LibraryParam> allLibraries() {
    std::vector<LibraryParam> libs{{"cpu", TALUNA_CPU_LIBRARY}};
#if defined(TALUNA_CUDA_LIBRARY)
    libs.push_back({"cuda", TALUNA_CUDA_LIBRARY});
#endif
    return libs;
}

inline std::string libraryName(const ::testing::TestParamInfo<LibraryParam>& info) { return info.param.name; }

// Loads the library and creates a context on device 0; skips when the CUDA library finds no device.
class LibraryTest : public ::testing::TestWithParam<LibraryParam> {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(api.load(GetParam().path, &error)) << error;
        ctx = api.create(0);
        ASSERT_NE(ctx, nullptr);
        if (*api.lastError(ctx)) {
            std::string why = api.lastError(ctx);
            api.destroy(ctx);
            ctx = nullptr;
            if (std::string(GetParam().name) == "cuda") GTEST_SKIP() << "no CUDA device answers: " << why;
            FAIL() << "context creation failed: " << why;
        }
    }
    void TearDown() override {
        if (ctx) api.destroy(ctx);
    }
    std::string lastError() const { return api.lastError(ctx); }

    taluna::Api api;
    TLContext* ctx = nullptr;
};

#define INSTANTIATE_FOR_ALL_LIBRARIES(Suite) \
    INSTANTIATE_TEST_SUITE_P(Libraries, Suite, ::testing::ValuesIn(allLibraries()), libraryName)
