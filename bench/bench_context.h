// The context every benchmark renders with: device 0 of a library, optionally holding the test galaxy,
// destroyed with this object. When the library, the context or the galaxy is not there, the benchmark
// is marked skipped with the reason and the object is empty.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "common/taluna_loader.h"

class BenchContext {
public:
    BenchContext(benchmark::State& state, const char* library, uint64_t galaxy = 0) {
        std::string error;
        if (!api.load(library, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        TLContext* created = api.create(0);
        if (!created || *api.lastError(created)) {
            state.SkipWithError(created ? api.lastError(created) : "no context");
            if (created) api.destroy(created);
            return;
        }
        ctx = created;
        if (galaxy > 0 && api.generateTestCloud(ctx, galaxy, 1, 0) != 0) fail(state);
    }
    BenchContext(const BenchContext&) = delete;
    BenchContext& operator=(const BenchContext&) = delete;
    ~BenchContext() {
        if (ctx) api.destroy(ctx);
    }

    explicit operator bool() const { return ctx != nullptr; }

    // Marks the benchmark skipped with the context's last error and empties the object.
    void fail(benchmark::State& state) {
        state.SkipWithError(api.lastError(ctx));
        api.destroy(ctx);
        ctx = nullptr;
    }

    taluna::Api api;
    TLContext* ctx = nullptr;
};
