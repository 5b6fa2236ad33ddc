// The library from several host threads at once, as the interface guide allows: contexts rendering
// on their own threads give the frames they give one after the other; a context handed from thread
// to thread between calls keeps working; the image writers run on many threads at once, from the
// process's first call on (CTest runs that test alone in a fresh process); a process that rendered
// forks, and both it and its child render on. scripts/tsan.sh runs these under ThreadSanitizer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "taluna.h"

namespace {

struct Frame {
    std::vector<TLUChar4> rgba;
    std::vector<TLFloat4> floats;
};

// How a job's frames are lit: the plain path, or the lighting path with no light, a shadow-casting
// sun or a shadow-casting point light.
enum class Lighting { plain, noLight, sun, bulb };

// One context's work: its own cloud and a few frames of its own sizes, lens settings and lights.
struct Job {
    uint64_t particles;
    uint32_t seed;
    bool velocity;
    int width, height;
    float aperture, shutter;
    int jitter, samples;
    Lighting lighting = Lighting::plain;
};

const Job kJobs[] = {
    {20000, 1, false, 64, 48, 0.0f, 0.0f, 0, 1},  {15000, 2, true, 80, 40, 0.0f, 2.0f, 1, 2},
    {25000, 3, false, 48, 48, 1.5f, 0.0f, 0, 3},  {10000, 4, true, 96, 32, 0.0f, 1.0f, 2, 1},
    {30000, 5, false, 32, 64, 0.0f, 0.0f, 0, 1},  {12000, 6, true, 40, 40, 2.0f, 3.0f, 1, 2},
};
constexpr int kFramesPerJob = 3;

// Lit frames of different contexts at once: each carries its own lights (one none at all).
const Job kLitJobs[] = {
    {6000, 7, false, 40, 30, 0.0f, 0.0f, 0, 1, Lighting::sun},
    {5000, 8, true, 36, 28, 0.0f, 1.0f, 1, 2, Lighting::noLight},
    {4000, 9, false, 32, 32, 0.0f, 0.0f, 0, 1, Lighting::bulb},
};

TLCamera jobCamera(const Job& job, int frame) {
    TLCamera c;
    std::memset(&c, 0, sizeof c);
    c.eye = TLV3{20.0f * frame, 60.0f, 160.0f};
    c.up = TLV3{0.0f, 1.0f, 0.0f};
    c.fovY = 50.0f;
    c.aperture = job.aperture;
    c.focusDistance = job.aperture > 0.0f ? 150.0f : 0.0f;
    return c;
}

TLRenderSettings jobSettings(const Job& job, int frame) {
    TLRenderSettings s;
    std::memset(&s, 0, sizeof s);
    s.width = job.width + frame;  // a new size each frame: the buffers are reallocated
    s.height = job.height;
    s.intensity = 2.0f;
    s.exposure = 1.0f;
    s.samples = job.samples;
    s.jitterCount = job.jitter;
    s.jitterSigma = 0.5f;
    s.shutter = job.shutter;
    s.seed = job.seed;
    if (job.lighting != Lighting::plain) {
        s.lightingMode = 1;
        s.density = 1.0f;
        s.ambient = 0.1f;
        s.shadowMapSize = 64;
    }
    return s;
}

std::vector<TLLight> jobLights(const Job& job) {
    if (job.lighting == Lighting::plain || job.lighting == Lighting::noLight) return {};
    TLLight light;
    std::memset(&light, 0, sizeof light);
    light.kind = job.lighting == Lighting::sun ? 2 : 0;
    const float position[3] = {0.0f, 80.0f, 40.0f}, direction[3] = {0.3f, -1.0f, -0.2f}, color[3] = {3.0f, 2.7f, 2.4f};
    std::memcpy(light.position, position, sizeof position);
    std::memcpy(light.direction, direction, sizeof direction);
    std::memcpy(light.color, color, sizeof color);
    light.range = 400.0f;
    light.castShadows = 1;
    return {light};
}

// Runs a job on a context of its own; false with a message on any failure.
bool runJob(const Job& job, std::vector<Frame>& frames, std::string& error) {
    TLContext* ctx = tlCreate(0);
    if (!ctx || tlLastError(ctx)[0]) {
        error = ctx ? tlLastError(ctx) : "no context";
        tlDestroy(ctx);
        return false;
    }
    bool ok = tlGenerateTestCloud(ctx, job.particles, job.seed, job.velocity) == 0;
    frames.assign(kFramesPerJob, Frame{});
    for (int f = 0; ok && f < kFramesPerJob; ++f) {
        const TLCamera c = jobCamera(job, f);
        const TLRenderSettings s = jobSettings(job, f);
        frames[f].rgba.resize(size_t(s.width) * s.height);
        frames[f].floats.resize(size_t(s.width) * s.height);
        const std::vector<TLLight> lights = jobLights(job);
        ok = tlRender(ctx, &c, &s, lights.data(), int(lights.size()), frames[f].rgba.data(), frames[f].floats.data(),
                      nullptr) == 0;
    }
    if (!ok) error = tlLastError(ctx);
    tlDestroy(ctx);
    return ok;
}

// Float sums of several worker threads may differ in their last bits between runs. Returns "" when
// the frames agree, else the first difference.
std::string frameDifference(const Frame& a, const Frame& b) {
    if (a.floats.size() != b.floats.size() || a.rgba.size() != b.rgba.size()) return "sizes differ";
    for (size_t i = 0; i < a.floats.size(); ++i) {
        for (int ch = 0; ch < 4; ++ch) {
            const float x = (&a.floats[i].x)[ch], y = (&b.floats[i].x)[ch];
            if (!(std::fabs(x - y) <= 1e-5f * std::fmax(1.0f, std::fabs(y))))
                return "pixel " + std::to_string(i) + ": float " + std::to_string(x) + " vs " + std::to_string(y);
        }
        if (std::abs(a.rgba[i].x - b.rgba[i].x) > 1 || std::abs(a.rgba[i].w - b.rgba[i].w) > 1)
            return "pixel " + std::to_string(i) + ": 8-bit red or alpha differs";
    }
    return "";
}

void expectSameFrame(const Frame& a, const Frame& b, const std::string& what) {
    EXPECT_EQ(frameDifference(a, b), "") << what;
}

// Runs every job on a thread of its own, all starting together, `rounds` times over; each frame must
// equal the job's frame rendered alone.
template <size_t kCount>
void expectFramesOfOneAfterTheOther(const Job (&jobs)[kCount], int rounds) {
    std::vector<std::vector<Frame>> serial(kCount), parallel(kCount);
    std::string error;
    for (size_t j = 0; j < kCount; ++j) ASSERT_TRUE(runJob(jobs[j], serial[j], error)) << error;

    for (int round = 0; round < rounds; ++round) {
        std::vector<std::string> errors(kCount);
        std::vector<char> ok(kCount, 0);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (size_t j = 0; j < kCount; ++j) {
            threads.emplace_back([&, j] {
                // Start together, so the calls overlap.
                ++ready;
                while (ready.load() < int(kCount)) std::this_thread::yield();
                ok[j] = runJob(jobs[j], parallel[j], errors[j]);
            });
        }
        for (std::thread& t : threads) t.join();
        for (size_t j = 0; j < kCount; ++j) {
            ASSERT_TRUE(ok[j]) << "job " << j << ": " << errors[j];
            for (int f = 0; f < kFramesPerJob; ++f)
                expectSameFrame(parallel[j][f], serial[j][f],
                                "round " + std::to_string(round) + ", job " + std::to_string(j) + ", frame " +
                                    std::to_string(f));
        }
    }
}

TEST(Threads, ContextsRenderingAtOnceGiveTheFramesOfOneAfterTheOther) { expectFramesOfOneAfterTheOther(kJobs, 1); }

TEST(Threads, LitFramesOfContextsAtOnceKeepTheirOwnLights) { expectFramesOfOneAfterTheOther(kLitJobs, 8); }

TEST(Threads, AContextMovesFromThreadToThreadBetweenCalls) {
    const Job& job = kJobs[1];
    std::vector<Frame> expected;
    std::string error;
    ASSERT_TRUE(runJob(job, expected, error)) << error;

    // Each call on a thread of its own, one after the other.
    auto onNewThread = [](auto&& body) { std::thread(body).join(); };
    TLContext* ctx = nullptr;
    onNewThread([&] { ctx = tlCreate(0); });
    ASSERT_NE(ctx, nullptr);
    ASSERT_STREQ(tlLastError(ctx), "");
    int rc = -1;
    onNewThread([&] { rc = tlGenerateTestCloud(ctx, job.particles, job.seed, job.velocity); });
    ASSERT_EQ(rc, 0) << tlLastError(ctx);
    for (int f = 0; f < kFramesPerJob; ++f) {
        Frame frame;
        onNewThread([&] {
            const TLCamera c = jobCamera(job, f);
            const TLRenderSettings s = jobSettings(job, f);
            frame.rgba.resize(size_t(s.width) * s.height);
            frame.floats.resize(size_t(s.width) * s.height);
            rc = tlRender(ctx, &c, &s, nullptr, 0, frame.rgba.data(), frame.floats.data(), nullptr);
        });
        ASSERT_EQ(rc, 0) << tlLastError(ctx);
        expectSameFrame(frame, expected[f], "frame " + std::to_string(f));
    }
    // A failure on one thread does not follow the context, or the thread, into the next call.
    onNewThread([&] { rc = tlReserve(ctx, UINT64_MAX, 1); });
    EXPECT_EQ(rc, 1);
    std::vector<TLV3> points(4, TLV3{0.0f, 0.0f, -1.0f});
    onNewThread([&] { rc = tlUpload(ctx, points.data(), nullptr, nullptr, points.size(), 0); });
    EXPECT_EQ(rc, 0) << tlLastError(ctx);

    // A context whose device failed keeps failing on any thread; a good one created on that thread
    // afterwards works.
    TLContext* bad = tlCreate(64);
    ASSERT_NE(bad, nullptr);
    onNewThread([&] {
        rc = tlGenerateTestCloud(bad, 10, 1, 0);
        TLContext* good = tlCreate(0);
        if (rc == 1 && tlGenerateTestCloud(good, 10, 1, 0) == 0) rc = 2;
        tlDestroy(good);
    });
    EXPECT_EQ(rc, 2) << tlLastError(bad);
    onNewThread([&] { tlDestroy(bad); });
    onNewThread([&] { tlDestroy(ctx); });
}

std::vector<float> testImage(int width, int height, int variant) {
    std::vector<float> rgba(size_t(width) * height * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = float((i * (7 + variant)) % 97) / 64.0f - 0.2f;
    return rgba;
}

std::vector<char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Registered in CTest on its own, so these are the process's first image writes; two more threads
// render meanwhile.
TEST(ColdProcess, ManyThreadsSaveImagesAtOnce) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("taluna-threads-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    constexpr int kWriters = 12, kRenderers = 2;
    auto name = [&](int w, const char* suffix) { return (folder / ("image" + std::to_string(w) + suffix)).string(); };
    auto save = [&](int w, const char* suffix) {
        const int width = 33 + w, height = 17 + 2 * w;
        const std::vector<float> rgba = testImage(width, height, w);
        const std::string path = name(w, suffix);
        if (w % 3 == 2) return tlSaveEXR(path.c_str(), width, height, rgba.data());
        return tlSavePNG(path.c_str(), width, height, rgba.data(), w % 3);
    };

    std::atomic<int> ready{0};
    std::vector<int> results(kWriters, -1);
    std::vector<char> rendered(kRenderers, 0);
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            ++ready;
            while (ready.load() < kWriters + kRenderers) std::this_thread::yield();
            results[w] = save(w, ".at-once");
        });
    }
    for (int r = 0; r < kRenderers; ++r) {
        threads.emplace_back([&, r] {
            ++ready;
            while (ready.load() < kWriters + kRenderers) std::this_thread::yield();
            std::vector<Frame> frames;
            std::string error;
            rendered[r] = runJob(kJobs[r], frames, error);
        });
    }
    for (std::thread& t : threads) t.join();
    for (int r = 0; r < kRenderers; ++r) EXPECT_TRUE(rendered[r]) << "renderer " << r;
    // The files written at once equal those written one after the other.
    for (int w = 0; w < kWriters; ++w) {
        ASSERT_EQ(results[w], 0) << "writer " << w;
        ASSERT_EQ(save(w, ".serial"), 0);
        const std::vector<char> atOnce = readFile(name(w, ".at-once"));
        EXPECT_GT(atOnce.size(), 100u);
        EXPECT_TRUE(atOnce == readFile(name(w, ".serial"))) << "writer " << w;
    }
    fs::remove_all(folder);
}

// A plain frame and a lit one (a shadow-casting sun) of the context's cloud.
bool renderPlainAndLit(TLContext* ctx, Frame& plain, Frame& lit) {
    const Job* jobs[2] = {&kJobs[0], &kLitJobs[0]};
    Frame* frames[2] = {&plain, &lit};
    for (int i = 0; i < 2; ++i) {
        const TLCamera c = jobCamera(*jobs[i], 0);
        const TLRenderSettings s = jobSettings(*jobs[i], 0);
        const std::vector<TLLight> lights = jobLights(*jobs[i]);
        frames[i]->rgba.resize(size_t(s.width) * s.height);
        frames[i]->floats.resize(size_t(s.width) * s.height);
        if (tlRender(ctx, &c, &s, lights.data(), int(lights.size()), frames[i]->rgba.data(), frames[i]->floats.data(),
                     nullptr) != 0)
            return false;
    }
    return true;
}

// Python's multiprocessing (fork start method), prefork servers: a process that rendered forks, and
// the child, holding a copy of the parent's context, renders the parent's frames again. The child
// runs under a deadline, so a child stuck in the thread pool it inherited fails the test.
TEST(Fork, TheChildOfARenderingProcessRendersAndSoDoesTheParent) {
    TLContext* ctx = tlCreate(0);
    ASSERT_STREQ(tlLastError(ctx), "");
    ASSERT_EQ(tlGenerateTestCloud(ctx, 20000, 7, 0), 0) << tlLastError(ctx);
    Frame plain, lit;
    ASSERT_TRUE(renderPlainAndLit(ctx, plain, lit)) << tlLastError(ctx);
    ASSERT_NE(frameDifference(plain, lit), "");  // the lit frame is a frame of its own

    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // 0: the same frames; 1: a render failed; 2: other frames.
        Frame childPlain, childLit;
        if (!renderPlainAndLit(ctx, childPlain, childLit)) ::_exit(1);
        ::_exit(frameDifference(childPlain, plain).empty() && frameDifference(childLit, lit).empty() ? 0 : 2);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    pid_t done = 0;
    while ((done = ::waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (done == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        ADD_FAILURE() << "the child did not finish its two frames in 30 s: killed";
    } else {
        ASSERT_EQ(done, child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << (WIFEXITED(status) ? "child exit status " + std::to_string(WEXITSTATUS(status))
                                  : "child killed by signal " + std::to_string(WTERMSIG(status)));
    }

    Frame afterPlain, afterLit;
    ASSERT_TRUE(renderPlainAndLit(ctx, afterPlain, afterLit)) << tlLastError(ctx);
    expectSameFrame(afterPlain, plain, "parent, plain frame after the fork");
    expectSameFrame(afterLit, lit, "parent, lit frame after the fork");
    tlDestroy(ctx);

    // One OpenMP runtime in the process: GNU's (which does not survive fork) is not loaded beside it.
    std::ifstream maps("/proc/self/maps");
    const std::string mapped((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
    EXPECT_EQ(mapped.find("libgomp"), std::string::npos);
}

}  // namespace
