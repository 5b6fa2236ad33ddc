// Plain-path render rate (samples per second) of the 4,000,000-particle galaxy at 1920 x 1080, seen as
// the renderer tool's default picture, on each library present. Every iteration is one complete
// tlRender call (clear, splat, resolve, download of the float image), as the renderer tool runs it
// frame after frame.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "bench_context.h"
#include "kernels/galaxy.h"

namespace {

constexpr uint64_t kParticles = 4000000;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

void render(benchmark::State& state, const char* library) {
    BenchContext c(state, library, kParticles);
    if (!c) return;
    taluna::Api& api = c.api;
    TLContext* const ctx = c.ctx;
    // The renderer tool's default picture, with the sampling under test.
    const TLCamera camera = tlDefaultCamera();
    TLRenderSettings settings = tlDefaultSettings();
    settings.width = kWidth;
    settings.height = kHeight;
    settings.samples = static_cast<int>(state.range(0));
    settings.jitterCount = static_cast<int>(state.range(1));

    std::vector<TLFloat4> image(static_cast<size_t>(kWidth) * kHeight);
    // Two frames first, untimed: the timing is a sequence's steady state (buffers allocated, copy
    // offsets kept from the second frame on). A process's first frame is bench/first_frame's.
    for (int warm = 0; warm < 2; ++warm) {
        if (api.render(ctx, &camera, &settings, nullptr, 0, nullptr, image.data(), nullptr) != 0) {
            return c.fail(state);
        }
    }
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
}

// The baseline a C++ user writes without taluna: a plain OpenMP loop that projects every particle of
// the same galaxy through the same camera and adds its colour with four atomic float additions.
// Every iteration clears the accumulator and splats (no tone mapping). Its speed swings with the
// machine's state (contention on the atomics), so it is reported beside the plain path, not a target.
void atomicLoop(benchmark::State& state) {
    std::vector<TLV3> positions(kParticles);
    std::vector<TLUChar4> colors(kParticles);
#pragma omp parallel for
    for (uint64_t i = 0; i < kParticles; ++i) {
        const tl::GalaxyParticle p = tl::galaxyParticle(i, 1);
        positions[i] = p.position;
        colors[i] = p.color;
    }
    const TLCamera c = tlDefaultCamera();
    float fwd[3] = {c.target.x - c.eye.x, c.target.y - c.eye.y, c.target.z - c.eye.z};
    const float fn = std::sqrt(fwd[0] * fwd[0] + fwd[1] * fwd[1] + fwd[2] * fwd[2]);
    for (float& v : fwd) v /= fn;
    float right[3] = {fwd[1] * c.up.z - fwd[2] * c.up.y, fwd[2] * c.up.x - fwd[0] * c.up.z,
                      fwd[0] * c.up.y - fwd[1] * c.up.x};
    const float rn = std::sqrt(right[0] * right[0] + right[1] * right[1] + right[2] * right[2]);
    for (float& v : right) v /= rn;
    const float up[3] = {right[1] * fwd[2] - right[2] * fwd[1], right[2] * fwd[0] - right[0] * fwd[2],
                         right[0] * fwd[1] - right[1] * fwd[0]};
    const float eye[3] = {c.eye.x, c.eye.y, c.eye.z};
    const float scaleY = 1.0f / std::tan(c.fovY * 0.5f * 3.1415927f / 180.0f);
    const float scaleX = scaleY / (static_cast<float>(kWidth) / kHeight);
    auto dot = [](const float* a, const float* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
    const float ox = -dot(right, eye), oy = -dot(up, eye), oz = dot(fwd, eye);

    std::vector<float> accumulator(static_cast<size_t>(kWidth) * kHeight * 4);
    for (auto _ : state) {
        std::fill(accumulator.begin(), accumulator.end(), 0.0f);
        float* acc = accumulator.data();
#pragma omp parallel for schedule(static, 4096)
        for (uint64_t i = 0; i < kParticles; ++i) {
            const float p[3] = {positions[i].x, positions[i].y, positions[i].z};
            const float z = -dot(fwd, p) + oz;
            if (z > -0.01f) continue;
            const float q = -1.0f / z;
            const float fx = ((dot(right, p) + ox) * q * scaleX * 0.5f + 0.5f) * kWidth;
            const float fy = (1.0f - ((dot(up, p) + oy) * q * scaleY * 0.5f + 0.5f)) * kHeight;
            if (!(fx >= 0.0f && fy >= 0.0f && fx < kWidth && fy < kHeight)) continue;
            float* a = acc + 4 * (static_cast<size_t>(fy) * kWidth + static_cast<size_t>(fx));
            const TLUChar4 col = colors[i];
#pragma omp atomic
            a[0] += col.x * (1.0f / 255.0f);
#pragma omp atomic
            a[1] += col.y * (1.0f / 255.0f);
#pragma omp atomic
            a[2] += col.z * (1.0f / 255.0f);
#pragma omp atomic
            a[3] += col.w * (1.0f / 255.0f);
        }
        benchmark::DoNotOptimize(acc);
    }
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(kParticles),
                                                     benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(atomicLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

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
