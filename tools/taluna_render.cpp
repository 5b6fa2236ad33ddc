// taluna-render: renders the procedural galaxy (or, later, a particle file) with either library.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/taluna_loader.h"

namespace {

struct Options {
    std::string backend = "auto";
    int device = 0;
    uint64_t count = 1000000;
    uint32_t seed = 1;
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: taluna-render [options]\n"
                 "  --backend auto|cuda|cpu   library to use (auto: the GPU library, else the CPU library)\n"
                 "  --device N                device ordinal (default 0)\n"
                 "  --count N                 particles in the procedural galaxy (default 1000000)\n"
                 "  --seed N                  galaxy seed (default 1)\n"
                 "  --help                    this text\n");
}

bool parseUnsigned(const char* text, uint64_t* out) {
    if (!text || !*text || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno || *end) return false;
    *out = v;
    return true;
}

// Opens the requested library and a context on it; with "auto" a GPU library that loads but finds no
// usable device is given up for the CPU library, and the fallback is announced.
bool openBackend(const Options& opt, taluna::Api& api, TLContext** ctx) {
    std::string error;
    auto tryOne = [&](const char* lib) -> bool {
        if (!taluna::loadByName(api, lib, &error)) return false;
        *ctx = api.create(opt.device);
        if (!*ctx) {
            error = "out of host memory";
            return false;
        }
        if (*api.lastError(*ctx)) {
            error = api.lastError(*ctx);
            api.destroy(*ctx);
            *ctx = nullptr;
            return false;
        }
        return true;
    };
    if (opt.backend == "cuda" || opt.backend == "auto") {
        if (tryOne("libtaluna.so")) return true;
        if (opt.backend == "cuda") {
            std::fprintf(stderr, "taluna-render: CUDA backend unavailable: %s\n", error.c_str());
            return false;
        }
        std::printf("CUDA backend unavailable (%s); using the CPU backend\n", error.c_str());
    }
    if (tryOne("libtaluna_cpu.so")) return true;
    std::fprintf(stderr, "taluna-render: CPU backend unavailable: %s\n", error.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t v = 0;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--backend" && value) {
            opt.backend = value;
            ++i;
            if (opt.backend != "auto" && opt.backend != "cuda" && opt.backend != "cpu") {
                std::fprintf(stderr, "taluna-render: --backend takes auto, cuda or cpu\n");
                return 2;
            }
        } else if (a == "--device" && parseUnsigned(value, &v) && v < 1024) {
            opt.device = static_cast<int>(v);
            ++i;
        } else if (a == "--count" && parseUnsigned(value, &v)) {
            opt.count = v;
            ++i;
        } else if (a == "--seed" && parseUnsigned(value, &v) && v <= 0xFFFFFFFFull) {
            opt.seed = static_cast<uint32_t>(v);
            ++i;
        } else {
            std::fprintf(stderr, "taluna-render: bad option or value: %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }

    taluna::Api api;
    TLContext* ctx = nullptr;
    if (!openBackend(opt, api, &ctx)) return 1;
    char info[512];
    if (api.deviceInfo(ctx, info, sizeof info) == 0) std::printf("device: %s\nlibrary: %s\n", info, api.path.c_str());

    auto t0 = std::chrono::steady_clock::now();
    int rc = api.generateTestCloud(ctx, opt.count, opt.seed, 0);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (rc != 0) {
        std::fprintf(stderr, "taluna-render: %s\n", api.lastError(ctx));
        api.destroy(ctx);
        return 1;
    }
    std::printf("generated %llu particles in %.1f ms (%.1f M particles/s)\n",
                static_cast<unsigned long long>(api.getCount(ctx)), ms,
                ms > 0 ? static_cast<double>(opt.count) / ms / 1000.0 : 0.0);
    api.destroy(ctx);
    return 0;
}
