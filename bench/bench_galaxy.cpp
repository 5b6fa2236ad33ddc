// Procedural galaxy generation rate (particles per second) on each library present.
#include <benchmark/benchmark.h>

#include <string>

#include "common/taluna_loader.h"

namespace {

void generate(benchmark::State& state, const char* library) {
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
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    const int withVelocity = static_cast<int>(state.range(1));
    if (api.reserve(ctx, n, withVelocity) != 0) {
        state.SkipWithError(api.lastError(ctx));
        api.destroy(ctx);
        return;
    }
    for (auto _ : state) {
        if (api.generateTestCloud(ctx, n, 1, withVelocity) != 0) {
            state.SkipWithError(api.lastError(ctx));
            break;
        }
    }
    state.counters["particles/s"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
    api.destroy(ctx);
}

}  // namespace

BENCHMARK_CAPTURE(generate, cpu, TALUNA_CPU_LIBRARY)
    ->Args({4000000, 0})
    ->Args({4000000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#if defined(TALUNA_CUDA_LIBRARY)
BENCHMARK_CAPTURE(generate, cuda, TALUNA_CUDA_LIBRARY)
    ->Args({4000000, 0})
    ->Args({100000000, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

BENCHMARK_MAIN();
