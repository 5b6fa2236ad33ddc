// Soak: rounds of the varied frames on one context, saving images now and then; the memory must stop growing
// after the first round (exit 1 otherwise, or when a frame fails). --no-growth-check is for valgrind runs.
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/frames.h"

namespace {

// Growth allowed after the first round (the resident set moves by what the allocator keeps or returns).
constexpr long long kHeapTolerance = 64 * 1024;
constexpr long long kResidentTolerance = 4 * 1024 * 1024;

long long residentBytes() {
    long long pages = 0, resident = -1;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) std::fscanf(f, "%lld %lld", &pages, &resident), std::fclose(f);
    return resident * sysconf(_SC_PAGESIZE);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 4, frames = 750;
    uint64_t particles = 20000;
    bool growthCheck = true;
    for (int a = 1; a < argc; ++a) {
        const std::string opt = argv[a];
        const bool value = a + 1 < argc;
        if (opt == "--no-growth-check") growthCheck = false;
        else if (value && opt == "--rounds") rounds = std::atoi(argv[++a]);
        else if (value && opt == "--frames") frames = std::atoi(argv[++a]);
        else if (value && opt == "--particles") particles = std::strtoull(argv[++a], nullptr, 10);
        else rounds = 0;
    }
    if (rounds < 2 || frames < 1)
        return std::fprintf(stderr, "usage: taluna_soak [--rounds R>=2] [--frames F>=1] [--particles N] [--no-growth-check]\n"), 2;
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (!tunables || !std::strstr(tunables, "tcache_count=0"))
        std::printf("note: glibc's per-thread cache is on; the heap figure may creep by a few KiB\n");
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("taluna-soak-" + std::to_string(getpid()));
    fs::create_directories(folder);

    TLContext* ctx = tlCreate(0);
    if (!ctx || tlLastError(ctx)[0]) return std::fprintf(stderr, "taluna_soak: no context\n"), 1;
    taluna::testing::Frame frame;
    long long firstHeap = 0, firstResident = 0;
    bool ok = true;
    std::printf("round  frames  seconds  resident_kib  heap_kib\n");
    for (int round = 0; round < rounds && ok; ++round) {
        const auto start = std::chrono::steady_clock::now();
        // The cloud again, of the same size (the store keeps its arrays); fewer particles now and then.
        ok = tlGenerateTestCloud(ctx, particles, 7, 1) == 0 || std::fprintf(stderr, "%s\n", tlLastError(ctx)) < 0;
        for (int k = 0; k < frames && ok; ++k) {
            ok = tlSetCount(ctx, k % 7 == 0 ? particles / 2 : particles) == 0;
            const taluna::testing::FrameSpec scene = taluna::testing::variedFrame(k);
            const TLRenderSettings& settings = scene.settings;
            float ms = 0.0f;
            const int outputs = k % 4 == 0 ? 2 : k % 4;  // every combination, the float image at least every other
            ok = ok && taluna::testing::renderFrame(ctx, scene, frame, outputs, outputs == 3 ? &ms : nullptr) == 0;
            if (!ok) std::fprintf(stderr, "round %d, frame %d: %s\n", round, k, tlLastError(ctx));
            if (ok && k % 250 == 0) {
                const std::string base = (folder / "frame").string();
                ok = tlSavePNG((base + ".png").c_str(), settings.width, settings.height, &frame.floats[0].x, k % 500 == 0) == 0 &&
                     tlSaveEXR((base + ".exr").c_str(), settings.width, settings.height, &frame.floats[0].x) == 0;
                if (!ok) std::fprintf(stderr, "round %d, frame %d: saving failed\n", round, k);
            }
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const struct mallinfo2 m = mallinfo2();
        const long long resident = residentBytes(), heap = static_cast<long long>(m.uordblks + m.hblkhd);
        std::printf("%5d  %6d  %7.2f  %12lld  %8lld\n", round + 1, frames, seconds, resident / 1024, heap / 1024);
        std::fflush(stdout);
        if (round == 0) firstHeap = heap, firstResident = resident;
        else if (growthCheck && (heap - firstHeap > kHeapTolerance || resident - firstResident > kResidentTolerance)) {
            std::fprintf(stderr, "round %d: memory grew since round 1: heap %+lld B, resident %+lld B\n", round + 1,
                         heap - firstHeap, resident - firstResident);
            ok = false;
        }
    }
    tlDestroy(ctx);
    fs::remove_all(folder);
    std::printf("%s\n", !ok ? "FAILED" : growthCheck ? "no growth after the first round" : "done");
    return ok ? 0 : 1;
}
