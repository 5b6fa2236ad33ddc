// Puts the scene's particles into a context: the procedural galaxy, or a particle file streamed to the
// library in pieces.
#pragma once

#include <string>

#include "common/taluna_loader.h"
#include "render/scene.h"

namespace taluna::render {

struct CloudInfo {
    uint64_t count = 0;
    bool bounded = false;  // lo and hi hold the bounds of the finite positions (files only)
    TLV3 lo{}, hi{};
};

// Returns false with a message: the reader's (naming the file and the line or byte) or the library's.
bool loadParticles(const Api& api, TLContext* ctx, const Scene& scene, CloudInfo* info, std::string* error);

}  // namespace taluna::render
