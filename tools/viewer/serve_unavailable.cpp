// serveViewer in a tool built without the viewer's libraries.
#include <cstdio>

#include "viewer/serve.h"

namespace taluna::viewer {

int serveViewer(const Api&, TLContext*, const render::Scene&, uint64_t, const render::CommandLine&, const char*) {
    std::fprintf(stderr, "taluna-render: --serve: this build has no viewer (it needs libcpp-httplib-dev, "
                 "libturbojpeg0-dev and libpng-dev when it is configured)\n");
    return 2;
}

}  // namespace taluna::viewer
