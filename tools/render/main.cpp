// taluna-render: renders the procedural galaxy or a particle file with either library and saves PNG and
// EXR images: a still, an orbit sequence, or a timing run. See printUsage (--help) for the options.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "common/taluna_loader.h"
#include "render/colormap.h"
#include "render/command_line.h"
#include "render/outputs.h"
#include "render/particles.h"
#include "render/progress.h"
#include "render/views.h"

using namespace taluna::render;

namespace {

double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// The scene's outputs as patterns, checked before anything is rendered.
bool planOutputs(const Scene& scene, const CommandLine& cl, std::vector<OutputPattern>* outputs, std::string* error) {
    if (cl.benchFrames > 0 && scene.orbitFrames > 0) {
        *error = "--bench times one view again and again; it does not combine with an orbit";
        return false;
    }
    for (const std::string& text : scene.outputs) {
        OutputPattern pattern;
        if (!pattern.parse(text, error)) return false;
        if (pattern.kind() == ImageKind::Unknown) {
            *error = "output " + text + ": unknown image type (the name must end in .png or .exr)";
            return false;
        }
        if (scene.orbitFrames > 0 && !pattern.numbered()) {
            *error = "output " + text + ": a sequence needs a frame number in every output name, e.g. " +
                     "frame_%04d.png";
            return false;
        }
        outputs->push_back(pattern);
    }
    return true;
}

// The frames still to render: all of them, or with --resume those that lack one of their files.
std::vector<int> framesToRender(const Scene& scene, const CommandLine& cl, const std::vector<OutputPattern>& outputs) {
    const int frames = scene.orbitFrames > 0 ? scene.orbitFrames : 1;
    std::vector<int> todo;
    for (int f = 0; f < frames; ++f) {
        bool complete = cl.resume && !outputs.empty();
        for (const OutputPattern& o : outputs) {
            FILE* file = complete ? std::fopen(o.path(f).c_str(), "rb") : nullptr;
            complete = file != nullptr;
            if (file) std::fclose(file);
        }
        if (!complete) todo.push_back(f);
    }
    return todo;
}

struct Backend {
    taluna::Api api;
    TLContext* ctx = nullptr;
    ~Backend() {
        if (ctx) api.destroy(ctx);
    }
};

// Opens the requested library and a context on it; with "auto" a GPU library that does not load or
// finds no usable device is given up for the CPU library, and the fallback is announced.
bool openBackend(const CommandLine& cl, Backend& b) {
    std::string error;
    auto tryOne = [&](const char* lib) -> bool {
        if (!taluna::loadByName(b.api, lib, &error)) return false;
        b.ctx = b.api.create(cl.device);
        if (!b.ctx) {
            error = "out of host memory";
            return false;
        }
        if (*b.api.lastError(b.ctx)) {
            error = b.api.lastError(b.ctx);
            b.api.destroy(b.ctx);
            b.ctx = nullptr;
            return false;
        }
        return true;
    };
    if (cl.backend == "cuda" || cl.backend == "auto") {
        if (tryOne("libtaluna.so")) {
            std::printf("backend: CUDA\n");
            return true;
        }
        if (cl.backend == "cuda") {
            std::fprintf(stderr, "taluna-render: CUDA backend unavailable: %s\n", error.c_str());
            return false;
        }
        std::printf("CUDA backend unavailable (%s); using the CPU backend\n", error.c_str());
    }
    if (tryOne("libtaluna_cpu.so")) {
        std::printf("backend: CPU\n");
        return true;
    }
    std::fprintf(stderr, "taluna-render: CPU backend unavailable: %s\n", error.c_str());
    return false;
}

class Renderer {
public:
    Renderer(Backend& b, const Scene& scene)
        : b_(b), scene_(scene), image_(static_cast<size_t>(scene.settings.width) * scene.settings.height) {}

    // One frame into image(); false after printing the library's message.
    bool render(const TLCamera& camera, float* deviceMs) {
        const TLRenderSettings& s = scene_.settings;
        const std::vector<TLLight>& lights = scene_.lights;
        if (b_.api.render(b_.ctx, &camera, &s, scene_.lit() ? lights.data() : nullptr,
                          scene_.lit() ? static_cast<int>(lights.size()) : 0, nullptr, image_.data(), deviceMs) != 0) {
            std::fprintf(stderr, "taluna-render: render: %s\n", b_.api.lastError(b_.ctx));
            return false;
        }
        // The image is premultiplied, so putting it over black only makes every pixel opaque.
        if (!scene_.transparent)
            for (TLFloat4& p : image_) p.w = 1.0f;
        return true;
    }

    // Writes frame `frame` to every output; with keepGoing the remaining outputs are still tried after a
    // failure. Returns the paths written, or false after printing why one was not.
    bool save(const std::vector<OutputPattern>& outputs, int frame, bool keepGoing, std::vector<std::string>* written) {
        bool ok = true;
        for (const OutputPattern& o : outputs) {
            const std::string path = o.path(frame);
            std::string error;
            if (!writeImage(b_.api, path, o.kind(), scene_.settings.width, scene_.settings.height, &image_[0].x,
                            scene_.pngBits == 16, &error)) {
                std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
                ok = false;
                if (!keepGoing) return false;
                continue;
            }
            written->push_back(path);
        }
        return ok;
    }

    const std::vector<TLFloat4>& image() const { return image_; }

private:
    Backend& b_;
    const Scene& scene_;
    std::vector<TLFloat4> image_;
};

// Sets the intensity that puts the 99th percentile of the lit pixels (by their brightest channel) at 0.8
// on the tone curve 1 - exp(-exposure * sum), from a render of `camera`. The plain path's sums grow in
// proportion to the intensity, so one render whose percentile is neither saturated nor lost in rounding
// gives the answer: the tone curve inverted. False after printing the library's message.
bool autoExpose(Renderer& renderer, Scene& scene, const TLCamera& camera) {
    float& intensity = scene.settings.intensity;
    const float given = intensity;
    for (int attempt = 0; attempt < 6; ++attempt) {
        float deviceMs = 0.0f;
        if (!renderer.render(camera, &deviceMs)) return false;
        std::vector<float> lit;
        for (const TLFloat4& p : renderer.image())
            if (const float v = std::fmax(p.x, std::fmax(p.y, p.z)); v > 0.0f) lit.push_back(v);
        if (lit.empty()) break;
        const double high = percentile(lit, 99.0);
        const double sum = -std::log1p(-high);  // exposure * sum, up to the float rounding of the tone curve
        if (high > 0.999) {
            intensity /= 1000.0f;  // saturated: the sum cannot be read back
        } else if (sum < 1e-5) {
            intensity *= 1000.0f;  // too faint to read back precisely
        } else {
            const double chosen = intensity * std::log(5.0) / sum;
            if (!(chosen > 0.0) || chosen > 1e30) break;
            intensity = static_cast<float>(chosen);
            std::printf("auto exposure: --intensity %.3g\n", intensity);
            return true;
        }
    }
    intensity = given;
    std::fprintf(stderr, "taluna-render: warning: auto exposure found no lit pixel to measure; keeping "
                 "--intensity %g\n", intensity);
    return true;
}

std::string describeOutput(const Scene& scene, const std::string& path) {
    if (imageKindOf(path) == ImageKind::Exr) return path + " (half-float EXR)";
    return path + (scene.pngBits == 16 ? " (16-bit PNG)" : " (8-bit PNG)");
}

int bench(Renderer& renderer, const Scene& scene, const CommandLine& cl, const TLCamera& camera,
          const std::vector<OutputPattern>& outputs, double samples) {
    float deviceMs = 0.0f;
    if (!renderer.render(camera, &deviceMs)) return 1;  // warm-up: buffers, caches, clocks
    double totalMs = 0.0, bestMs = 0.0, totalDeviceMs = 0.0;
    for (int i = 0; i < cl.benchFrames; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!renderer.render(camera, &deviceMs)) return 1;
        const double ms = msSince(t0);
        totalMs += ms;
        totalDeviceMs += deviceMs;
        bestMs = i == 0 ? ms : std::min(bestMs, ms);
    }
    const double meanMs = totalMs / cl.benchFrames;
    std::printf("bench: %d frames of %dx%d, %.0f samples each (after 1 warm-up frame)\n", cl.benchFrames,
                scene.settings.width, scene.settings.height, samples);
    std::printf("bench: %.2f ms per frame (fastest %.2f ms, %.2f ms on the device), %.2f M samples/s\n", meanMs,
                bestMs, totalDeviceMs / cl.benchFrames, meanMs > 0.0 ? samples / meanMs / 1000.0 : 0.0);
    if (!scene.outputsGiven) return 0;
    std::vector<std::string> written;
    const bool ok = renderer.save(outputs, 0, true, &written);
    for (const std::string& path : written) std::printf("wrote %s\n", describeOutput(scene, path).c_str());
    return ok ? 0 : 1;
}

int still(Renderer& renderer, const Scene& scene, const TLCamera& camera, const std::vector<OutputPattern>& outputs,
          double samples) {
    float deviceMs = 0.0f;
    const auto t0 = std::chrono::steady_clock::now();
    if (!renderer.render(camera, &deviceMs)) return 1;
    const double wallMs = msSince(t0);
    std::printf("rendered %dx%d, %.0f samples: %.1f ms on the device, %.1f ms in the call (%.1f M samples/s)\n",
                scene.settings.width, scene.settings.height, samples, deviceMs, wallMs,
                wallMs > 0.0 ? samples / wallMs / 1000.0 : 0.0);
    // A failed output is reported and the others are still attempted.
    std::vector<std::string> written;
    const bool ok = renderer.save(outputs, 0, true, &written);
    for (const std::string& path : written) std::printf("wrote %s\n", describeOutput(scene, path).c_str());
    return ok ? 0 : 1;
}

int sequence(Renderer& renderer, const Scene& scene, const TLCamera& camera, const std::vector<OutputPattern>& outputs,
             const std::vector<int>& frames) {
    const int total = scene.orbitFrames;
    Progress progress("frames", frames.size(), false);
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < frames.size(); ++i) {
        const int f = frames[i];
        const auto t0 = std::chrono::steady_clock::now();
        const double degrees = static_cast<double>(scene.turntableDegrees) * f / total;
        float deviceMs = 0.0f;
        if (!renderer.render(orbitCamera(camera, degrees), &deviceMs)) return 1;
        std::vector<std::string> written;
        if (!renderer.save(outputs, f, false, &written)) return 1;
        const double frameMs = msSince(t0);
        const double etaSeconds = msSince(start) / 1000.0 / static_cast<double>(i + 1) *
                                  static_cast<double>(frames.size() - i - 1);
        std::string line = "frame " + std::to_string(f) + " (" + std::to_string(i + 1) + "/" +
                           std::to_string(frames.size()) + "): " + formatDuration(frameMs / 1000.0) + ", ETA " +
                           formatDuration(etaSeconds) + ", wrote";
        for (size_t k = 0; k < written.size(); ++k) line += (k ? ", " : " ") + written[k];
        progress.update(i + 1, formatDuration(frameMs / 1000.0) + "/frame, ETA " + formatDuration(etaSeconds));
        progress.print(line);
    }
    progress.finish();
    std::printf("rendered %zu frame%s in %s\n", frames.size(), frames.size() > 1 ? "s" : "",
                formatDuration(msSince(start) / 1000.0).c_str());
    return 0;
}

int run(int argc, char** argv) {
    CommandLine cl;
    std::string error;
    switch (parseCommandLine(argc, argv, cl, &error)) {
    case Parsed::Help:
        printUsage(stdout);
        return 0;
    case Parsed::UsageError:
        std::fprintf(stderr, "taluna-render: %s (see taluna-render --help)\n", error.c_str());
        return 2;
    case Parsed::Run:
        break;
    }
    Scene scene;
    std::vector<OutputPattern> outputs;
    if (!resolveScene(cl, scene, &error) || !planOutputs(scene, cl, &outputs, &error)) {
        std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
        return 2;
    }
    if (cl.printScene) {
        std::fputs(formatJson(sceneToJson(scene)).c_str(), stdout);
        return 0;
    }

    const std::vector<int> frames = cl.benchFrames > 0 ? std::vector<int>{0} : framesToRender(scene, cl, outputs);
    const int frameCount = scene.orbitFrames > 0 ? scene.orbitFrames : 1;
    if (frames.empty()) {
        std::printf("all %d frame%s written already; nothing to render\n", frameCount, frameCount > 1 ? "s" : "");
        return 0;
    }
    if (cl.resume && static_cast<int>(frames.size()) < frameCount)
        std::printf("resuming: %d of %d frames written already, %zu to render from frame %d\n",
                    frameCount - static_cast<int>(frames.size()), frameCount, frames.size(), frames.front());

    Backend backend;
    if (!openBackend(cl, backend)) return 1;
    char info[512];
    if (backend.api.deviceInfo(backend.ctx, info, sizeof info) == 0)
        std::printf("device: %s\nlibrary: %s\n", info, backend.api.path.c_str());

    CloudInfo cloud;
    if (!loadParticles(backend.api, backend.ctx, scene, &cloud, &error)) {
        std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
        return 1;
    }
    TLCamera camera = scene.camera;
    if (scene.fit && cloud.bounded && camera.projection != TL_PROJECTION_PANORAMA) {
        camera = fitCamera(camera, cloud.lo, cloud.hi,
                           static_cast<float>(scene.settings.width) / static_cast<float>(scene.settings.height));
        if (!std::isfinite(camera.eye.x) || !std::isfinite(camera.eye.y) || !std::isfinite(camera.eye.z)) {
            std::fprintf(stderr, "taluna-render: cannot fit the view: the central 99%% of %s spans %g,%g,%g to "
                         "%g,%g,%g, too far for a camera in float; place it with --eye and --target\n",
                         scene.inputFile.c_str(), cloud.lo.x, cloud.lo.y, cloud.lo.z, cloud.hi.x, cloud.hi.y,
                         cloud.hi.z);
            return 1;
        }
        std::printf("fitted the view: eye %g,%g,%g, target %g,%g,%g\n", camera.eye.x, camera.eye.y, camera.eye.z,
                    camera.target.x, camera.target.y, camera.target.z);
    }
    const TLV3 up = camera.up;
    if (fixUp(camera))
        std::fprintf(stderr, "taluna-render: note: the view direction is parallel to the up vector %g,%g,%g; using up "
                     "%g,%g,%g\n", up.x, up.y, up.z, camera.up.x, camera.up.y, camera.up.z);

    const TLRenderSettings& s = scene.settings;
    const double samples = static_cast<double>(cloud.count) * (s.jitterCount + 1.0) * s.samples;
    Renderer renderer(backend, scene);
    // An orbit is exposed once, by its first frame, so that its frames (and a resumed run's) match.
    if (scene.autoExposure && scene.lit())
        std::fprintf(stderr, "taluna-render: note: --auto-exposure sets the plain path's intensity; the lit path "
                     "takes its brightness from its lights and --exposure\n");
    else if (scene.autoExposure && !autoExpose(renderer, scene, camera))
        return 1;
    if (cl.benchFrames > 0) return bench(renderer, scene, cl, camera, outputs, samples);
    if (scene.orbitFrames > 0) return sequence(renderer, scene, camera, outputs, frames);
    return still(renderer, scene, camera, outputs, samples);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "taluna-render: out of host memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "taluna-render: %s\n", e.what());
    }
    return 1;
}
