// Lighting-path render rate (samples per second) of the 4,000,000-particle galaxy at 1920 x 1080 on
// each library present, next to the plain path on the same view: no lights, one shadow-casting
// directional light, and one shadow-casting point light (six cube-face views), with shadow maps of
// 512 x 512 texels and 64 slices. Every iteration is one complete tlRender call including the download
// of the float image; the first frame, which allocates the buffers, is not timed.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_context.h"

namespace {

constexpr uint64_t kParticles = 4000000;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

enum Scene { kPlain = 0, kNoLights = 1, kSun = 2, kPointLight = 3 };

void render(benchmark::State& state, const char* library) {
    BenchContext c(state, library, kParticles);
    if (!c) return;
    taluna::Api& api = c.api;
    TLContext* const ctx = c.ctx;
    const TLCamera camera = tlDefaultCamera();
    TLRenderSettings settings = tlDefaultSettings();
    settings.width = kWidth;
    settings.height = kHeight;
    settings.samples = static_cast<int>(state.range(0));
    const Scene scene = static_cast<Scene>(state.range(1));
    settings.lightingMode = scene == kPlain ? TL_LIGHTING_PLAIN : TL_LIGHTING_LIT;
    // A denser, brighter medium than the tool's, at the plain path's exposure.
    settings.density = 1.5f;
    settings.ambient = 0.05f;
    settings.baseLight[0] = settings.baseLight[1] = settings.baseLight[2] = 0.1f;
    settings.anisotropy = 0.3f;

    std::vector<TLLight> lights;
    TLLight light = tlDefaultLight();
    light.castShadows = 1;
    if (scene == kSun) {
        light.kind = TL_LIGHT_DIRECTIONAL;
        light.direction[0] = 0.5f;
        light.direction[1] = -1.0f;
        light.direction[2] = 0.3f;
        lights.push_back(light);
    } else if (scene == kPointLight) {
        light.kind = TL_LIGHT_POINT;
        light.position[1] = 8.0f;
        light.falloff = TL_FALLOFF_INVERSE_SQUARE_CLAMPED;
        light.range = 60.0f;
        lights.push_back(light);
    }

    std::vector<TLFloat4> image(static_cast<size_t>(kWidth) * kHeight);
    // One frame first: the buffers are allocated (and their memory touched) once, not in the timing.
    if (api.render(ctx, &camera, &settings, lights.data(), static_cast<int>(lights.size()), nullptr, image.data(),
                   nullptr) != 0) {
        return c.fail(state);
    }
    double deviceMs = 0.0;
    for (auto _ : state) {
        float ms = 0.0f;
        if (api.render(ctx, &camera, &settings, lights.data(), static_cast<int>(lights.size()), nullptr, image.data(),
                       &ms) != 0) {
            state.SkipWithError(api.lastError(ctx));
            break;
        }
        deviceMs += ms;
    }
    const double samples = static_cast<double>(kParticles) * settings.samples;
    state.counters["samples/s"] = benchmark::Counter(samples, benchmark::Counter::kIsIterationInvariantRate);
    // The frame's own device time from the library's events (without the image download).
    state.counters["device_ms"] = benchmark::Counter(deviceMs, benchmark::Counter::kAvgIterations);
}

void scenes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"samples", "scene"});
    for (int samples : {1, 4})
        for (int scene : {kPlain, kNoLights, kSun, kPointLight}) b->Args({samples, scene});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

// scene: 0 plain path, 1 lit without lights, 2 lit with a shadow-casting directional light, 3 lit
// with a shadow-casting point light.
BENCHMARK_CAPTURE(render, cpu, TALUNA_CPU_LIBRARY)->Apply(scenes);
#if defined(TALUNA_CUDA_LIBRARY)
BENCHMARK_CAPTURE(render, cuda, TALUNA_CUDA_LIBRARY)->Apply(scenes);
#endif

BENCHMARK_MAIN();
