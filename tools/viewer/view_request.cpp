#include "viewer/view_request.h"

#include <algorithm>
#include <cstring>

namespace taluna::viewer {
namespace {

// The members of the view the page may set, by scene object. Anything else (the seed, the shadow maps'
// sizes, the input) would change what was loaded or what a pass costs beyond the limits.
struct Allowed {
    const char* object;
    std::vector<const char*> keys;
};
const Allowed kAllowed[] = {
    {"camera", {"eye", "target", "up", "fov", "projection", "aperture", "focus"}},
    {"settings", {"width", "height", "intensity", "exposure", "samples", "jitter", "sigma"}},
    {"lighting", {"enabled", "density", "ambient", "base_light", "anisotropy"}},
};

bool fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

bool checkView(const Json& view, std::string* error) {
    if (!view.is_object()) return fail(error, "view: expected an object");
    for (auto it = view.begin(); it != view.end(); ++it) {
        const std::string& name = it.key();
        if (name == "lights") continue;  // the scene checks each light
        const Allowed* allowed = std::find_if(std::begin(kAllowed), std::end(kAllowed),
                                              [&](const Allowed& a) { return name == a.object; });
        if (allowed == std::end(kAllowed))
            return fail(error, "view." + name + ": not something the viewer changes (camera, settings, lighting "
                               "and lights are)");
        if (!it->is_object()) return fail(error, "view." + name + ": expected an object");
        for (auto member = it->begin(); member != it->end(); ++member)
            if (std::none_of(allowed->keys.begin(), allowed->keys.end(),
                             [&](const char* k) { return member.key() == k; }))
                return fail(error, "view." + name + "." + member.key() + ": not something the viewer changes");
    }
    return true;
}

}  // namespace

bool parseViewRequest(const std::string& body, const Json& base, const Limits& limits, ViewRequest* out,
                      std::string* error) {
    Json request;
    try {
        request = Json::parse(body);
    } catch (const Json::exception& e) {
        const std::string what = e.what();
        const size_t bracket = what.find("] ");
        return fail(error, "request: " + (bracket == std::string::npos ? what : what.substr(bracket + 2)));
    }
    if (!request.is_object()) return fail(error, "request: expected a JSON object");
    for (auto it = request.begin(); it != request.end(); ++it)
        if (it.key() != "view" && it.key() != "refine" && it.key() != "format")
            return fail(error, "request." + it.key() + ": unknown key (known here: view, refine, format)");

    ViewRequest r;
    Json merged = base;
    if (request.contains("view")) {
        const Json& view = request["view"];
        if (!checkView(view, error)) return false;
        // A null member deletes the key, which then takes the tool's default, as in a scene file.
        merged.merge_patch(view);
    }
    try {
        r.scene = render::sceneFromJson(merged);
    } catch (const render::SceneError& e) {
        return fail(error, "view." + e.key + ": " + e.message);
    }
    if (request.contains("refine")) {
        if (!request["refine"].is_boolean()) return fail(error, "request.refine: expected true or false");
        r.refine = request["refine"].get<bool>();
    }
    if (request.contains("format")) {
        const Json& f = request["format"];
        if (f != "jpeg" && f != "png") return fail(error, "request.format: expected \"jpeg\" or \"png\"");
        r.format = f == "png" ? FrameFormat::Png : FrameFormat::Jpeg;
    }

    const TLRenderSettings& s = r.scene.settings;
    if (s.width > limits.maxWidth || s.height > limits.maxHeight)
        return fail(error, "view.settings: " + std::to_string(s.width) + "x" + std::to_string(s.height) +
                               " is larger than the viewer renders (at most " + std::to_string(limits.maxWidth) +
                               "x" + std::to_string(limits.maxHeight) + "; the page scales the frame up)");
    const int64_t work = (static_cast<int64_t>(s.jitterCount) + 1) * s.samples;
    if (work > limits.maxWorkPerParticle)
        return fail(error, "view.settings: (jitter + 1) x samples is " + std::to_string(work) +
                               "; the viewer draws at most " + std::to_string(limits.maxWorkPerParticle) +
                               " per particle in a frame (render a still for more)");
    *out = std::move(r);
    return true;
}

std::string sumsKey(const Scene& scene) {
    Json json = render::sceneToJson(scene);
    // The plain path's sums do not depend on the exposure; the lit path tone-maps inside the library.
    if (!scene.lit()) json["settings"].erase("exposure");
    json.erase("output");
    return json.dump();
}

}  // namespace taluna::viewer
