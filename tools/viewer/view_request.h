// What the viewer page asks of the server, read and checked before anything is rendered: the view (the parts
// of the scene the page may change) applied over the scene the tool was started with.
#pragma once

#include <string>

#include "render/scene.h"

namespace taluna::viewer {

using render::Json;
using render::Scene;

// The bounds that keep one page from taking the machine: the largest frame (its buffers are the server's
// largest allocations) and the most particle copies times samples a single pass may draw.
struct Limits {
    int maxWidth = 3840;
    int maxHeight = 2160;
    int maxWorkPerParticle = 1024;  // (jitter + 1) x samples of one pass
    int maxPasses = 256;            // passes a refined frame accumulates before it stops
};

enum class FrameFormat { Jpeg, Png };

// A frame, copy or save request. The body is a JSON object:
//   {"view": {"camera": {...}, "settings": {...}, "lighting": {...}, "lights": [...]},
//    "refine": false, "format": "jpeg" | "png"}
// with the view's keys those of the scene files (the tool's --scene format), restricted to what the page
// shows: the camera's placement, lens and projection; the size, brightness and sampling; lighting on or off,
// its density and ambient light; the lights. The input, outputs and the other settings stay the tool's.
struct ViewRequest {
    Scene scene;            // the tool's scene with the view applied, checked as a scene file is
    bool refine = false;    // add a pass to the frame held for the same view
    FrameFormat format = FrameFormat::Jpeg;
};

// Reads a request body over `base` (sceneToJson of the tool's scene). On failure returns false with the
// message a 400 answer carries, naming the key ("view.settings.width: ...") as the tool names an option's.
bool parseViewRequest(const std::string& body, const Json& base, const Limits& limits, ViewRequest* out,
                      std::string* error);

// What identifies a frame's sums: the scene without what only the tone curve reads (the exposure), so that
// a refined frame survives an exposure change and every other change starts a new one.
std::string sumsKey(const Scene& scene);

}  // namespace taluna::viewer
