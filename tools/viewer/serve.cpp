#include "viewer/serve.h"

#include <cstdio>

#include "viewer/viewer_server.h"

namespace taluna::viewer {

int serveViewer(const Api& api, TLContext* ctx, const render::Scene& scene, uint64_t particles,
                const render::CommandLine& cl, const char* program) {
    ServeOptions options;
    options.bind = cl.bind;
    options.port = cl.servePort;
    options.backend = api.path.find("taluna_cpu") != std::string::npos ? "CPU" : "CUDA";
    options.stillCommand = program;
    if (cl.backend != "auto") options.stillCommand += " --backend " + cl.backend;
    if (cl.device != 0) options.stillCommand += " --device " + std::to_string(cl.device);
    options.exrCompression = cl.exrCompression;
    ViewerServer server(api, ctx, scene, particles, options);
    std::string error;
    if (!server.bind(&error)) {
        std::fprintf(stderr, "taluna-render: --serve: %s\n", error.c_str());
        return 1;
    }
    return serveUntilInterrupted(server);
}

}  // namespace taluna::viewer
