// taluna-render: renders the procedural galaxy or a particle file with either library and saves PNG and
// EXR images: a still, an orbit sequence, or a timing run. See printUsage (--help) for the options.
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/taluna_loader.h"
#include "render/colormap.h"
#include "render/command_line.h"
#include "render/outputs.h"
#include "render/particles.h"
#include "render/progress.h"
#include "render/views.h"
#include "viewer/serve.h"

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
            notice("backend: CUDA");
            return true;
        }
        if (cl.backend == "cuda") {
            std::fprintf(stderr, "taluna-render: CUDA backend unavailable: %s\n", error.c_str());
            return false;
        }
        // The CPU library would only refuse the device with a message about itself.
        if (cl.device != 0) {
            std::fprintf(stderr, "taluna-render: --device %d needs the GPU library, which is unavailable (%s); the "
                         "CPU library has only device 0 (the CPU)\n", cl.device, error.c_str());
            return false;
        }
        notice("taluna-render: CUDA backend unavailable (" + error + "); using the CPU backend");
    }
    if (tryOne("libtaluna_cpu.so")) {
        notice("backend: CPU");
        return true;
    }
    std::fprintf(stderr, "taluna-render: CPU backend unavailable: %s\n", error.c_str());
    return false;
}

class Renderer {
public:
    Renderer(Backend& b, const Scene& scene) : b_(b), scene_(scene) {}

    size_t pixels() const { return static_cast<size_t>(scene_.settings.width) * scene_.settings.height; }

    // One frame into `image` (pixels() of them); false after printing the library's message.
    bool render(const TLCamera& camera, std::vector<TLFloat4>& image, float* deviceMs) {
        const TLRenderSettings& s = scene_.settings;
        const std::vector<TLLight>& lights = scene_.lights;
        if (b_.api.render(b_.ctx, &camera, &s, scene_.lit() ? lights.data() : nullptr,
                          scene_.lit() ? static_cast<int>(lights.size()) : 0, nullptr, image.data(), deviceMs) != 0) {
            std::fprintf(stderr, "taluna-render: render: %s\n", b_.api.lastError(b_.ctx));
            return false;
        }
        // The image is premultiplied, so putting it over black only makes every pixel opaque.
        if (!scene_.transparent)
            for (TLFloat4& p : image) p.w = 1.0f;
        return true;
    }

    // Writes frame `frame` to every output; with keepGoing the remaining outputs are still tried after a
    // failure. Returns the paths written, or false with why one was not (each reason on its own line).
    // Called from several threads at once while a sequence is written.
    bool save(const std::vector<OutputPattern>& outputs, int frame, const std::vector<TLFloat4>& image,
              const ImageFormat& format, bool keepGoing, std::vector<std::string>* written, std::string* error) const {
        bool ok = true;
        for (const OutputPattern& o : outputs) {
            const std::string path = o.path(frame);
            std::string why;
            if (!writeImage(b_.api, path, o.kind(), scene_.settings.width, scene_.settings.height, &image[0].x, format,
                            &why)) {
                *error += (ok ? "" : "\n") + why;
                ok = false;
                if (!keepGoing) return false;
                continue;
            }
            written->push_back(path);
        }
        return ok;
    }

private:
    Backend& b_;
    const Scene& scene_;
};

// Sets the intensity that puts the 99th percentile of the lit pixels (by their brightest channel) at 0.8
// on the tone curve 1 - exp(-exposure * sum), from a render of `camera`. The plain path's sums grow in
// proportion to the intensity, so one render whose percentile is neither saturated nor lost in rounding
// gives the answer: the tone curve inverted. False after printing the library's message.
bool autoExpose(Renderer& renderer, Scene& scene, const TLCamera& camera) {
    float& intensity = scene.settings.intensity;
    const float given = intensity;
    std::vector<TLFloat4> image(renderer.pixels());
    for (int attempt = 0; attempt < 6; ++attempt) {
        float deviceMs = 0.0f;
        if (!renderer.render(camera, image, &deviceMs)) return false;
        std::vector<float> lit;
        for (const TLFloat4& p : image)
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

std::string describeOutput(const Scene& scene, const ImageFormat& format, const std::string& path) {
    if (imageKindOf(path) == ImageKind::Exr)
        return path + (format.exr == ExrCompression::Zip   ? " (half-float EXR, ZIP)"
                       : format.exr == ExrCompression::Piz ? " (half-float EXR, PIZ)"
                                                           : " (half-float EXR)");
    return path + (scene.pngBits == 16 ? " (16-bit PNG)" : " (8-bit PNG)");
}

// Writes the one image to every output: a failed output is reported and the others are still attempted.
int saveStill(const Renderer& renderer, const Scene& scene, const ImageFormat& format,
              const std::vector<OutputPattern>& outputs, const std::vector<TLFloat4>& image) {
    std::vector<std::string> written;
    std::string error;
    const bool ok = renderer.save(outputs, 0, image, format, true, &written, &error);
    for (const std::string& path : written) std::printf("wrote %s\n", describeOutput(scene, format, path).c_str());
    if (!ok) std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
    return ok ? 0 : 1;
}

int bench(Renderer& renderer, const Scene& scene, const CommandLine& cl, const TLCamera& camera,
          const std::vector<OutputPattern>& outputs, const ImageFormat& format, double samples) {
    std::vector<TLFloat4> image(renderer.pixels());
    float deviceMs = 0.0f;
    if (!renderer.render(camera, image, &deviceMs)) return 1;  // warm-up: buffers, caches, clocks
    double totalMs = 0.0, bestMs = 0.0, totalDeviceMs = 0.0;
    for (int i = 0; i < cl.benchFrames; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!renderer.render(camera, image, &deviceMs)) return 1;
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
    return scene.outputsGiven ? saveStill(renderer, scene, format, outputs, image) : 0;
}

int still(Renderer& renderer, const Scene& scene, const TLCamera& camera, const std::vector<OutputPattern>& outputs,
          const ImageFormat& format, double samples) {
    std::vector<TLFloat4> image(renderer.pixels());
    float deviceMs = 0.0f;
    const auto t0 = std::chrono::steady_clock::now();
    if (!renderer.render(camera, image, &deviceMs)) return 1;
    const double wallMs = msSince(t0);
    std::printf("rendered %dx%d, %.0f samples: %.1f ms on the device, %.1f ms in the call (%.1f M samples/s)\n",
                scene.settings.width, scene.settings.height, samples, deviceMs, wallMs,
                wallMs > 0.0 ? samples / wallMs / 1000.0 : 0.0);
    return saveStill(renderer, scene, format, outputs, image);
}

// Renders the frames one after the other on this thread while `jobs` threads encode and write the frames
// rendered before: writing a frame takes longer than rendering it unless the cloud is large.
int sequence(Renderer& renderer, const Scene& scene, const TLCamera& camera, const std::vector<OutputPattern>& outputs,
             const ImageFormat& format, const std::vector<int>& frames, int jobs, bool quiet) {
    const int total = scene.orbitFrames;
    Progress progress("frames", frames.size(), false);
    const auto start = std::chrono::steady_clock::now();
    size_t reported = 0;
    FrameWriters writers(
        jobs, renderer.pixels(),
        [&](int frame, const std::vector<TLFloat4>& image, std::vector<std::string>* written, std::string* error) {
            return renderer.save(outputs, frame, image, format, false, written, error);
        },
        [&](int frame, std::chrono::steady_clock::time_point started, const std::vector<std::string>& written) {
            ++reported;
            const double frameMs = msSince(started);
            const double etaSeconds = msSince(start) / 1000.0 / static_cast<double>(reported) *
                                      static_cast<double>(frames.size() - reported);
            std::string line = "frame " + std::to_string(frame) + " (" + std::to_string(reported) + "/" +
                               std::to_string(frames.size()) + "): " + formatDuration(frameMs / 1000.0) + ", ETA " +
                               formatDuration(etaSeconds) + ", wrote";
            for (size_t k = 0; k < written.size(); ++k) line += (k ? ", " : " ") + written[k];
            progress.update(reported, formatDuration(frameMs / 1000.0) + "/frame, ETA " + formatDuration(etaSeconds));
            if (!quiet) progress.print(line);
        });
    bool rendered = true;
    for (const int f : frames) {
        std::vector<TLFloat4>* image = writers.acquire();
        if (!image) break;  // a write failed: finish() has the message
        const auto t0 = std::chrono::steady_clock::now();
        const double degrees = static_cast<double>(scene.turntableDegrees) * f / total;
        float deviceMs = 0.0f;
        if (!renderer.render(orbitCamera(camera, degrees), *image, &deviceMs)) {
            writers.release(image);
            rendered = false;
            break;
        }
        writers.submit(f, image, t0);
    }
    std::string error;
    const bool written = writers.finish(&error);
    progress.finish();
    if (!written) std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
    if (!written || !rendered) {
        std::fprintf(stderr, "taluna-render: stopped after writing %zu of %zu frames\n", reported, frames.size());
        return 1;
    }
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
    case Parsed::Version:
        std::printf("taluna-render %s (library API version %d)\n", TALUNA_VERSION, TL_API_VERSION);
        return 0;
    case Parsed::UsageError:
        std::fprintf(stderr, "taluna-render: %s (see taluna-render --help)\n", error.c_str());
        return 2;
    case Parsed::Run:
        break;
    }
    setQuiet(cl.quiet);
    Scene scene;
    std::vector<OutputPattern> outputs;
    std::vector<std::string> notes;
    if (!resolveScene(cl, scene, &error, &notes) || !planOutputs(scene, cl, &outputs, &error)) {
        std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
        return 2;
    }
    if (cl.backend == "cpu" && cl.device != 0) {
        std::fprintf(stderr, "taluna-render: the CPU library has only device 0 (the CPU); --device %d needs the GPU "
                     "library\n", cl.device);
        return 2;
    }
    for (const std::string& note : notes) notice("taluna-render: " + note);
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
        notice("resuming: " + std::to_string(frameCount - static_cast<int>(frames.size())) + " of " +
               std::to_string(frameCount) + " frames written already, " + std::to_string(frames.size()) +
               " to render from frame " + std::to_string(frames.front()));

    const int jobs = cl.jobs > 0 ? cl.jobs : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    // After each parallel loop the CPU library's OpenMP threads spin a while (200 ms) on the cores the frame
    // writers need; that cost an orbit on two cores about a seventh of its CPU time. The runtime reads this
    // when it starts, in the first render; a value in the environment wins.
    // The viewer encodes each frame right after rendering it, so there too the spinning threads slow it.
    if ((scene.orbitFrames > 0 && jobs > 1) || cl.servePort >= 0) setenv("KMP_BLOCKTIME", "0", 0);
    Backend backend;
    if (!openBackend(cl, backend)) return 1;
    char info[512];
    if (backend.api.deviceInfo(backend.ctx, info, sizeof info) == 0)
        notice(std::string("device: ") + info + "\nlibrary: " + backend.api.path);

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
        char fitted[256];
        std::snprintf(fitted, sizeof fitted, "fitted the view: eye %g,%g,%g, target %g,%g,%g", camera.eye.x,
                      camera.eye.y, camera.eye.z, camera.target.x, camera.target.y, camera.target.z);
        notice(fitted);
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
    if (cl.servePort >= 0) {
        scene.camera = camera;
        return taluna::viewer::serveViewer(backend.api, backend.ctx, scene, cloud.count, cl, argv[0]);
    }
    const ImageFormat format{scene.pngBits == 16, cl.exrCompression};
    if (cl.benchFrames > 0) return bench(renderer, scene, cl, camera, outputs, format, samples);
    if (scene.orbitFrames > 0) return sequence(renderer, scene, camera, outputs, format, frames, jobs, cl.quiet);
    return still(renderer, scene, camera, outputs, format, samples);
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
