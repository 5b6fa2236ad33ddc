// The library from several host threads at once, and across fork (scripts/tsan.sh runs these under
// ThreadSanitizer).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "common/frames.h"

namespace {

using taluna::testing::cloudContext;
using taluna::testing::Frame;
using taluna::testing::frameDifference;
using taluna::testing::renderFrame;
using taluna::testing::variedFrame;

// One context's work: its own cloud and frames first, first + 3, first + 6 (all lit when first % 3 == 1).
struct Job { uint64_t particles; uint32_t seed; bool velocity; int first; };
constexpr int kFramesPerJob = 3;
const Job kJobs[] = {{20000, 1, false, 0}, {15000, 2, true, 2}, {25000, 3, false, 5},
                     {10000, 4, true, 9},  {30000, 5, false, 12}, {12000, 6, true, 21}};
// Lit frames with no light, one, two, ... (the frames' light counts grow with k).
const Job kLitJobs[] = {{6000, 7, false, 1}, {5000, 8, true, 4}, {4000, 9, false, 10}};

bool runJob(const Job& job, std::vector<Frame>& frames, std::string& error) {
    TLContext* ctx = cloudContext(job.particles, job.seed, job.velocity, error);
    frames.assign(kFramesPerJob, Frame{});
    for (int f = 0; ctx && f < kFramesPerJob; ++f) {
        if (renderFrame(ctx, variedFrame(job.first + 3 * f), frames[f]) != 0) error = tlLastError(ctx);
        if (!error.empty()) break;
    }
    tlDestroy(ctx);
    return ctx && error.empty();
}

// Every job on a thread of its own, all starting together, `rounds` times: each frame equals the serial one.
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
        for (size_t j = 0; j < kCount; ++j)
            threads.emplace_back([&, j] {
                for (++ready; ready.load() < int(kCount);) std::this_thread::yield();  // so the calls overlap
                ok[j] = runJob(jobs[j], parallel[j], errors[j]);
            });
        for (std::thread& t : threads) t.join();
        for (size_t j = 0; j < kCount; ++j) {
            ASSERT_TRUE(ok[j]) << "job " << j << ": " << errors[j];
            for (int f = 0; f < kFramesPerJob; ++f)
                ASSERT_EQ(frameDifference(parallel[j][f], serial[j][f]), "")
                    << "round " << round << ", job " << j << ", frame " << f;
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
    auto onNewThread = [](auto&& body) { std::thread(body).join(); };
    TLContext* ctx = nullptr;
    onNewThread([&] { ctx = cloudContext(job.particles, job.seed, job.velocity, error); });
    ASSERT_NE(ctx, nullptr) << error;
    for (int f = 0; f < kFramesPerJob; ++f) {
        Frame frame;
        int rc = -1;
        onNewThread([&] { rc = renderFrame(ctx, variedFrame(job.first + 3 * f), frame); });
        ASSERT_EQ(rc, 0) << tlLastError(ctx);
        EXPECT_EQ(frameDifference(frame, expected[f]), "") << "frame " << f;
    }
    onNewThread([&] { tlDestroy(ctx); });
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Alone in its CTest process, so these are the process's first image writes; two threads render meanwhile.
TEST(ColdProcess, ManyThreadsSaveImagesAtOnce) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("taluna-threads-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    constexpr int kWriters = 12, kRenderers = 2;
    auto name = [&](int w, const char* suffix) { return (folder / ("image" + std::to_string(w) + suffix)).string(); };
    auto save = [&](int w, const char* suffix) {
        const int width = 33 + w, height = 17 + 2 * w;
        std::vector<float> rgba(size_t(width) * height * 4);
        for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = float((i * (7 + w)) % 97) / 64.0f - 0.2f;
        const std::string path = name(w, suffix);
        if (w % 3 == 2) return tlSaveEXR(path.c_str(), width, height, rgba.data());
        return tlSavePNG(path.c_str(), width, height, rgba.data(), w % 3);
    };
    std::atomic<int> ready{0};
    std::vector<int> results(kWriters, -1);
    std::vector<char> rendered(kRenderers, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kWriters + kRenderers; ++t) {
        threads.emplace_back([&, t] {
            for (++ready; ready.load() < kWriters + kRenderers;) std::this_thread::yield();
            std::vector<Frame> frames;
            std::string error;
            if (t < kWriters) results[t] = save(t, ".at-once");
            else rendered[t - kWriters] = runJob(kJobs[t - kWriters], frames, error);
        });
    }
    for (std::thread& t : threads) t.join();
    for (int r = 0; r < kRenderers; ++r) EXPECT_TRUE(rendered[r]) << "renderer " << r;
    // The files written at once equal those written one after the other.
    for (int w = 0; w < kWriters; ++w) {
        ASSERT_EQ(results[w], 0) << "writer " << w;
        ASSERT_EQ(save(w, ".serial"), 0);
        const std::string atOnce = readFile(name(w, ".at-once"));
        EXPECT_GT(atOnce.size(), 100u);
        EXPECT_TRUE(atOnce == readFile(name(w, ".serial"))) << "writer " << w;
    }
    fs::remove_all(folder);
}

// A plain frame and a lit one with a shadow-casting point light.
bool renderPlainAndLit(TLContext* ctx, Frame& plain, Frame& lit) {
    return renderFrame(ctx, variedFrame(0), plain) == 0 && renderFrame(ctx, variedFrame(7), lit) == 0;
}

// A process that rendered forks (prefork servers, fork-started worker pools); the child renders the parent's
// frames again with its copy of the context, within 30 s (one stuck in fork or an inherited pool fails).
TEST(Fork, TheChildOfARenderingProcessRendersAndSoDoesTheParent) {
    std::string error;
    TLContext* ctx = cloudContext(20000, 7, false, error);
    ASSERT_NE(ctx, nullptr) << error;
    Frame plain, lit;
    ASSERT_TRUE(renderPlainAndLit(ctx, plain, lit)) << tlLastError(ctx);
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // exit 0: the same frames; 1: a render failed; 2: other frames
        Frame childPlain, childLit;
        if (!renderPlainAndLit(ctx, childPlain, childLit)) ::_exit(1);
        ::_exit(frameDifference(childPlain, plain).empty() && frameDifference(childLit, lit).empty() ? 0 : 2);
    }
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 1500 && (done = ::waitpid(child, &status, WNOHANG)) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (done == 0) ::kill(child, SIGKILL), ::waitpid(child, &status, 0);  // stuck for 30 s
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFEXITED(status) ? "child exit status " + std::to_string(WEXITSTATUS(status))
                              : "child killed by signal " + std::to_string(WTERMSIG(status)) + " (9: stuck, killed)");
    Frame afterPlain, afterLit;
    ASSERT_TRUE(renderPlainAndLit(ctx, afterPlain, afterLit)) << tlLastError(ctx);
    EXPECT_EQ(frameDifference(afterPlain, plain) + frameDifference(afterLit, lit), "") << "the parent after the fork";
    tlDestroy(ctx);
    // One OpenMP runtime in the process: GNU's (which does not survive fork) is not loaded beside it.
    std::ifstream maps("/proc/self/maps");
    const std::string mapped((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
    EXPECT_EQ(mapped.find("libgomp"), std::string::npos);
}

}  // namespace
