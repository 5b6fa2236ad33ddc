#include "viewer/viewer_server.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <thread>

#include "render/outputs.h"
#include "render/views.h"
#include "viewer/image_encoding.h"
#include "viewer/viewer_page.h"  // kViewerPage: viewer.html, generated at build time

namespace taluna::viewer {
namespace {

double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

std::string randomToken() {
    std::random_device device;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(device()));
        token += part;
    }
    return token;
}

// Compares all of both strings whatever they hold, so the time taken does not tell how much of a guess was
// right.
bool sameToken(const std::string& given, const std::string& expected) {
    unsigned char differ = given.size() != expected.size();
    for (size_t i = 0; i < given.size(); ++i) differ |= given[i] ^ expected[i % expected.size()];
    return differ == 0;
}

Reply text(int status, const std::string& message) {
    Reply r;
    r.status = status;
    r.body = message + "\n";
    return r;
}

Reply json(const Json& value) {
    Reply r;
    r.contentType = "application/json";
    r.body = render::formatJson(value);
    return r;
}

// The library's gamma-encoded byte of a tone-mapped channel (src/kernels/resolve.h), for frames averaged
// after the library tone-mapped them.
uint8_t encodeByte(float v) {
    const float clamped = v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
    return static_cast<uint8_t>(std::pow(clamped, 1.0f / 2.2f) * 255.0f + 0.5f);
}

std::string shellQuote(const std::string& s) {
    if (!s.empty() && s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./=,:")
                          == std::string::npos)
        return s;
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

}  // namespace

// The frame on show: the sums of its passes (or, where the library tone-maps, the sum of its float images)
// and its pixels.
struct ViewerServer::Frame {
    std::string key;  // sumsKey of its view; empty before the first frame
    int width = 0, height = 0;
    int passes = 0;
    bool sums = true;  // accum holds the plain path's sums (tlAccumulate); false: tone-mapped float images
    std::vector<TLFloat4> accum, scratch;
    std::vector<TLUChar4> pixels;
};

struct ViewerServer::Http {
    httplib::Server server;
};

ViewerServer::ViewerServer(const Api& api, TLContext* ctx, const Scene& scene, uint64_t particles,
                           ServeOptions options)
    : api_(api), ctx_(ctx), scene_(scene), particles_(particles), options_(std::move(options)),
      frame_(std::make_unique<Frame>()), http_(std::make_unique<Http>()) {
    if (options_.token.empty()) options_.token = randomToken();
    // The viewer shows a still: a sequence's frame count means nothing to it.
    scene_.orbitFrames = 0;
    base_ = render::sceneToJson(scene_);

    httplib::Server& s = http_->server;
    // Requests are small JSON objects; a larger one is refused (413) before it is read.
    s.set_payload_max_length(64 * 1024);
    s.set_read_timeout(options_.idleSeconds);
    s.set_write_timeout(5);
    s.set_keep_alive_timeout(options_.idleSeconds);
    s.set_keep_alive_max_count(1000);
    auto route = [this](const httplib::Request& req, httplib::Response& res) {
        const std::string token = req.get_param_value("token");
        const Reply r = handle(req.method, req.path, req.has_param("token") ? &token : nullptr, req.body);
        res.status = r.status;
        for (const auto& [name, value] : r.headers) res.set_header(name, value);
        res.set_header("Cache-Control", "no-store");
        res.set_content(r.body, r.contentType.c_str());
    };
    s.Get(".*", route);
    s.Post(".*", route);
    s.Put(".*", route);
    s.Delete(".*", route);
    s.Options(".*", route);
    s.Patch(".*", route);
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content("internal error\n", "text/plain");
    });
}

ViewerServer::~ViewerServer() { stop(); }

bool ViewerServer::bind(std::string* error) {
    httplib::Server& s = http_->server;
    if (options_.port == 0) {
        port_ = s.bind_to_any_port(options_.bind);
    } else {
        port_ = s.bind_to_port(options_.bind, options_.port) ? options_.port : -1;
    }
    if (port_ <= 0) {
        *error = "cannot listen on " + options_.bind + " port " + std::to_string(options_.port) +
                 " (in use, or not an address of this machine)";
        return false;
    }
    return true;
}

std::string ViewerServer::url() const {
    const std::string host = options_.bind.find(':') != std::string::npos ? "[" + options_.bind + "]" : options_.bind;
    return "http://" + host + ":" + std::to_string(port_) + "/?token=" + options_.token;
}

void ViewerServer::run() {
    running_ = true;
    if (port_ > 0 && !stopping_) http_->server.listen_after_bind();
    running_ = false;
}

void ViewerServer::stop() {
    stopping_ = true;
    // The HTTP server ignores a stop before it listens: wait for a run() already past its check to listen.
    while (running_ && !http_->server.is_running()) std::this_thread::yield();
    http_->server.stop();
}

Reply ViewerServer::handle(const std::string& method, const std::string& path, const std::string* token,
                           const std::string& body) {
    if (!token || !sameToken(*token, options_.token))
        return text(403, "403 forbidden: this viewer answers only requests with the token printed when it started "
                         "(?token=...)");
    try {
        const bool get = method == "GET", post = method == "POST";
        if (path == "/" && get) {
            Reply r;
            r.contentType = "text/html; charset=utf-8";
            r.body = kViewerPage;
            return r;
        }
        if (path == "/info" && get) return info();
        if (path == "/frame" && post) return frame(body);
        if (path == "/scene" && post) return scene(body);
        if (path == "/save" && post) return save(body);
        if (path == "/" || path == "/info" || path == "/frame" || path == "/scene" || path == "/save")
            return text(405, "405: " + method + " " + path + " is not served");
        return text(404, "404: no " + path + " here");
    } catch (const std::bad_alloc&) {
        return text(503, "503: out of host memory");
    } catch (const std::exception& e) {
        return text(500, std::string("500: ") + e.what());
    }
}

Reply ViewerServer::info() const {
    const TLRenderSettings& s = scene_.settings;
    return json(Json{{"backend", options_.backend},
                     {"particles", particles_},
                     {"scene", base_},
                     {"still", {{"width", s.width}, {"height", s.height}, {"outputs", scene_.outputs}}},
                     {"limits",
                      {{"width", options_.limits.maxWidth},
                       {"height", options_.limits.maxHeight},
                       {"passes", options_.limits.maxPasses},
                       {"work", options_.limits.maxWorkPerParticle}}}});
}

namespace {

// Whether another pass adds anything: the plain path draws new jitter copies, lens and motion samples per
// pass; without any of them every pass is the first again. The lit path takes no first index, so its
// copies would repeat.
bool refinable(const Scene& scene, bool sums) {
    const TLRenderSettings& s = scene.settings;
    return sums && !scene.lit() && (s.jitterCount > 0 || scene.camera.aperture > 0.0f || s.shutter > 0.0f);
}

}  // namespace

bool ViewerServer::renderPass(const ViewRequest& request, Frame& f, double* ms, std::string* error) {
    const Scene& sc = request.scene;
    TLCamera camera = sc.camera;
    render::fixUp(camera);
    TLRenderSettings settings = sc.settings;
    const size_t pixels = static_cast<size_t>(settings.width) * settings.height;
    const auto t0 = std::chrono::steady_clock::now();
    if (f.passes == 0) {
        f.accum.assign(pixels, TLFloat4{0, 0, 0, 0});
        f.pixels.resize(pixels);
        f.sums = !sc.lit() && api_.accumulate && api_.resolve;
    }
    // Pass p draws its sample streams from another seed and its jitter copies from particle indices
    // p x particles on, as if it rendered a further copy of the cloud; pass 0 is the tool's still.
    settings.seed = sc.settings.seed + static_cast<uint32_t>(f.passes) * 0x9E3779B9u;
    int failed = 0;
    if (f.sums) {
        const uint64_t firstIndex = static_cast<uint64_t>(f.passes) * particles_;
        failed = api_.accumulate(ctx_, &camera, &settings, firstIndex, f.accum.data());
    } else {
        f.scratch.resize(pixels);
        float deviceMs = 0.0f;
        failed = api_.render(ctx_, &camera, &settings, sc.lit() ? sc.lights.data() : nullptr,
                             sc.lit() ? static_cast<int>(sc.lights.size()) : 0, nullptr, f.scratch.data(), &deviceMs);
        if (!failed)
            for (size_t i = 0; i < pixels; ++i) {
                f.accum[i].x += f.scratch[i].x, f.accum[i].y += f.scratch[i].y, f.accum[i].z += f.scratch[i].z;
                f.accum[i].w += f.scratch[i].w;
            }
    }
    if (failed) {
        *error = std::string("render: ") + api_.lastError(ctx_);
        f.key.clear();
        f.passes = 0;
        return false;
    }
    ++f.passes;
    // The mean of the passes: the sums scaled by 1 / passes are the exposure scaled by it.
    if (f.sums) {
        api_.resolve(settings.width, settings.height, sc.settings.exposure / static_cast<float>(f.passes),
                     f.accum.data(), f.pixels.data(), nullptr);
    } else {
        const float scale = 1.0f / static_cast<float>(f.passes);
        for (size_t i = 0; i < pixels; ++i)
            f.pixels[i] = TLUChar4{encodeByte(f.accum[i].x * scale), encodeByte(f.accum[i].y * scale),
                                   encodeByte(f.accum[i].z * scale), 255};
    }
    *ms = msSince(t0);
    return true;
}

Reply ViewerServer::frame(const std::string& body) {
    ViewRequest request;
    std::string error;
    if (!parseViewRequest(body, base_, options_.limits, &request, &error)) return text(400, error);
    // Numbered on arrival: whichever request holds the lock renders only if no newer one came meanwhile.
    const uint64_t number = ++newest_;
    std::lock_guard<std::mutex> lock(renderMutex_);
    if (number != newest_) return text(409, "409: superseded by a newer frame request");

    Frame& f = *frame_;
    const std::string key = sumsKey(request.scene);
    double ms = 0.0;
    if (key != f.key || f.passes == 0) {
        f.key = key;
        f.width = request.scene.settings.width;
        f.height = request.scene.settings.height;
        f.passes = 0;
        if (!renderPass(request, f, &ms, &error)) return text(500, "500: " + error);
    } else if (request.refine && f.passes < options_.limits.maxPasses && refinable(request.scene, f.sums)) {
        if (!renderPass(request, f, &ms, &error)) return text(500, "500: " + error);
    } else if (f.sums) {
        // The same sums under another exposure: no render.
        api_.resolve(f.width, f.height, request.scene.settings.exposure / static_cast<float>(f.passes),
                     f.accum.data(), f.pixels.data(), nullptr);
    }
    return encode(request, f, ms);
}

Reply ViewerServer::encode(const ViewRequest& request, const Frame& f, double ms) {
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<uint8_t> bytes;
    std::string error;
    const bool png = request.format == FrameFormat::Png;
    const bool ok = png ? encodePng(f.pixels.data(), f.width, f.height, false, &bytes, &error)
                        : encodeJpeg(f.pixels.data(), f.width, f.height, 85, &bytes, &error);
    if (!ok) return text(500, "500: " + error);
    const TLRenderSettings& s = request.scene.settings;
    const double perPass = (s.jitterCount + 1.0) * s.samples;
    Reply r;
    r.contentType = png ? "image/png" : "image/jpeg";
    r.body.assign(bytes.begin(), bytes.end());
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.4g", ms > 0.0 ? static_cast<double>(particles_) * perPass / ms * 1000.0 : 0.0);
    char msText[32], encodeText[32];
    std::snprintf(msText, sizeof msText, "%.2f", ms);
    std::snprintf(encodeText, sizeof encodeText, "%.2f", msSince(t0));
    const bool converged = f.passes >= options_.limits.maxPasses || !refinable(request.scene, f.sums);
    r.headers = {{"X-Passes", std::to_string(f.passes)},
                 {"X-Samples-Per-Particle", std::to_string(static_cast<int64_t>(perPass * f.passes))},
                 {"X-Render-Ms", msText},
                 {"X-Encode-Ms", encodeText},
                 {"X-Samples-Per-Second", rate},
                 {"X-Converged", converged ? "1" : "0"},
                 {"X-Size", std::to_string(f.width) + "x" + std::to_string(f.height)}};
    return r;
}

namespace {

// The still of a view: the tool's size and outputs, the view's camera placed as it is (no fitting) and its
// brightness as it is (no automatic exposure).
Scene stillOf(const Scene& view, const Scene& tool) {
    Scene still = view;
    still.settings.width = tool.settings.width;
    still.settings.height = tool.settings.height;
    still.outputs = tool.outputs;
    still.outputsGiven = true;
    still.fit = false;
    still.autoExposure = false;
    return still;
}

}  // namespace

Reply ViewerServer::scene(const std::string& body) const {
    ViewRequest request;
    std::string error;
    if (!parseViewRequest(body, base_, options_.limits, &request, &error)) return text(400, error);
    return json(render::sceneToJson(stillOf(request.scene, scene_)));
}

Reply ViewerServer::save(const std::string& body) {
    ViewRequest request;
    std::string error;
    if (!parseViewRequest(body, base_, options_.limits, &request, &error)) return text(400, error);
    const Scene still = stillOf(request.scene, scene_);
    std::vector<render::OutputPattern> outputs;
    for (const std::string& o : still.outputs) {
        render::OutputPattern pattern;
        if (!pattern.parse(o, &error)) return text(500, "500: " + error);
        outputs.push_back(pattern);
    }

    std::lock_guard<std::mutex> lock(renderMutex_);
    TLCamera camera = still.camera;
    render::fixUp(camera);
    const TLRenderSettings& s = still.settings;
    std::vector<TLFloat4> image(static_cast<size_t>(s.width) * s.height);
    float deviceMs = 0.0f;
    if (api_.render(ctx_, &camera, &s, still.lit() ? still.lights.data() : nullptr,
                    still.lit() ? static_cast<int>(still.lights.size()) : 0, nullptr, image.data(), &deviceMs) != 0)
        return text(500, std::string("500: render: ") + api_.lastError(ctx_));
    if (!still.transparent)
        for (TLFloat4& p : image) p.w = 1.0f;  // premultiplied: over black only the alpha changes

    Json written = Json::array();
    std::string failures;
    const render::ImageFormat format{still.pngBits == 16, options_.exrCompression};
    for (const render::OutputPattern& o : outputs) {
        const std::string path = o.path(0);
        if (render::writeImage(api_, path, o.kind(), s.width, s.height, &image[0].x, format, &error))
            written.push_back(path);
        else
            failures += (failures.empty() ? "" : "\n") + error;
    }
    // The scene beside the first image, so that the tool renders the same still from it.
    std::filesystem::path scenePath = outputs.empty() ? "view.png" : outputs.front().path(0);
    scenePath.replace_extension(".json");
    std::ofstream(scenePath) << render::formatJson(render::sceneToJson(still));
    const bool sceneWritten = std::filesystem::exists(scenePath);
    if (sceneWritten) written.push_back(scenePath.string());
    else failures += (failures.empty() ? "" : "\n") + scenePath.string() + ": cannot write the scene";

    std::string command;
    if (!options_.stillCommand.empty() && sceneWritten)
        command = options_.stillCommand + " --scene " + shellQuote(scenePath.string());
    std::string line = "viewer: wrote";
    for (size_t i = 0; i < written.size(); ++i) line += (i ? ", " : " ") + written[i].get<std::string>();
    std::printf("%s\n", line.c_str());
    if (!command.empty()) std::printf("viewer: the same still: %s\n", command.c_str());
    if (!failures.empty()) std::fprintf(stderr, "viewer: %s\n", failures.c_str());
    std::fflush(stdout);
    Reply r = json(Json{{"written", written}, {"command", command}, {"errors", failures}});
    r.status = failures.empty() ? 200 : 500;
    return r;
}

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(signalPipe[1], &byte, 1);  // async-signal-safe; a full pipe is fine
}

}  // namespace

int serveUntilInterrupted(ViewerServer& server) {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "taluna-render: cannot make a pipe: %s\n", std::strerror(errno));
        return 1;
    }
    // The handler only writes to the pipe: stopping the server is not safe inside a signal handler, so a
    // thread of ours waits for the byte and stops it.
    struct sigaction action {}, oldInt{}, oldTerm{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);
    std::thread watcher([&server] {
        fcntl(signalPipe[0], F_SETFL, 0);  // blocking reads from here on
        char byte;
        while (read(signalPipe[0], &byte, 1) < 0 && errno == EINTR) {
        }
        server.stop();
    });
    std::printf("viewer: %s\n", server.url().c_str());
    std::fflush(stdout);
    server.run();
    onSignal(0);  // wakes the watcher when run() ended for another reason
    watcher.join();
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    close(signalPipe[0]);
    close(signalPipe[1]);
    std::printf("viewer: stopped\n");
    return 0;
}

}  // namespace taluna::viewer
