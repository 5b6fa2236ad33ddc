// libtaluna_viewer.so: the viewer for a program that already holds a context (the Python package's
// taluna.serve), as a small C interface. The server runs on a thread of its own until tlvStop.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "viewer/viewer_server.h"

#define TLV_API extern "C" __attribute__((visibility("default")))

struct TLViewer {
    taluna::Api api;
    std::unique_ptr<taluna::viewer::ViewerServer> server;
    std::thread thread;
    std::string url;
};

namespace {

void copyError(const std::string& text, char* error, int size) {
    if (!error || size < 1) return;
    const size_t n = std::min(text.size(), static_cast<size_t>(size) - 1);
    std::memcpy(error, text.data(), n);
    error[n] = '\0';
}

}  // namespace

// Serves the cloud of `ctx`, a context of the library at `libraryPath`, with the camera, settings and lights
// given (checked as a scene file is), on `bind`:`port` (0: any free port). `outputs` lists the files the save
// button writes, separated by newlines. Returns null with the reason in `error` on failure. The caller must
// not use the context until tlvStop returns.
TLV_API TLViewer* tlvStart(const char* libraryPath, TLContext* ctx, const TLCamera* camera,
                           const TLRenderSettings* settings, const TLLight* lights, int lightCount, const char* bind,
                           int port, const char* outputs, char* error, int errorSize) {
    using namespace taluna;
    try {
        if (!libraryPath || !ctx || !camera || !settings || (lightCount > 0 && !lights) || lightCount < 0 || !bind ||
            !outputs || port < 0 || port > 65535)
            throw std::invalid_argument("tlvStart: a null or out-of-range argument");
        auto v = std::make_unique<TLViewer>();
        std::string why;
        if (!v->api.load(libraryPath, &why)) throw std::runtime_error(why);
        render::Scene scene;
        scene.camera = *camera;
        scene.settings = *settings;
        scene.lights.assign(lights, lights + lightCount);
        std::istringstream list(outputs);
        scene.outputs.clear();
        for (std::string line; std::getline(list, line);)
            if (!line.empty()) scene.outputs.push_back(line);
        // Read back as a scene file, so that what the tool would refuse is refused here with its message.
        try {
            render::Json json = render::sceneToJson(scene);
            json["output"]["files"] = scene.outputs;
            scene = render::sceneFromJson(json);
        } catch (const render::SceneError& e) {
            throw std::invalid_argument(e.key + ": " + e.message);
        }
        viewer::ServeOptions options;
        options.bind = bind;
        options.port = port;
        options.backend = v->api.path.find("taluna_cpu") != std::string::npos ? "CPU" : "CUDA";
        v->server = std::make_unique<viewer::ViewerServer>(v->api, ctx, scene, v->api.getCount(ctx), options);
        if (!v->server->bind(&why)) throw std::runtime_error(why);
        v->url = v->server->url();
        v->thread = std::thread([server = v->server.get()] { server->run(); });
        return v.release();
    } catch (const std::exception& e) {
        copyError(e.what(), error, errorSize);
    } catch (...) {
        copyError("tlvStart: failed", error, errorSize);
    }
    return nullptr;
}

TLV_API const char* tlvUrl(TLViewer* viewer) { return viewer ? viewer->url.c_str() : ""; }

// Stops the server after the requests in progress and frees it; null does nothing.
TLV_API void tlvStop(TLViewer* viewer) {
    if (!viewer) return;
    viewer->server->stop();
    viewer->thread.join();
    delete viewer;
}
