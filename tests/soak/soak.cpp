// Soak test: renders rounds of frames of changing sizes, both paths, 0 to 8 lights, both projections
// and every combination of outputs on one context, saving a PNG and an EXR now and then, and checks
// that the process's memory stops growing after the first round. Every round repeats the same frames,
// so after the first one every grow-only buffer has its final size and every reallocated buffer has
// been through all its sizes.
//
//   taluna_soak [--rounds R] [--frames F] [--particles N] [--no-growth-check]
// Prints per round the frames, the seconds, the resident set and the heap in use; exits 1 when a frame
// fails or the memory grew after the first round by more than the tolerances below. The heap figure
// counts the blocks glibc's per-thread cache holds after they were freed as in use, so it creeps up
// by a few KiB until that cache is full; run with GLIBC_TUNABLES=glibc.malloc.tcache_count=0 (as the
// suite and scripts/soak.sh do) for an exact figure. Under valgrind,
// whose allocator the process's figures do not see, --no-growth-check leaves the leak check to it
// (scripts/soak.sh).
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "taluna.h"

namespace {

// Growth allowed after the first round: the heap in use must come back to the same size; the resident
// set may move by what the allocator keeps or returns.
constexpr long long kHeapTolerance = 64 * 1024;
constexpr long long kResidentTolerance = 4 * 1024 * 1024;

long long residentBytes() {
    long long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2) resident = -1;
    std::fclose(f);
    return resident * sysconf(_SC_PAGESIZE);
}

long long heapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<long long>(m.uordblks + m.hblkhd);
}

struct Size {
    int width, height;
};
constexpr Size kSizes[] = {{64, 48}, {32, 32}, {96, 54}, {17, 9}, {128, 72}, {1, 1}, {200, 10}};
constexpr int kSizeCount = sizeof kSizes / sizeof kSizes[0];

// Frame k of every round.
void describeFrame(int k, TLCamera& c, TLRenderSettings& s, std::vector<TLLight>& lights) {
    std::memset(&c, 0, sizeof c);
    c.eye = TLV3{40.0f * float(k % 5) - 80.0f, 60.0f, 160.0f};
    c.up = TLV3{0.0f, 1.0f, 0.0f};
    c.fovY = 50.0f;
    if (k % 4 == 3) {
        c.projection = 1;
        c.eye = TLV3{0.0f, 5.0f, 0.0f};
        c.target = TLV3{0.0f, 0.0f, -1.0f};
        c.eyeOffset = k % 8 == 3 ? 0.03f : 0.0f;
    }
    if (k % 6 == 2) {
        c.aperture = 1.5f;
        c.focusDistance = 150.0f;
    }
    std::memset(&s, 0, sizeof s);
    const Size size = kSizes[k % kSizeCount];
    s.width = size.width;
    s.height = size.height;
    s.intensity = 1.0f;
    s.exposure = 1.5f;
    s.samples = 1 + k % 3;
    s.jitterCount = k % 2;
    s.jitterSigma = 0.5f;
    s.shutter = k % 5 == 0 ? 2.0f : 0.0f;
    s.seed = uint32_t(k);
    s.lightingMode = k % 3 == 1 ? 1 : 0;
    s.density = 1.0f;
    s.ambient = 0.05f;
    s.anisotropy = 0.3f;
    s.shadowMapSize = 16 + 8 * (k % 4);
    s.shadowSlices = 4 + 4 * (k % 3);
    s.depthSlices = 8 + 4 * (k % 2);
    lights.assign(size_t((k / 3) % 9), TLLight{});
    for (size_t l = 0; l < lights.size(); ++l) {
        TLLight& light = lights[l];
        light.kind = int32_t(l % 3);
        light.position[0] = 30.0f * float(l) - 100.0f;
        light.position[1] = 80.0f;
        light.direction[1] = -1.0f;
        light.direction[2] = 0.2f * float(l);
        light.color[0] = light.color[1] = light.color[2] = 1.0f;
        light.outerAngle = 60.0f;
        light.innerAngle = 30.0f;
        light.falloff = int32_t(l % 7);
        light.range = 100.0f;
        light.castShadows = (k + int(l)) % 2;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 4, frames = 750;
    uint64_t particles = 20000;
    bool growthCheck = true;
    for (int a = 1; a < argc; ++a) {
        std::string opt = argv[a];
        if (opt == "--no-growth-check") {
            growthCheck = false;
            continue;
        }
        if (a + 1 >= argc) opt.clear();  // an option without its value
        if (opt == "--rounds") rounds = std::atoi(argv[++a]);
        else if (opt == "--frames") frames = std::atoi(argv[++a]);
        else if (opt == "--particles") particles = std::strtoull(argv[++a], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: taluna_soak [--rounds R] [--frames F] [--particles N] [--no-growth-check]\n");
            return 2;
        }
    }
    if (rounds < 2 || frames < 1) {
        std::fprintf(stderr, "taluna_soak: at least 2 rounds of 1 frame\n");
        return 2;
    }
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (!tunables || !std::strstr(tunables, "tcache_count=0"))
        std::printf("note: glibc's per-thread cache is on; the heap figure may creep by a few KiB\n");
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("taluna-soak-" + std::to_string(getpid()));
    fs::create_directories(folder);

    TLContext* ctx = tlCreate(0);
    if (!ctx || tlLastError(ctx)[0]) {
        std::fprintf(stderr, "taluna_soak: no context\n");
        return 1;
    }
    const Size largest = {200, 72};
    std::vector<TLUChar4> rgba(size_t(largest.width) * largest.height);
    std::vector<TLFloat4> floats(rgba.size());
    TLCamera camera;
    TLRenderSettings settings;
    std::vector<TLLight> lights;
    long long firstHeap = 0, firstResident = 0;
    bool ok = true;
    std::printf("round  frames  seconds  resident_kib  heap_kib\n");
    for (int round = 0; round < rounds && ok; ++round) {
        const auto start = std::chrono::steady_clock::now();
        // The cloud again, of the same size: the store keeps its arrays.
        if (tlGenerateTestCloud(ctx, particles, 7, 1) != 0) {
            std::fprintf(stderr, "round %d: test cloud: %s\n", round, tlLastError(ctx));
            ok = false;
            break;
        }
        for (int k = 0; k < frames && ok; ++k) {
            // Fewer particles now and then; the count changes without an allocation.
            if (tlSetCount(ctx, k % 7 == 0 ? particles / 2 : particles) != 0) ok = false;
            describeFrame(k, camera, settings, lights);
            float ms = 0.0f;
            const int outputs = k % 4;
            if (tlRender(ctx, &camera, &settings, lights.data(), int(lights.size()), outputs & 1 ? rgba.data() : nullptr,
                         outputs & 2 || outputs == 0 ? floats.data() : nullptr, outputs == 3 ? &ms : nullptr) != 0) {
                std::fprintf(stderr, "round %d, frame %d: %s\n", round, k, tlLastError(ctx));
                ok = false;
            }
            if (ok && k % 250 == 0) {
                const std::string base = (folder / "frame").string();
                ok = tlSavePNG((base + ".png").c_str(), settings.width, settings.height, &floats[0].x, k % 500 == 0) == 0 &&
                     tlSaveEXR((base + ".exr").c_str(), settings.width, settings.height, &floats[0].x) == 0;
                if (!ok) std::fprintf(stderr, "round %d, frame %d: saving failed\n", round, k);
            }
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const long long resident = residentBytes(), heap = heapInUse();
        std::printf("%5d  %6d  %7.2f  %12lld  %8lld\n", round + 1, frames, seconds, resident / 1024, heap / 1024);
        std::fflush(stdout);
        if (round == 0) {
            firstHeap = heap;
            firstResident = resident;
        } else if (growthCheck && (heap - firstHeap > kHeapTolerance || resident - firstResident > kResidentTolerance)) {
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
