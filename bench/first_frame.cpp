// The first frame of a process against its warm frames: creates a context, generates the galaxy, then
// times frame 1 and frames 2..N of the plain path at 1920 x 1080 (complete tlRender calls, float image
// downloaded, as the renderer tool runs them) and prints the ratio of the first to the median warm one.
// A library that prepares its buffers late pays for it here: page faults on fresh memory land in frame 1.
//
// Usage: first_frame [frames (default 6)] [particles (default 4000000)] [samples] [jitter] [library]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/taluna_loader.h"

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(2, std::atoi(argv[1])) : 6;
    const uint64_t particles = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 4000000u;
    TLRenderSettings settings = tlDefaultSettings();
    settings.width = 1920;
    settings.height = 1080;
    settings.samples = argc > 3 ? std::atoi(argv[3]) : 1;
    settings.jitterCount = argc > 4 ? std::atoi(argv[4]) : 0;
    const char* library = argc > 5 ? argv[5] : TALUNA_CPU_LIBRARY;

    taluna::Api api;
    std::string error;
    if (!api.load(library, &error)) {
        std::fprintf(stderr, "first_frame: %s\n", error.c_str());
        return 1;
    }
    TLContext* ctx = api.create(0);
    if (!ctx || *api.lastError(ctx) || api.generateTestCloud(ctx, particles, 1, 0) != 0) {
        std::fprintf(stderr, "first_frame: %s\n", ctx ? api.lastError(ctx) : "no context");
        return 1;
    }
    const TLCamera camera = tlDefaultCamera();
    std::vector<TLFloat4> image(static_cast<size_t>(settings.width) * settings.height);
    std::vector<double> ms;
    for (int i = 0; i < frames; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (api.render(ctx, &camera, &settings, nullptr, 0, nullptr, image.data(), nullptr) != 0) {
            std::fprintf(stderr, "first_frame: %s\n", api.lastError(ctx));
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    api.destroy(ctx);
    std::vector<double> warm(ms.begin() + 1, ms.end());
    std::sort(warm.begin(), warm.end());
    const double median = warm[warm.size() / 2];
    const double samples = static_cast<double>(particles) * (settings.jitterCount + 1) * settings.samples;
    std::printf("first frame %.1f ms, warm frame %.1f ms (median of %zu), first/warm %.2f; warm %.1f M samples/s\n",
                ms[0], median, warm.size(), ms[0] / median, samples / median / 1e3);
    return 0;
}
