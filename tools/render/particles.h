// Puts the scene's particles into a context: the procedural galaxy, or a particle file streamed to the
// library in pieces.
#pragma once

#include <optional>
#include <string>

#include "common/taluna_loader.h"
#include "readers/particle_reader.h"
#include "render/colormap.h"
#include "render/scene.h"

namespace taluna::render {

struct CloudInfo {
    uint64_t count = 0;
    // lo and hi hold the 0.5th and 99.5th percentiles of the finite positions on each axis (files only),
    // from a sample of bounded size: the box of the central 99%, which stray points far out do not widen.
    bool bounded = false;
    TLV3 lo{}, hi{};
    // surveyFile: the colour range of --color-by (NaN: no usable value to take one from).
    double colorRange[2] = {0.0, 0.0};
};

// The scene's cloud before anything is read or made: the galaxy's count, or the count the file declares (at
// most that many come out), and whether its particles carry velocities. False with the reader's message.
struct CloudSize {
    uint64_t count = 0;
    bool velocities = false;
};
bool cloudSize(const Scene& scene, CloudSize* size, std::string* error);

// What the reader of the scene's file is asked for.
readers::ReadOptions readOptions(const Scene& scene);

// For a file rendered in chunks, which reach the device only while frames render: what loadParticles learns
// while uploading, from a pass of its own before rendering. With `bounds`, the box of the central 99% in
// *info (and the particle count); with --color-by, the mapping in *mapping (its default range sampled in
// the same pass). No pass when neither needs one. False with the reader's message.
bool surveyFile(const Scene& scene, bool bounds, CloudInfo* info, std::optional<ColorMapping>* mapping,
                std::string* error);

// Prints the reader's warnings to stderr. Returns false with a message: the reader's (naming the file and
// the line or byte), the library's, or that no particle with a finite position is left to render.
bool loadParticles(const Api& api, TLContext* ctx, const Scene& scene, CloudInfo* info, std::string* error);

}  // namespace taluna::render
