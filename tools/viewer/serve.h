// taluna-render --serve: the live viewer of the scene the tool loaded, until Ctrl-C.
#pragma once

#include <cstdint>

#include "common/taluna_loader.h"
#include "render/command_line.h"

namespace taluna::viewer {

// Serves `scene` (its camera placed, its intensity chosen) over the context's `particles` particles as the
// options say (--serve, --bind, --backend, --exr-compression). `program` is argv[0], for the command that
// renders a saved view. Returns the tool's exit status.
int serveViewer(const Api& api, TLContext* ctx, const render::Scene& scene, uint64_t particles,
                const render::CommandLine& cl, const char* program);

}  // namespace taluna::viewer
