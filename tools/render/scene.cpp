#include "render/scene.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "render/colormap.h"

namespace taluna::render {
namespace {

std::string typeName(const Json& v) {
    if (v.is_boolean()) return "true or false";
    if (v.is_number()) return "a number";
    if (v.is_string()) return "a string";
    if (v.is_array()) return "an array";
    if (v.is_object()) return "an object";
    return "null";
}

std::string joinKey(const std::string& path, const std::string& key) { return path.empty() ? key : path + "." + key; }

// Reads the members of one JSON object, each at most once, and refuses the members nobody asked for.
class Fields {
public:
    Fields(const Json& object, std::string path) : object_(object), path_(std::move(path)) {
        if (!object.is_object()) throw SceneError{path_, "expected an object, got " + typeName(object)};
    }

    // The member, or null when it is absent or null (the default applies).
    const Json* find(const char* key) {
        if (std::find_if(known_.begin(), known_.end(), [&](const char* k) { return std::strcmp(k, key) == 0; }) ==
            known_.end())
            known_.push_back(key);
        auto it = object_.find(key);
        return it == object_.end() || it->is_null() ? nullptr : &*it;
    }
    std::string key(const char* key) const { return joinKey(path_, key); }

    void number(const char* name, float& out) {
        if (const Json* v = find(name)) out = toFloat(*v, key(name));
    }
    void vec3(const char* name, float* out) {
        if (const Json* v = find(name)) toFloats(*v, key(name), out, 3);
    }
    void vec3(const char* name, TLV3& out) {
        float v[3] = {out.x, out.y, out.z};
        vec3(name, v);
        out = TLV3{v[0], v[1], v[2]};
    }
    void integer(const char* name, int64_t& out, int64_t lo, int64_t hi) {
        if (const Json* v = find(name)) out = toInteger(*v, key(name), lo, hi);
    }
    template <typename T>
    void integer(const char* name, T& out, int64_t lo, int64_t hi) {
        int64_t v = out;
        integer(name, v, lo, hi);
        out = static_cast<T>(v);
    }
    void boolean(const char* name, bool& out) {
        if (const Json* v = find(name)) {
            if (!v->is_boolean()) throw SceneError{key(name), "expected true or false, got " + typeName(*v)};
            out = v->get<bool>();
        }
    }
    void string(const char* name, std::string& out) {
        if (const Json* v = find(name)) {
            if (!v->is_string()) throw SceneError{key(name), "expected a string, got " + typeName(*v)};
            out = v->get<std::string>();
        }
    }
    // A string that must be one of `choices`; returns its index, or `current` when absent.
    template <size_t N>
    int choice(const char* name, const char* const (&choices)[N], int current) {
        const Json* v = find(name);
        if (!v) return current;
        std::string list;
        for (size_t i = 0; i < N; ++i) {
            if (v->is_string() && v->get<std::string>() == choices[i]) return static_cast<int>(i);
            list += (i ? ", " : "") + std::string(choices[i]);
        }
        throw SceneError{key(name), "expected one of " + list + ", got " +
                                        (v->is_string() ? "\"" + v->get<std::string>() + "\"" : typeName(*v))};
    }

    // Call after reading every member: any other member is a mistake (a misspelt key, most likely).
    void finish() const {
        for (auto it = object_.begin(); it != object_.end(); ++it) {
            bool found = false;
            for (const char* k : known_) found = found || it.key() == k;
            if (found) continue;
            std::string list;
            for (const char* k : known_) list += (list.empty() ? "" : ", ") + std::string(k);
            throw SceneError{joinKey(path_, it.key()), "unknown key (known here: " + list + ")"};
        }
    }

    static float toFloat(const Json& v, const std::string& key) {
        if (!v.is_number()) throw SceneError{key, "expected a number, got " + typeName(v)};
        const double d = v.get<double>();
        if (!std::isfinite(d) || std::fabs(d) > std::numeric_limits<float>::max())
            throw SceneError{key, "number out of range"};
        return static_cast<float>(d);
    }
    static void toFloats(const Json& v, const std::string& key, float* out, size_t n) {
        if (!v.is_array() || v.size() != n)
            throw SceneError{key, "expected an array of " + std::to_string(n) + " numbers, got " + typeName(v) +
                                      (v.is_array() ? " of " + std::to_string(v.size()) : "")};
        for (size_t i = 0; i < n; ++i) out[i] = toFloat(v[i], key + "[" + std::to_string(i) + "]");
    }
    static int64_t toInteger(const Json& v, const std::string& key, int64_t lo, int64_t hi) {
        const std::string range = "an integer from " + std::to_string(lo) + " to " + std::to_string(hi);
        double d = 0.0;
        if (v.is_number_unsigned()) {
            // The parser reads every integer from 0 up as unsigned: both ends apply here too.
            const uint64_t u = v.get<uint64_t>();
            if ((lo > 0 && u < static_cast<uint64_t>(lo)) || u > static_cast<uint64_t>(hi))
                throw SceneError{key, "expected " + range};
            return static_cast<int64_t>(u);
        }
        if (v.is_number_integer()) {
            const int64_t i = v.get<int64_t>();
            if (i < lo || i > hi) throw SceneError{key, "expected " + range};
            return i;
        }
        if (!v.is_number()) throw SceneError{key, "expected " + range + ", got " + typeName(v)};
        d = v.get<double>();
        // 512.0 is accepted as 512; 1.5 is not an integer. double(hi) may round up (INT64_MAX to 2^63),
        // so the upper limit is checked after a conversion that the first test keeps in range.
        if (d != std::floor(d) || d < static_cast<double>(lo) || d >= 9223372036854775808.0 ||
            static_cast<int64_t>(d) > hi)
            throw SceneError{key, "expected " + range};
        return static_cast<int64_t>(d);
    }

private:
    const Json& object_;
    std::string path_;
    std::vector<const char*> known_;
};

void require(bool ok, const std::string& key, const char* message) {
    if (!ok) throw SceneError{key, message};
}

// Contexts one process drives at once: more than any machine holds devices.
constexpr size_t kMaxDevices = 64;

// Indices are the values of TLLight::kind, of the pole modes and of TLCamera::projection.
const char* const kLightKinds[] = {"point", "spot", "sun"};
const char* const kPoleModes[] = {"none", "linear", "power"};
const char* const kProjections[] = {"perspective", "panorama"};

TLLight lightFromJson(const Json& json, const std::string& path) {
    TLLight l = tlDefaultLight();
    Fields f(json, path);
    l.kind = f.choice("kind", kLightKinds, l.kind);
    f.vec3("position", l.position);
    f.vec3("direction", l.direction);
    f.vec3("color", l.color);
    float cone[2] = {l.outerAngle, l.innerAngle};
    if (const Json* v = f.find("cone")) Fields::toFloats(*v, f.key("cone"), cone, 2);
    l.outerAngle = cone[0];
    l.innerAngle = cone[1];
    f.integer("falloff", l.falloff, TL_FALLOFF_NONE, TL_FALLOFF_CUTOFF);
    f.number("range", l.range);
    f.number("inner_range", l.innerRange);
    bool shadows = l.castShadows != 0;
    f.boolean("shadows", shadows);
    l.castShadows = shadows ? 1 : 0;
    f.finish();
    return l;
}

Json vec(const float* v, int n) {
    Json a = Json::array();
    for (int i = 0; i < n; ++i) a.push_back(shortestDouble(v[i]));
    return a;
}
Json vec(const TLV3& v) {
    const float f[3] = {v.x, v.y, v.z};
    return vec(f, 3);
}

int poleModeIndex(int32_t mode) { return mode == 0 ? 0 : mode == 2 ? 2 : 1; }

void format(const Json& j, int indent, std::string& out) {
    const std::string pad(static_cast<size_t>(indent) + 2, ' ');
    if (j.is_object() && !j.empty()) {
        out += "{\n";
        size_t i = 0;
        for (auto it = j.begin(); it != j.end(); ++it, ++i) {
            out += pad + Json(it.key()).dump() + ": ";
            format(it.value(), indent + 2, out);
            out += i + 1 < j.size() ? ",\n" : "\n";
        }
        out += std::string(static_cast<size_t>(indent), ' ') + "}";
        return;
    }
    bool flat = true;
    if (j.is_array())
        for (const Json& e : j) flat = flat && !e.is_structured();
    if (j.is_array() && !flat) {
        out += "[\n";
        for (size_t i = 0; i < j.size(); ++i) {
            out += pad;
            format(j[i], indent + 2, out);
            out += i + 1 < j.size() ? ",\n" : "\n";
        }
        out += std::string(static_cast<size_t>(indent), ' ') + "]";
        return;
    }
    if (j.is_array()) {
        out += "[";
        for (size_t i = 0; i < j.size(); ++i) out += (i ? ", " : "") + j[i].dump();
        out += "]";
        return;
    }
    out += j.dump();
}

}  // namespace

std::string formatJson(const Json& json) {
    std::string out;
    format(json, 0, out);
    return out + "\n";
}

double shortestDouble(float value) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf - 1, value);
    *r.ptr = '\0';
    return std::strtod(buf, nullptr);
}

std::vector<TLLight> defaultLights() {
    // The core light lights the disc from the centre out; the sky light gives the arms their relief.
    TLLight core;
    std::memset(&core, 0, sizeof core);
    core.kind = TL_LIGHT_POINT;
    core.position[1] = 35.0f;
    core.color[0] = 6.0f, core.color[1] = 4.6f, core.color[2] = 3.1f;
    core.falloff = TL_FALLOFF_INVERSE_CLAMPED;
    core.range = 55.0f;
    core.castShadows = 1;
    TLLight sky;
    std::memset(&sky, 0, sizeof sky);
    sky.kind = TL_LIGHT_DIRECTIONAL;
    sky.direction[0] = 0.3f, sky.direction[1] = -1.0f, sky.direction[2] = -0.2f;
    sky.color[0] = 0.3f, sky.color[1] = 0.35f, sky.color[2] = 0.55f;
    sky.castShadows = 1;
    return {core, sky};
}

namespace {

// The steps of sceneFromJson, one per top-level key. Each reads its object's members in a fixed order,
// which is also the order an "unknown key" message lists them in.

void readInput(const Json& v, Scene& s) {
    Fields f(v, "input");
    f.string("file", s.inputFile);
    f.string("format", s.inputFormat);
    if (const Json* types = f.find("types")) {  // particle types of an HDF5 snapshot
        if (!types->is_array()) throw SceneError{f.key("types"), "expected an array of integers 0..5"};
        s.inputTypes.clear();
        for (size_t i = 0; i < types->size(); ++i)
            s.inputTypes.push_back(int(Fields::toInteger((*types)[i], f.key("types") + "[" + std::to_string(i) + "]",
                                                         0, 5)));
    }
    f.finish();
    const std::string& fmt = s.inputFormat;
    require(fmt == "auto" || fmt == "ply" || fmt == "csv" || fmt == "text" || fmt == "raw" || fmt == "hdf5",
            f.key("format"), "expected auto, ply, csv, raw or hdf5");
}

void readColor(const Json& v, Scene& s) {
    Fields f(v, "color");
    f.string("by", s.colorBy);
    f.string("map", s.colormap);
    std::string names;
    for (const std::string& name : colormapNames()) names += (names.empty() ? "" : ", ") + name;
    require(isColormap(s.colormap), f.key("map"), ("expected one of " + names).c_str());
    f.boolean("log", s.colorLog);
    if (const Json* range = f.find("range")) {
        Fields::toFloats(*range, f.key("range"), s.colorRange, 2);
        require(s.colorRange[0] < s.colorRange[1], f.key("range"), "expected [low, high] with low < high");
        s.colorRangeGiven = true;
    }
    require(!s.colorLog || !s.colorRangeGiven || s.colorRange[0] > 0.0f, f.key("range"),
            "a logarithmic range must be above 0");
    f.finish();
}

void readGalaxy(const Json& v, Scene& s) {
    Fields f(v, "galaxy");
    f.integer("count", s.galaxyCount, 0, std::numeric_limits<int64_t>::max());
    f.integer("seed", s.galaxySeed, 0, 0xFFFFFFFFll);
    f.boolean("velocities", s.galaxyVelocities);
    f.finish();
}

void readPanorama(const Json& v, TLCamera& c) {
    Fields g(v, "camera.panorama");
    float lon[2] = {c.lonMin, c.lonMax}, lat[2] = {c.latMin, c.latMax};
    if (const Json* a = g.find("longitude")) Fields::toFloats(*a, g.key("longitude"), lon, 2);
    if (const Json* a = g.find("latitude")) Fields::toFloats(*a, g.key("latitude"), lat, 2);
    require(lon[0] < lon[1], g.key("longitude"), "expected [min, max] with min < max");
    require(lat[0] < lat[1], g.key("latitude"), "expected [min, max] with min < max");
    c.lonMin = lon[0], c.lonMax = lon[1], c.latMin = lat[0], c.latMax = lat[1];
    g.number("eye_offset", c.eyeOffset);
    g.number("convergence", c.convergence);
    g.number("nodal_offset", c.nodalOffset);
    struct Pole {
        const char* key;
        int32_t& mode;
        float& angle;
        float& exponent;
    };
    for (Pole pole : {Pole{"pole_top", c.poleModeTop, c.poleAngleTop, c.poleExponentTop},
                      Pole{"pole_bottom", c.poleModeBottom, c.poleAngleBottom, c.poleExponentBottom}}) {
        if (const Json* q = g.find(pole.key)) {
            Fields h(*q, g.key(pole.key));
            pole.mode = h.choice("mode", kPoleModes, poleModeIndex(pole.mode));
            h.number("angle", pole.angle);
            h.number("exponent", pole.exponent);
            h.finish();
        }
    }
    g.finish();
}

// Which of the camera's placement keys the scene gives: they decide whether a particle file is fitted.
struct CameraKeys {
    bool eyeOrTarget = false;
    bool fit = false;
};

CameraKeys readCamera(const Json& v, Scene& s) {
    TLCamera& c = s.camera;
    Fields f(v, "camera");
    CameraKeys given;
    given.eyeOrTarget = f.find("eye") || f.find("target");
    f.vec3("eye", c.eye);
    f.vec3("target", c.target);
    f.vec3("up", c.up);
    f.number("fov", c.fovY);
    require(c.fovY > 0.0f && c.fovY < 180.0f, f.key("fov"), "must be greater than 0 and less than 180");
    c.projection = f.choice("projection", kProjections, c.projection);
    f.number("aperture", c.aperture);
    require(c.aperture >= 0.0f, f.key("aperture"), "must not be negative");
    f.number("focus", c.focusDistance);
    require(c.focusDistance >= 0.0f, f.key("focus"), "must not be negative");
    given.fit = f.find("fit") != nullptr;
    f.boolean("fit", s.fit);
    if (const Json* p = f.find("panorama")) readPanorama(*p, c);
    f.finish();
    return given;
}

// Which settings the scene gives: the exposure's and the intensity's defaults depend on them.
struct SettingsKeys {
    bool exposure = false, intensity = false, autoExposure = false;
};

SettingsKeys readSettings(const Json& v, Scene& s) {
    TLRenderSettings& r = s.settings;
    Fields f(v, "settings");
    SettingsKeys given;
    f.integer("width", r.width, 1, 65535);
    f.integer("height", r.height, 1, 65535);
    require(static_cast<int64_t>(r.width) * r.height <= std::numeric_limits<int32_t>::max(), f.key("height"),
            "the image has more pixels than fit a 32-bit count");
    given.intensity = f.find("intensity") != nullptr;
    f.number("intensity", r.intensity);
    given.autoExposure = f.find("auto_exposure") != nullptr;
    f.boolean("auto_exposure", s.autoExposure);
    given.exposure = f.find("exposure") != nullptr;
    f.number("exposure", r.exposure);
    f.integer("samples", r.samples, 1, 1000000);
    f.integer("jitter", r.jitterCount, 0, 1000000);
    f.number("sigma", r.jitterSigma);
    require(r.jitterSigma >= 0.0f, f.key("sigma"), "must not be negative");
    f.number("shutter", r.shutter);
    require(r.shutter >= 0.0f, f.key("shutter"), "must not be negative");
    f.integer("seed", r.seed, 0, 0xFFFFFFFFll);
    f.finish();
    return given;
}

void readLighting(const Json& v, TLRenderSettings& r) {
    Fields f(v, "lighting");
    bool lit = false;
    f.boolean("enabled", lit);
    r.lightingMode = lit ? TL_LIGHTING_LIT : TL_LIGHTING_PLAIN;
    f.number("density", r.density);
    f.number("ambient", r.ambient);
    f.vec3("base_light", r.baseLight);
    f.number("anisotropy", r.anisotropy);
    require(r.anisotropy >= -0.95f && r.anisotropy <= 0.95f, f.key("anisotropy"), "must lie in -0.95 to 0.95");
    f.integer("shadow_map", r.shadowMapSize, 9, 8192);
    f.integer("shadow_slices", r.shadowSlices, 2, 1024);
    f.integer("depth_slices", r.depthSlices, 2, 1024);
    f.finish();
}

std::vector<TLLight> readLights(const Json& v) {
    if (!v.is_array()) throw SceneError{"lights", "expected an array of lights, got " + typeName(v)};
    if (v.size() > 8) throw SceneError{"lights", "at most 8 lights"};
    std::vector<TLLight> lights;
    for (size_t i = 0; i < v.size(); ++i) lights.push_back(lightFromJson(v[i], "lights[" + std::to_string(i) + "]"));
    return lights;
}

void readOutput(const Json& v, Scene& s) {
    Fields f(v, "output");
    if (const Json* files = f.find("files")) {
        const std::string key = f.key("files");
        if (!files->is_array()) throw SceneError{key, "expected an array of file names, got " + typeName(*files)};
        for (size_t i = 0; i < files->size(); ++i) {
            const Json& name = (*files)[i];
            if (!name.is_string() || name.get<std::string>().empty())
                throw SceneError{key + "[" + std::to_string(i) + "]", "expected a file name"};
            s.outputs.push_back(name.get<std::string>());
        }
        s.outputsGiven = true;
    }
    f.integer("png_bits", s.pngBits, 8, 16);
    require(s.pngBits == 8 || s.pngBits == 16, f.key("png_bits"), "expected 8 or 16");
    f.boolean("transparent", s.transparent);
    f.finish();
}

void readSequence(const Json& v, Scene& s) {
    Fields f(v, "sequence");
    f.integer("orbit", s.orbitFrames, 0, 10000000);
    f.number("turntable", s.turntableDegrees);
    f.finish();
}

void readSplit(const Json& v, Scene& s) {
    Fields f(v, "split");
    f.integer("chunk", s.chunk, 1, std::numeric_limits<int64_t>::max());
    if (const Json* devices = f.find("devices")) {
        const std::string key = f.key("devices");
        if (!devices->is_array() || devices->size() > kMaxDevices)  // [] is the default: --device
            throw SceneError{key, "expected an array of at most " + std::to_string(kMaxDevices) + " device ordinals"};
        s.devices.clear();
        for (size_t i = 0; i < devices->size(); ++i)
            s.devices.push_back(int(Fields::toInteger((*devices)[i], key + "[" + std::to_string(i) + "]", 0, 1023)));
    }
    f.finish();
}

}  // namespace

Scene sceneFromJson(const Json& json) {
    Scene s;  // the header's camera and settings
    s.lights = defaultLights();

    Fields top(json, "");
    if (const Json* v = top.find("input")) readInput(*v, s);
    if (const Json* v = top.find("color")) readColor(*v, s);
    if (const Json* v = top.find("galaxy")) readGalaxy(*v, s);
    CameraKeys cameraKeys;
    if (const Json* v = top.find("camera")) cameraKeys = readCamera(*v, s);
    SettingsKeys settingsKeys;
    if (const Json* v = top.find("settings")) settingsKeys = readSettings(*v, s);
    if (const Json* v = top.find("lighting")) readLighting(*v, s.settings);
    if (const Json* v = top.find("lights")) s.lights = readLights(*v);
    if (const Json* v = top.find("output")) readOutput(*v, s);
    if (const Json* v = top.find("sequence")) readSequence(*v, s);
    if (const Json* v = top.find("split")) readSplit(*v, s);
    top.finish();

    // The lit path's tone curve wants a brighter exposure than the plain path's.
    if (!settingsKeys.exposure) s.settings.exposure = s.lit() ? 2.0f : 1.0f;
    if (!s.outputsGiven) {
        if (s.orbitFrames > 0) s.outputs = {"galaxy_%04d.png"};
        else s.outputs = {"galaxy.png", "galaxy.exr"};
    }
    // A particle file has no tuned view: unless the scene places the camera, the view is fitted to it.
    if (!cameraKeys.fit) s.fit = !s.inputFile.empty() && !cameraKeys.eyeOrTarget;
    // Nor a tuned intensity: a cube of 8 points and a billion-point simulation want intensities 10^5 apart.
    // The lit path's brightness comes from its lights, not from the intensity.
    if (!settingsKeys.autoExposure) s.autoExposure = !s.inputFile.empty() && !settingsKeys.intensity && !s.lit();
    return s;
}

Json lightToJson(const TLLight& l) {
    const float cone[2] = {l.outerAngle, l.innerAngle};
    return Json{
        {"kind", kLightKinds[l.kind >= TL_LIGHT_POINT && l.kind <= TL_LIGHT_DIRECTIONAL ? l.kind : TL_LIGHT_POINT]},
        {"position", vec(l.position, 3)},
        {"direction", vec(l.direction, 3)},
        {"color", vec(l.color, 3)},
        {"cone", vec(cone, 2)},
        {"falloff", l.falloff},
        {"range", shortestDouble(l.range)},
        {"inner_range", shortestDouble(l.innerRange)},
        {"shadows", l.castShadows != 0}};
}

Json sceneToJson(const Scene& s) {
    const TLCamera& c = s.camera;
    const TLRenderSettings& r = s.settings;
    const float lon[2] = {c.lonMin, c.lonMax}, lat[2] = {c.latMin, c.latMax};
    Json lights = Json::array();
    for (const TLLight& l : s.lights) lights.push_back(lightToJson(l));
    auto pole = [](int32_t mode, float angle, float exponent) {
        return Json{{"mode", kPoleModes[poleModeIndex(mode)]},
                    {"angle", shortestDouble(angle)},
                    {"exponent", shortestDouble(exponent)}};
    };
    return Json{
        {"input", {{"file", s.inputFile}, {"format", s.inputFormat}, {"types", s.inputTypes}}},
        {"color",
         {{"by", s.colorBy},
          {"map", s.colormap},
          {"log", s.colorLog},
          {"range", s.colorRangeGiven ? vec(s.colorRange, 2) : Json()}}},
        {"galaxy", {{"count", s.galaxyCount}, {"seed", s.galaxySeed}, {"velocities", s.galaxyVelocities}}},
        {"camera",
         {{"eye", vec(c.eye)},
          {"target", vec(c.target)},
          {"up", vec(c.up)},
          {"fov", shortestDouble(c.fovY)},
          {"projection", c.projection == TL_PROJECTION_PANORAMA ? "panorama" : "perspective"},
          {"aperture", shortestDouble(c.aperture)},
          {"focus", shortestDouble(c.focusDistance)},
          {"fit", s.fit},
          {"panorama",
           {{"longitude", vec(lon, 2)},
            {"latitude", vec(lat, 2)},
            {"eye_offset", shortestDouble(c.eyeOffset)},
            {"convergence", shortestDouble(c.convergence)},
            {"nodal_offset", shortestDouble(c.nodalOffset)},
            {"pole_top", pole(c.poleModeTop, c.poleAngleTop, c.poleExponentTop)},
            {"pole_bottom", pole(c.poleModeBottom, c.poleAngleBottom, c.poleExponentBottom)}}}}},
        {"settings",
         {{"width", r.width},
          {"height", r.height},
          {"intensity", shortestDouble(r.intensity)},
          {"auto_exposure", s.autoExposure},
          {"exposure", shortestDouble(r.exposure)},
          {"samples", r.samples},
          {"jitter", r.jitterCount},
          {"sigma", shortestDouble(r.jitterSigma)},
          {"shutter", shortestDouble(r.shutter)},
          {"seed", r.seed}}},
        {"lighting",
         {{"enabled", s.lit()},
          {"density", shortestDouble(r.density)},
          {"ambient", shortestDouble(r.ambient)},
          {"base_light", vec(r.baseLight, 3)},
          {"anisotropy", shortestDouble(r.anisotropy)},
          {"shadow_map", r.shadowMapSize},
          {"shadow_slices", r.shadowSlices},
          {"depth_slices", r.depthSlices}}},
        {"lights", lights},
        {"output", {{"files", s.outputs}, {"png_bits", s.pngBits}, {"transparent", s.transparent}}},
        {"sequence", {{"orbit", s.orbitFrames}, {"turntable", shortestDouble(s.turntableDegrees)}}},
        {"split", {{"chunk", s.chunk > 0 ? Json(s.chunk) : Json()}, {"devices", s.devices}}},
    };
}

}  // namespace taluna::render
