// Procedural galaxy generation rate (particles per second) on each library present.
#include <benchmark/benchmark.h>

#include "bench_context.h"

namespace {

void generate(benchmark::State& state, const char* library) {
    BenchContext c(state, library);
    if (!c) return;
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    const int withVelocity = static_cast<int>(state.range(1));
    if (c.api.reserve(c.ctx, n, withVelocity) != 0) return c.fail(state);
    for (auto _ : state) {
        if (c.api.generateTestCloud(c.ctx, n, 1, withVelocity) != 0) return c.fail(state);
    }
    state.counters["particles/s"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
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
