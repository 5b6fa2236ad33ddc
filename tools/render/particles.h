// Puts the scene's particles into a context: the procedural galaxy, or a particle file streamed to the
// library in pieces.
#pragma once

#include <string>

#include "common/taluna_loader.h"
#include "render/scene.h"

namespace taluna::render {

struct CloudInfo {
    uint64_t count = 0;
    // lo and hi hold the 0.5th and 99.5th percentiles of the finite positions on each axis (files only),
    // from a sample of bounded size: the box of the central 99%, which stray points far out do not widen.
    bool bounded = false;
    TLV3 lo{}, hi{};
};

// Prints the reader's warnings to stderr. Returns false with a message: the reader's (naming the file and
// the line or byte), the library's, or that no particle with a finite position is left to render.
bool loadParticles(const Api& api, TLContext* ctx, const Scene& scene, CloudInfo* info, std::string* error);

}  // namespace taluna::render
