// The viewer's frame latency as the page sees it: from sending a frame request over the loopback to a decoded
// image, at 960x540, for each view a fresh render (the camera turns a little every frame). The server runs in
// this process exactly as taluna-render --serve runs it. Counters: the render and encoding time the server
// reports, and the JPEG's size.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <turbojpeg.h>

#include <stdlib.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_context.h"
#include "viewer/viewer_server.h"

namespace {

// As taluna-render --serve does: OpenMP's threads must not spin after a frame on the cores the encoder needs.
[[maybe_unused]] const int kNoSpinning = setenv("KMP_BLOCKTIME", "0", 0);

void frameLatency(benchmark::State& state, const char* library) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    BenchContext c(state, library, n);
    if (!c) return;
    std::string error;
    taluna::viewer::ServeOptions options;
    options.port = 0;
    options.token = "bench";
    taluna::render::Scene scene;
    auto server = std::make_unique<taluna::viewer::ViewerServer>(c.api, c.ctx, scene, n, options);
    if (!server->bind(&error)) return state.SkipWithError(error.c_str());
    std::thread serving([&] { server->run(); });
    const std::string url = server->url();
    httplib::Client client(url.substr(0, url.find("/?")));
    client.set_read_timeout(60);

    tjhandle jpeg = tjInitDecompress();
    std::vector<unsigned char> pixels(960 * 540 * 4);
    double renderMs = 0.0, encodeMs = 0.0, bytes = 0.0;
    int frame = 0;
    for (auto _ : state) {
        const std::string body = R"({"view": {"camera": {"fov": )" + std::to_string(36 + frame++ % 2) +
                                 R"(}, "settings": {"width": 960, "height": 540}}})";
        const auto reply = client.Post("/frame?token=bench", body, "application/json");
        if (!reply || reply->status != 200) {
            state.SkipWithError(reply ? reply->body.c_str() : "no reply");
            break;
        }
        if (tjDecompress2(jpeg, reinterpret_cast<const unsigned char*>(reply->body.data()), reply->body.size(),
                          pixels.data(), 960, 0, 540, TJPF_RGBX, TJFLAG_FASTDCT) != 0) {
            state.SkipWithError(tjGetErrorStr2(jpeg));
            break;
        }
        renderMs += std::stod(reply->get_header_value("X-Render-Ms"));
        encodeMs += std::stod(reply->get_header_value("X-Encode-Ms"));
        bytes += static_cast<double>(reply->body.size());
    }
    const double frames = frame > 0 ? frame : 1;
    state.counters["render_ms"] = renderMs / frames;
    state.counters["encode_ms"] = encodeMs / frames;
    state.counters["jpeg_kB"] = bytes / frames / 1000.0;
    tjDestroy(jpeg);
    server->stop();
    serving.join();
    server.reset();
}

}  // namespace

BENCHMARK_CAPTURE(frameLatency, cpu, TALUNA_CPU_LIBRARY)
    ->Arg(1000000)
    ->Arg(4000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#if defined(TALUNA_CUDA_LIBRARY)
BENCHMARK_CAPTURE(frameLatency, cuda, TALUNA_CUDA_LIBRARY)
    ->Arg(1000000)
    ->Arg(4000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

BENCHMARK_MAIN();
