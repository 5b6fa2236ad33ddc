// Throughput of the image writers on a 3840 x 2160 float image of render-like content, in bytes of
// float input per second. Files go to /tmp and are removed at the end.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/taluna_loader.h"

namespace {

constexpr int kWidth = 3840, kHeight = 2160;

taluna::Api& api() {
    static taluna::Api instance;
    static bool loaded = [] {
        std::string error;
        if (!instance.load(TALUNA_CPU_LIBRARY, &error)) std::fprintf(stderr, "%s\n", error.c_str());
        return instance.handle != nullptr;
    }();
    (void)loaded;
    return instance;
}

// Premultiplied linear RGBA: smooth colour gradients and a soft glow, with sample noise, fading to
// transparent towards the corners.
const std::vector<float>& renderedImage() {
    static const std::vector<float> image = [] {
        std::vector<float> px(size_t(kWidth) * kHeight * 4);
        std::mt19937 rng(1);
        std::normal_distribution<float> noise(0.0f, 0.02f);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const float u = float(x) / kWidth, v = float(y) / kHeight;
                const float dx = u - 0.5f, dy = v - 0.5f, r2 = dx * dx + dy * dy;
                const float glow = 1.5f * std::exp(-r2 * 20.0f);
                const float alpha = std::fmin(1.0f, std::fmax(0.0f, 1.6f - 3.0f * r2 + noise(rng)));
                float* p = &px[(size_t(y) * kWidth + x) * 4];
                p[0] = std::fmax(0.0f, (0.2f * u + glow + noise(rng)) * alpha);
                p[1] = std::fmax(0.0f, (0.1f + 0.3f * v * glow + noise(rng)) * alpha);
                p[2] = std::fmax(0.0f, (0.4f * (1.0f - u) + 0.5f * glow + noise(rng)) * alpha);
                p[3] = alpha;
            }
        return px;
    }();
    return image;
}

template <typename Save>
void runWriter(benchmark::State& state, const char* suffix, Save save) {
    // The process id keeps runs of several developers on one machine apart.
    const std::string name = "/tmp/taluna_bench_writers_" + std::to_string(getpid()) + suffix;
    const char* file = name.c_str();
    if (!api().handle) {
        state.SkipWithError("CPU library not loaded");
        return;
    }
    const std::vector<float>& image = renderedImage();
    for (auto _ : state)
        if (save(file, image.data()) != 0) {
            state.SkipWithError("writer failed");
            break;
        }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image.size() * sizeof(float)));
    std::remove(file);
}

void BM_SavePNG8(benchmark::State& state) {
    runWriter(state, "_8.png",
              [](const char* f, const float* p) { return api().savePNG(f, kWidth, kHeight, p, 0); });
}

void BM_SavePNG16(benchmark::State& state) {
    runWriter(state, "_16.png",
              [](const char* f, const float* p) { return api().savePNG(f, kWidth, kHeight, p, 1); });
}

void BM_SaveEXR(benchmark::State& state) {
    runWriter(state, ".exr",
              [](const char* f, const float* p) { return api().saveEXR(f, kWidth, kHeight, p); });
}

BENCHMARK(BM_SavePNG8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SavePNG16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SaveEXR)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
