// Plain-path render rate (samples per second) of the 4,000,000-particle galaxy at 1920 x 1080, seen as
// the renderer tool's default picture, on each library present. Every iteration is one complete
// tlRender call (clear, splat, resolve, download of the float image), as the renderer tool runs it.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/taluna_loader.h"

namespace {

constexpr uint64_t kParticles = 4000000;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

void render(benchmark::State& state, const char* library) {
    taluna::Api api;
    std::string error;
    if (!api.load(library, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    TLContext* ctx = api.create(0);
    if (!ctx || *api.lastError(ctx)) {
        state.SkipWithError(ctx ? api.lastError(ctx) : "no context");
        if (ctx) api.destroy(ctx);
        return;
    }
    if (api.generateTestCloud(ctx, kParticles, 1, 0) != 0) {
        state.SkipWithError(api.lastError(ctx));
        api.destroy(ctx);
        return;
    }
    // The renderer tool's default picture, with the sampling under test.
    const TLCamera camera = tlDefaultCamera();
    TLRenderSettings settings = tlDefaultSettings();
    settings.width = kWidth;
    settings.height = kHeight;
    settings.samples = static_cast<int>(state.range(0));
    settings.jitterCount = static_cast<int>(state.range(1));

    std::vector<TLFloat4> image(static_cast<size_t>(kWidth) * kHeight);
    double deviceMs = 0.0;
    for (auto _ : state) {
        float ms = 0.0f;
        if (api.render(ctx, &camera, &settings, nullptr, 0, nullptr, image.data(), &ms) != 0) {
            state.SkipWithError(api.lastError(ctx));
            break;
        }
        deviceMs += ms;
    }
    const double samples = static_cast<double>(kParticles) * (settings.jitterCount + 1) * settings.samples;
    state.counters["samples/s"] = benchmark::Counter(samples, benchmark::Counter::kIsIterationInvariantRate);
    // The frame's own GPU time from the library's events (without the image download).
    state.counters["device_ms"] = benchmark::Counter(deviceMs, benchmark::Counter::kAvgIterations);
    api.destroy(ctx);
}

}  // namespace

// Arguments: samples, jitter copies.
BENCHMARK_CAPTURE(render, cpu, TALUNA_CPU_LIBRARY)
    ->ArgNames({"samples", "jitter"})
    ->Args({1, 0})
    ->Args({4, 0})
    ->Args({1, 3})
    ->Args({4, 3})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#if defined(TALUNA_CUDA_LIBRARY)
BENCHMARK_CAPTURE(render, cuda, TALUNA_CUDA_LIBRARY)
    ->ArgNames({"samples", "jitter"})
    ->Args({1, 0})
    ->Args({4, 0})
    ->Args({1, 3})
    ->Args({4, 3})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

BENCHMARK_MAIN();
