// taluna-render: renders the procedural galaxy or a particle file with either library and saves PNG and
// EXR images: a still, an orbit sequence, or a timing run. See printUsage (--help) for the options.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/taluna_loader.h"
#include "render/colormap.h"
#include "render/command_line.h"
#include "render/outputs.h"
#include "render/particles.h"
#include "render/progress.h"
#include "render/ranks.h"
#include "render/renderers.h"
#include "render/streaming.h"
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

// "--device 2" or "--devices 0,1", as the scene names the devices.
std::string deviceOption(const CommandLine& cl, const Scene& scene) {
    if (scene.devices.empty()) return std::string("--device ").append(std::to_string(cl.device));
    std::string option = "--devices ";
    for (size_t i = 0; i < scene.devices.size(); ++i)
        option.append(i ? "," : "").append(std::to_string(scene.devices[i]));
    return option;
}

// Opens the requested library and a context on the first device; with "auto" a GPU library that does not
// load or finds no usable device is given up for the CPU library, and the fallback is announced.
bool openBackend(const CommandLine& cl, const Scene& scene, std::vector<int>& ordinals, bool rankDevice, Backend& b) {
    std::string error;
    auto tryOne = [&](const char* lib) -> bool {
        if (!taluna::loadByName(b.api, lib, &error)) return false;
        b.ctx = b.api.create(ordinals[0]);
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
        // A rank's device by its local rank is the GPU's: on the CPU library every rank has the CPU.
        if (rankDevice) ordinals = {0};
        // The CPU library would only refuse the device with a message about itself.
        if (std::any_of(ordinals.begin(), ordinals.end(), [](int d) { return d != 0; })) {
            std::fprintf(stderr, "taluna-render: %s needs the GPU library, which is unavailable (%s); the CPU "
                         "library has only device 0 (the CPU)\n", deviceOption(cl, scene).c_str(), error.c_str());
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

// A context on each further device of --devices. False after printing the device's message.
bool openMoreDevices(const std::vector<int>& ordinals, Backend& b) {
    b.devices = {Device{ordinals[0], b.ctx}};
    for (size_t i = 1; i < ordinals.size(); ++i) {
        TLContext* ctx = b.api.create(ordinals[i]);
        if (!ctx) throw std::bad_alloc();
        if (*b.api.lastError(ctx)) {
            std::fprintf(stderr, "taluna-render: device %d: %s\n", ordinals[i], b.api.lastError(ctx));
            b.api.destroy(ctx);
            return false;
        }
        b.devices.push_back(Device{ordinals[i], ctx});
    }
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

// Samples of a frame of `particles`: a sample per particle copy and per sample.
double samplesOf(uint64_t particles, const TLRenderSettings& s) {
    return static_cast<double>(particles) * (s.jitterCount + 1.0) * s.samples;
}

// ", 1.2 ms on the device" where the frame was one call to the device.
std::string onDevice(double ms, const char* format) {
    char text[64] = "";
    if (ms >= 0.0) std::snprintf(text, sizeof text, format, ms);
    return text;
}

int bench(Renderer& renderer, const Scene& scene, const CommandLine& cl, const std::vector<OutputPattern>& outputs,
          const ImageFormat& format) {
    std::vector<TLFloat4> image(renderer.pixels());
    float deviceMs = 0.0f;
    if (!renderer.render(0, image, &deviceMs)) return 1;  // warm-up: buffers, caches, clocks
    double totalMs = 0.0, bestMs = 0.0, totalDeviceMs = 0.0;
    for (int i = 0; i < cl.benchFrames; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!renderer.render(0, image, &deviceMs)) return 1;
        const double ms = msSince(t0);
        totalMs += ms;
        totalDeviceMs += deviceMs;
        bestMs = i == 0 ? ms : std::min(bestMs, ms);
    }
    const double meanMs = totalMs / cl.benchFrames;
    const double samples = samplesOf(renderer.particles(), scene.settings);
    std::printf("bench: %d frames of %dx%d, %.0f samples each (after 1 warm-up frame)\n", cl.benchFrames,
                scene.settings.width, scene.settings.height, samples);
    std::printf("bench: %.2f ms per frame (fastest %.2f ms%s), %.2f M samples/s\n", meanMs, bestMs,
                onDevice(deviceMs < 0.0f ? -1.0 : totalDeviceMs / cl.benchFrames, ", %.2f ms on the device").c_str(),
                meanMs > 0.0 ? samples / meanMs / 1000.0 : 0.0);
    return scene.outputsGiven ? saveStill(renderer, scene, format, outputs, image) : 0;
}

int still(Renderer& renderer, const Scene& scene, const std::vector<OutputPattern>& outputs,
          const ImageFormat& format) {
    std::vector<TLFloat4> image(renderer.pixels());
    float deviceMs = 0.0f;
    const auto t0 = std::chrono::steady_clock::now();
    if (!renderer.render(0, image, &deviceMs)) return 1;
    const double wallMs = msSince(t0);
    const double samples = samplesOf(renderer.particles(), scene.settings);
    std::printf("rendered %dx%d, %.0f samples:%s %.1f ms %s (%.1f M samples/s)\n", scene.settings.width,
                scene.settings.height, samples, onDevice(deviceMs, " %.1f ms on the device,").c_str(), wallMs,
                deviceMs < 0.0f ? "with the cloud streamed through the device" : "in the call",
                wallMs > 0.0 ? samples / wallMs / 1000.0 : 0.0);
    return saveStill(renderer, scene, format, outputs, image);
}

// Renders the frames one after the other on this thread while `jobs` threads encode and write the frames
// rendered before: writing a frame takes longer than rendering it unless the cloud is large.
int sequence(Renderer& renderer, const std::vector<OutputPattern>& outputs, const ImageFormat& format,
             const std::vector<int>& frames, int jobs, bool quiet) {
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
        float deviceMs = 0.0f;
        if (!renderer.render(f, *image, &deviceMs)) {
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

// Why the devices asked for cannot be used, known before anything is loaded; empty when they can.
std::string devicesRefusal(const CommandLine& cl, const Scene& scene, const std::vector<int>& ordinals) {
    if (cl.deviceGiven && !scene.devices.empty())
        return "--device and --devices do not combine: list every device in --devices";
    if (cl.backend == "cpu" && std::any_of(ordinals.begin(), ordinals.end(), [](int d) { return d != 0; }))
        return "the CPU library has only device 0 (the CPU); " + deviceOption(cl, scene) + " needs the GPU library";
    if (scene.lit() && (scene.chunk > 0 || ordinals.size() > 1))
        return "the lit path needs the whole cloud on one device: its shadow and depth maps see every particle at "
               "once, so it cannot be " + (scene.chunk > 0 ? std::string("rendered in chunks (--chunk)")
                                                           : "split over " + deviceOption(cl, scene));
    return "";
}

struct Split {
    bool streamed = false;  // false: the whole cloud on the first device, as one piece
    uint64_t chunk = 0;
};

// Whether the cloud is streamed in chunks, and in chunks of how many particles: when --chunk or several
// devices ask for it, or when the cloud does not fit the device (decided before anything is reserved).
// False with a message.
bool planSplit(const Backend& b, const Scene& scene, const CloudSize& size, bool spread, Split* split,
               std::string* error) {
    const bool asked = scene.chunk > 0 || b.devices.size() > 1 || spread;
    if (const char* missing = b.api.missingSums()) {
        if (!asked) return true;  // a library from before frames as sums renders in one piece, as it always did
        *error = std::string(scene.chunk > 0 ? "--chunk" : "--devices") + " needs " + missing + ", which " +
                 b.api.path + " lacks: it was built before frames could be rendered in parts";
        return false;
    }
    const uint64_t perParticle = size.velocities ? 28 : 16;
    const uint64_t pixels = static_cast<uint64_t>(scene.settings.width) * static_cast<uint64_t>(scene.settings.height);
    uint64_t room = 0;
    if (!bytesPerContext(b.api, b.devices, pixels, &room, error)) return false;
    if (!asked && size.count <= room / perParticle) return true;
    const std::string what = std::to_string(size.count) + " particles" +
                             (scene.inputFile.empty() ? " of the galaxy" : " of " + scene.inputFile);
    auto bytes = [](double n) {
        char text[32];
        std::snprintf(text, sizeof text, n >= 1e9 ? "%.2f GB" : "%.1f MB", n >= 1e9 ? n / 1e9 : n / 1e6);
        return std::string(text);
    };
    const std::string sizes = "need " + bytes(static_cast<double>(size.count) * perParticle) + ", and device " +
                              std::to_string(b.devices[0].ordinal) + " has " + bytes(room) + " for them";
    if (scene.lit()) {
        *error = "the lit path needs the whole cloud on one device: the " + what + " " + sizes +
                 "; render it plain (--plain) to stream it in chunks";
        return false;
    }
    split->streamed = true;
    split->chunk = scene.chunk;
    if (split->chunk == 0) {
        const uint64_t most = chunkFor(room, perParticle);
        if (most == 0) {
            *error = "no room for particles on device " + std::to_string(b.devices[0].ordinal) + " beside the " +
                     "library's headroom and the frame's buffers: the " + what + " " + sizes;
            return false;
        }
        // Shared evenly when the devices hold the cloud between them.
        const uint64_t devices = b.devices.size();
        split->chunk = std::min(most, std::max<uint64_t>(1, size.count / devices + (size.count % devices != 0)));
    }
    const uint64_t chunks = size.count / split->chunk + (size.count % split->chunk != 0);
    notice("streaming " + std::to_string(size.count) + " particles in " + std::to_string(chunks) + " chunk" +
           (chunks == 1 ? "" : "s") + " of " + std::to_string(split->chunk) +
           (b.devices.size() > 1 ? " on " + std::to_string(b.devices.size()) + " devices" : ""));
    return true;
}

// Moves the camera to take in the cloud's central box, where the scene asks for it. False after printing why.
bool fitView(const Scene& scene, const CloudInfo& cloud, TLCamera* camera) {
    if (!scene.fit || !cloud.bounded || camera->projection == TL_PROJECTION_PANORAMA) return true;
    *camera = fitCamera(*camera, cloud.lo, cloud.hi,
                        static_cast<float>(scene.settings.width) / static_cast<float>(scene.settings.height));
    if (!std::isfinite(camera->eye.x) || !std::isfinite(camera->eye.y) || !std::isfinite(camera->eye.z)) {
        std::fprintf(stderr, "taluna-render: cannot fit the view: the central 99%% of %s spans %g,%g,%g to "
                     "%g,%g,%g, too far for a camera in float; place it with --eye and --target\n",
                     scene.inputFile.c_str(), cloud.lo.x, cloud.lo.y, cloud.lo.z, cloud.hi.x, cloud.hi.y, cloud.hi.z);
        return false;
    }
    char fitted[256];
    std::snprintf(fitted, sizeof fitted, "fitted the view: eye %g,%g,%g, target %g,%g,%g", camera->eye.x,
                  camera->eye.y, camera->eye.z, camera->target.x, camera->target.y, camera->target.z);
    notice(fitted);
    return true;
}

// Under mpirun every rank surveyed its own share of the file: the view is fitted to the box that holds every
// share's central box, and --color-by takes the range that holds every share's range, so that all ranks
// render the same view and colours. Collective.
bool joinSurveys(Ranks& ranks, const Scene& scene, CloudInfo* cloud, std::optional<ColorMapping>* mapping,
                 std::string* error) {
    const double mine[9] = {cloud->bounded ? 1.0 : 0.0, cloud->lo.x, cloud->lo.y, cloud->lo.z, cloud->hi.x,
                            cloud->hi.y, cloud->hi.z, cloud->colorRange[0], cloud->colorRange[1]};
    std::vector<std::vector<uint8_t>> all;
    if (!ranks.allGather(std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(mine),
                                              reinterpret_cast<const uint8_t*>(mine + 9)),
                         &all, error))
        return false;
    CloudInfo joined = *cloud;
    joined.bounded = false;
    double lo = std::nan(""), hi = std::nan("");
    for (const std::vector<uint8_t>& bytes : all) {
        double v[9] = {};
        std::memcpy(v, bytes.data(), std::min(bytes.size(), sizeof v));
        if (v[0] != 0.0) {
            const TLV3 a{float(v[1]), float(v[2]), float(v[3])}, b{float(v[4]), float(v[5]), float(v[6])};
            joined.lo = joined.bounded ? TLV3{std::min(joined.lo.x, a.x), std::min(joined.lo.y, a.y),
                                              std::min(joined.lo.z, a.z)} : a;
            joined.hi = joined.bounded ? TLV3{std::max(joined.hi.x, b.x), std::max(joined.hi.y, b.y),
                                              std::max(joined.hi.z, b.z)} : b;
            joined.bounded = true;
        }
        if (!std::isnan(v[7])) lo = std::isnan(lo) ? v[7] : std::min(lo, v[7]);
        if (!std::isnan(v[8])) hi = std::isnan(hi) ? v[8] : std::max(hi, v[8]);
    }
    *cloud = joined;
    if (!scene.colorBy.empty() && !scene.colorRangeGiven) {
        if (std::isnan(lo)) lo = hi = 0.0;
        if (ranks.rank() == 0)
            std::printf("color-by %s: range %g .. %g over %d processes\n", scene.colorBy.c_str(), lo, hi,
                        ranks.size());
        mapping->emplace(scene.colormap, scene.colorLog, lo, hi);
    }
    return true;
}

// A rank other than 0 under mpirun: it takes part in the passes of the frames rank 0 renders and writes.
int followFrames(Renderer& renderer, const std::vector<int>& frames) {
    std::vector<TLFloat4> image(renderer.pixels());
    for (const int f : frames) {
        float deviceMs = 0.0f;
        if (!renderer.render(f, image, &deviceMs)) return 1;
    }
    return 0;
}

int run(int argc, char** argv, Ranks& ranks) {
    CommandLine cl;
    std::string error;
    // Under mpirun rank 0 speaks for all: the others print only their own failures and warnings.
    const bool spread = ranks.distributed(), root = ranks.rank() == 0;
    if (!root && !std::freopen("/dev/null", "w", stdout)) return 1;
    switch (parseCommandLine(argc, argv, cl, &error)) {
    case Parsed::Help:
        printUsage(stdout);
        return 0;
    case Parsed::Version:
        std::printf("taluna-render %s (library API version %d)\n", TALUNA_VERSION, TL_API_VERSION);
        return 0;
    case Parsed::UsageError:
        if (root) std::fprintf(stderr, "taluna-render: %s (see taluna-render --help)\n", error.c_str());
        return 2;
    case Parsed::Run:
        break;
    }
    setQuiet(cl.quiet || !root);
    Scene scene;
    std::vector<OutputPattern> outputs;
    std::vector<std::string> notes;
    if (!resolveScene(cl, scene, &error, &notes) || !planOutputs(scene, cl, &outputs, &error)) {
        if (root) std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
        return 2;
    }
    // Each rank renders its share of the cloud on the GPU of its local rank, unless told which.
    const bool rankDevice = spread && !cl.deviceGiven && scene.devices.empty();
    std::vector<int> ordinals = scene.devices.empty() ? std::vector<int>{rankDevice ? ranks.localRank() : cl.device}
                                                      : scene.devices;
    if (rankDevice && cl.backend == "cpu") ordinals = {0};
    std::string refusal = devicesRefusal(cl, scene, ordinals);
    if (refusal.empty() && spread && scene.lit())
        refusal = "the lit path needs the whole cloud on one device: its shadow and depth maps see every particle "
                  "at once, so it cannot be split over mpirun's " + std::to_string(ranks.size()) + " processes";
    if (refusal.empty() && spread && cl.benchFrames > 0)
        refusal = "--bench times one process: run it without mpirun";
    if (!refusal.empty()) {
        if (root) std::fprintf(stderr, "taluna-render: %s\n", refusal.c_str());
        return 2;
    }
    scene.shareIndex = static_cast<uint32_t>(ranks.rank());
    scene.shareCount = static_cast<uint32_t>(ranks.size());
    // A phase every rank goes through: false on all of them when one failed, rank 0 printing the failing
    // rank's message (the failing rank printed its own details where they came from elsewhere).
    auto agreed = [&](bool ok, std::string why) {
        if (!spread) return ok;
        if (ranks.agree(ok, &why)) return true;
        if (root) std::fprintf(stderr, "taluna-render: %s\n", why.c_str());
        return false;
    };
    for (const std::string& note : notes) notice("taluna-render: " + note);
    if (cl.printScene) {
        std::fputs(formatJson(sceneToJson(scene)).c_str(), stdout);
        return 0;
    }

    std::vector<int> frames = cl.benchFrames > 0 ? std::vector<int>{0} : framesToRender(scene, cl, outputs);
    // The files rank 0 writes may be out of the other ranks' sight (--resume): its list of frames is theirs.
    if (spread) {
        uint64_t count = frames.size();
        bool ok = ranks.broadcast(&count, sizeof count, &error);
        if (ok) frames.resize(count);
        if (!ok || !ranks.broadcast(frames.data(), count * sizeof(int), &error)) {
            if (root) std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
            return 1;
        }
    }
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
    if (!agreed(openBackend(cl, scene, ordinals, rankDevice, backend), "could not open its device")) return 1;
    char info[512];
    if (backend.api.deviceInfo(backend.ctx, info, sizeof info) == 0)
        notice(std::string("device: ") + info + "\nlibrary: " + backend.api.path);
    if (!agreed(openMoreDevices(ordinals, backend), "could not open one of its devices")) return 1;

    CloudSize size;
    Split split;
    bool ok = cloudSize(scene, &size, &error);
    // This rank's share of the galaxy (the reader of a file counts its own share and knows where it starts).
    uint64_t shareFirst = 0;  // index of this rank's first particle in the whole cloud
    if (ok && spread && scene.inputFile.empty()) {
        auto start = [&](uint64_t r) {
            return static_cast<uint64_t>(static_cast<unsigned __int128>(size.count) * r / scene.shareCount);
        };
        shareFirst = start(scene.shareIndex);
        size.count = start(scene.shareIndex + 1) - shareFirst;
    }
    ok = ok && planSplit(backend, scene, size, spread, &split, &error);
    if (!ok && !spread) std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
    if (!agreed(ok, error) || !ok) return 1;
    CloudInfo cloud;
    std::optional<ColorMapping> mapping;  // a streamed file's
    const bool surveyed = split.streamed && !scene.inputFile.empty();
    const bool bounds = scene.fit && scene.camera.projection != TL_PROJECTION_PANORAMA;  // what fitView reads
    ok = surveyed ? surveyFile(scene, bounds, &cloud, &mapping, &error)
                  : split.streamed || loadParticles(backend.api, backend.ctx, scene, &cloud, &error);
    if (ok && spread && surveyed) {
        auto reader = taluna::readers::openParticleFile(scene.inputFile, readOptions(scene), &error);
        ok = reader != nullptr;
        if (ok) shareFirst = reader->firstIndex();
    }
    if (!ok && !spread) std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
    if (!agreed(ok, error) || !ok) return 1;
    if (spread && surveyed && !joinSurveys(ranks, scene, &cloud, &mapping, &error)) {
        if (root) std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
        return 1;
    }
    TLCamera camera = scene.camera;
    if (!fitView(scene, cloud, &camera)) return 1;
    const TLV3 up = camera.up;
    if (fixUp(camera))
        std::fprintf(stderr, "taluna-render: note: the view direction is parallel to the up vector %g,%g,%g; using up "
                     "%g,%g,%g\n", up.x, up.y, up.z, camera.up.x, camera.up.y, camera.up.z);

    std::unique_ptr<Renderer> renderer;
    StreamedRenderer* streamed = nullptr;
    if (split.streamed) {
        CloudSource source;
        source.first = shareFirst;
        if (scene.inputFile.empty()) {
            source.label = "the galaxy";
            source.count = size.count;
            source.seed = scene.galaxySeed;
            source.velocities = size.velocities;
        } else {
            source.label = scene.inputFile;
            source.open = [&scene](std::string* why) {
                return taluna::readers::openParticleFile(scene.inputFile, readOptions(scene), why);
            };
            source.mapping = mapping ? &*mapping : nullptr;
        }
        // A sequence shows its frames' progress, a still the pass's, a benchmark none.
        auto made = std::make_unique<StreamedRenderer>(backend, scene, camera, std::move(source), split.chunk, frames,
                                                       scene.orbitFrames == 0 && cl.benchFrames == 0);
        streamed = made.get();
        if (spread) streamed->spreadOver(ranks);
        renderer = std::move(made);
    } else {
        renderer = std::make_unique<OnePieceRenderer>(backend, scene, camera, cloud.count);
    }
    // An orbit is exposed once, by its first frame, so that its frames (and a resumed run's) match.
    if (scene.autoExposure && scene.lit())
        std::fprintf(stderr, "taluna-render: note: --auto-exposure sets the plain path's intensity; the lit path "
                     "takes its brightness from its lights and --exposure\n");
    else if (scene.autoExposure && streamed)
        streamed->exposeOnFirstPass();
    else if (scene.autoExposure && !autoExpose(*renderer, scene))
        return 1;
    if (cl.servePort >= 0) {
        scene.camera = camera;
        return taluna::viewer::serveViewer(backend.api, backend.ctx, scene, cloud.count, cl, argv[0]);
    }
    const ImageFormat format{scene.pngBits == 16, cl.exrCompression};
    if (!root) return followFrames(*renderer, frames);
    if (spread) {
        // A failure of rank 0's own (a file it cannot write) leaves the others waiting for the next frame.
        const int status = scene.orbitFrames > 0 ? sequence(*renderer, outputs, format, frames, jobs, cl.quiet)
                                                 : still(*renderer, scene, outputs, format);
        if (status != 0) ranks.abandon();
        return status;
    }
    if (cl.benchFrames > 0) return bench(*renderer, scene, cl, outputs, format);
    if (scene.orbitFrames > 0) return sequence(*renderer, outputs, format, frames, jobs, cl.quiet);
    return still(*renderer, scene, outputs, format);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Ranks ranks(&argc, &argv);
        return run(argc, argv, ranks);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "taluna-render: out of host memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "taluna-render: %s\n", e.what());
    }
    return 1;
}
