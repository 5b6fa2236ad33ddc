// Public-interface tests on every library built; the CUDA library's skip where no device answers.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/taluna_loader.h"

struct LibraryParam { const char* name; const char* path; };

inline std::vector<LibraryParam> allLibraries() {
#if defined(TALUNA_CUDA_LIBRARY)
    return {{"cpu", TALUNA_CPU_LIBRARY}, {"cuda", TALUNA_CUDA_LIBRARY}};
#else
    return {{"cpu", TALUNA_CPU_LIBRARY}};
#endif
}

inline TLCamera lookAt(TLV3 eye, TLV3 target, float fovY) {
    return {.eye = eye, .target = target, .up = {0, 1, 0}, .fovY = fovY};
}

inline TLRenderSettings plainSettings(int width, int height) {
    return {.width = width, .height = height, .intensity = 1, .exposure = 1, .samples = 1};
}

// Both images of one frame, pre-filled with values no frame produces.
struct Image {
    std::vector<TLUChar4> rgba;
    std::vector<TLFloat4> px;
    int width = 0;
    int render(const taluna::Api& api, TLContext* ctx, const TLCamera& c, const TLRenderSettings& s,
               const std::vector<TLLight>& lights = {}) {
        width = s.width;
        rgba.assign(static_cast<size_t>(s.width) * s.height, TLUChar4{9, 9, 9, 9});
        px.assign(rgba.size(), TLFloat4{-1, -1, -1, -1});
        return api.render(ctx, &c, &s, lights.data(), int(lights.size()), rgba.data(), px.data(), nullptr);
    }
    const TLFloat4& at(int x, int y) const { return px[static_cast<size_t>(y) * width + x]; }
    // The first pixel other than `except` that is not black; -1: none.
    long firstLitExcept(long except = -1) const {
        for (size_t q = 0; q < px.size(); ++q) {
            const TLFloat4& f = px[q];
            const TLUChar4& b = rgba[q];  // opaque black in bytes
            if (long(q) != except && (f.x || f.y || f.z || f.w || b.x || b.y || b.z || b.w != 255)) return long(q);
        }
        return -1;
    }
};

// Loads the library and creates a context on device 0; skips when the CUDA library finds no device.
class LibraryTest : public ::testing::TestWithParam<LibraryParam> {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(api.load(GetParam().path, &error)) << error;
        ASSERT_NE(ctx = api.create(0), nullptr);
        const std::string why = api.lastError(ctx);
        if (why.empty()) return;
        api.destroy(ctx), ctx = nullptr;
        if (std::string(GetParam().name) == "cuda") GTEST_SKIP() << "no CUDA device answers: " << why;
        FAIL() << "context creation failed: " << why;
    }
    void TearDown() override {
        if (ctx) api.destroy(ctx);
    }
    std::string lastError() const { return api.lastError(ctx); }
    // Uploads particles (opaque white unless colours are given); velocities need a store with them.
    void upload(const std::vector<TLV3>& p, const std::vector<TLUChar4>* colors = nullptr,
                const std::vector<TLV3>* velocities = nullptr) {
        ASSERT_EQ(api.reserve(ctx, p.size(), velocities ? 1 : 0), 0) << lastError();
        ASSERT_EQ(api.upload(ctx, p.data(), colors ? colors->data() : nullptr, velocities ? velocities->data() : nullptr,
                             p.size(), 0), 0) << lastError();
    }

    taluna::Api api;
    TLContext* ctx = nullptr;
};

#define INSTANTIATE_FOR_ALL_LIBRARIES(Suite)                                         \
    INSTANTIATE_TEST_SUITE_P(Libraries, Suite, ::testing::ValuesIn(allLibraries()), \
                             [](const auto& info) { return std::string(info.param.name); })
