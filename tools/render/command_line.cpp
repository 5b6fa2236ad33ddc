#include "render/command_line.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "render/outputs.h"

namespace taluna::render {

void printUsage(std::FILE* out) {
    std::fputs(
        "usage: taluna-render [options]\n"
        "\n"
        "Renders a point cloud - the procedural galaxy or a particle file - to PNG and EXR images: one\n"
        "picture, a sequence of frames around the cloud, or a timing run. With no options it draws a\n"
        "4,000,000-particle galaxy at 1920x1080 into galaxy.png and galaxy.exr.\n"
        "\n"
        "Examples:\n"
        "  taluna-render                                  the galaxy: galaxy.png and galaxy.exr\n"
        "  taluna-render --count 1000000 --size 1280x720 -o small.png\n"
        "  taluna-render --input scan.ply -o scan.png     a PLY file; the view is fitted to the cloud\n"
        "  taluna-render --input points.csv --intensity 1 --eye 0,2,10 --target 0,0,0 -o points.png\n"
        "  taluna-render --orbit 120 -o frames/galaxy_%04d.png -o frames/galaxy_%04d.exr --exr-compression zip\n"
        "                                                 120 frames once around the galaxy, written on\n"
        "                                                 every core while the next frames render\n"
        "  taluna-render --orbit 120 -o frames/galaxy_%04d.png --resume\n"
        "                                                 finish that sequence after an interruption\n"
        "  taluna-render --print-scene > scene.json       all settings as JSON: edit them, then\n"
        "  taluna-render --scene scene.json --size 640x360 -o preview.png\n"
        "  taluna-render --lit -o lit.png                 the galaxy as a lit, self-shadowing medium\n"
        "  taluna-render --lit --light sun:dir=0.3,-1,0:color=1,0.9,0.8:shadows -o sun.png\n"
        "  taluna-render --backend cpu --bench 5          time five frames on the CPU library\n"
        "\n"
        "Options that take a value accept it as the next argument or after '=': --size 640x360, --size=640x360.\n"
        "\n"
        "Input (default: the galaxy):\n"
        "  --input FILE              particle file: PLY (ASCII or binary), CSV or whitespace-separated text\n"
        "                            with a header line naming the columns (x,y,z; r,g,b[,a]; vx,vy,vz), or\n"
        "                            raw little-endian float32 x,y,z triples\n"
        "  --format auto|ply|csv|raw|hdf5\n"
        "                            file format (default auto: by extension .ply .csv .txt .xyz .raw .bin\n"
        "                            .f32 .hdf5 .h5, or the PLY or HDF5 signature)\n"
        "  --types 0,4               HDF5 snapshot: the particle types to read, 0 to 5 (default: all present)\n"
        "  --count N                 particles in the galaxy (default 4000000)\n"
        "  --seed N                  seed of the galaxy and of the sample jitter (default 1)\n"
        "  --velocities              give the galaxy velocities (implied by --shutter)\n"
        "\n"
        "Camera:\n"
        "  --eye X,Y,Z               camera position (default -135,175,275)\n"
        "  --target X,Y,Z            point looked at (default 0,-14,0)\n"
        "  --up X,Y,Z                up direction; orbits turn about it (default 0,1,0)\n"
        "  --fov DEG                 vertical field of view (default 36)\n"
        "  --fit, --no-fit           move the camera along its viewing direction until the whole cloud is in\n"
        "                            view, looking at its centre (particle files and the perspective\n"
        "                            projection only; default: on for a file unless --eye or --target is given)\n"
        "  --projection perspective|panorama\n"
        "                            panorama: equirectangular, the whole sphere around the eye\n"
        "  --lon MIN,MAX --lat MIN,MAX\n"
        "                            panorama: the longitudes and latitudes shown (default -180,180 -90,90)\n"
        "  --aperture A --focus D    depth of field: lens radius and distance in focus (default 0: off)\n"
        "\n"
        "Image:\n"
        "  --size WxH                image size (default 1920x1080)\n"
        "  --intensity I             brightness of one particle (default 0.07 for the galaxy; a particle file\n"
        "                            gets --auto-exposure unless an intensity is given)\n"
        "  --auto-exposure           render once, then pick the intensity that puts the 99th percentile of\n"
        "                            the lit pixels at 80% brightness, and print it for reuse\n"
        "  --exposure E              tone curve scale (default 1; 2 with --lit)\n"
        "  --samples N               samples per particle copy (default 1)\n"
        "  --jitter N                extra Gaussian copies of each particle (default 0)\n"
        "  --sigma S                 their standard deviation, world units (default 0.4)\n"
        "  --shutter T               motion blur along the velocities (default 0: off)\n"
        "  --transparent             keep the empty sky transparent (default: opaque black)\n"
        "\n"
        "Colour by a quantity (replaces the file's colours):\n"
        "  --color-by NAME           a PLY property, a text column, an HDF5 dataset, or speed (|v|)\n"
        "  --cmap MAP                viridis (default), magma, inferno, plasma, cividis or gray\n"
        "  --log                     map log10 of the quantity; values at or below 0 take the low end\n"
        "  --range LO,HI             values mapped to the ends of the colormap (default: the 1st and 99th\n"
        "                            percentile, printed; the file is then read twice)\n"
        "\n"
        "Lighting (the cloud as a lit, self-shadowing medium):\n"
        "  --lit, --plain            lit or plain rendering (default plain)\n"
        "  --density D               optical density of the cloud (default 0.7)\n"
        "  --ambient A               grey light every particle receives (default 0.02)\n"
        "  --base-light R,G,B        light every particle receives before the lights (default 0.03,0.03,0.05)\n"
        "  --anisotropy G            forward scattering, -0.95 to 0.95 (default 0.35)\n"
        "  --shadow-map N            shadow map size in texels, 9 to 8192 (default 512)\n"
        "  --shadow-slices S         depth slices of the shadow maps (default 64)\n"
        "  --depth-slices S          depth slices of the camera depth map (default 32)\n"
        "  --light DESC              a light, up to 8 (default: a point light above the bulge and a light\n"
        "                            from above); DESC is a kind (point, spot, sun) followed by ':'-separated\n"
        "                            fields: pos=X,Y,Z dir=X,Y,Z color=R,G,B cone=OUTER,INNER (degrees)\n"
        "                            falloff=0..6 range=R inner-range=R shadows. Implies --lit\n"
        "  --no-lights               no lights: only the base light and ambient\n"
        "\n"
        "Output:\n"
        "  -o, --output PATH         write the image to PATH, by extension: .png (8-bit) or .exr (half float);\n"
        "                            repeat for several files; missing folders are made. Default\n"
        "                            galaxy.png and galaxy.exr, or galaxy_%04d.png for a sequence\n"
        "  --png PATH, --exr PATH    replace the PNG or EXR output (\"\" for none)\n"
        "  --16bit                   16-bit PNG (also --png-bits 8|16)\n"
        "  --exr-compression none|zip|piz\n"
        "                            EXR compression (default none: the library's writer); zip and piz\n"
        "                            go through OpenEXR, about 7 times smaller for the default galaxy\n"
        "\n"
        "Sequences:\n"
        "  --orbit FRAMES            render FRAMES frames, numbered from 0, the camera turning about the up\n"
        "                            axis through the target; every output name needs a frame number\n"
        "                            conversion (%d, or %04d for 0000, 0001, ...)\n"
        "  --turntable DEGREES       total turn (default 360): frame i is turned by DEGREES * i / FRAMES\n"
        "  --resume                  skip frames whose files all exist, e.g. after an interruption\n"
        "  --jobs N                  threads that encode and write frames while the next ones render; at\n"
        "                            most N frames are held in memory (default: one per core)\n"
        "\n"
        "Scene files:\n"
        "  --scene FILE.json         read the settings from a JSON file; options given here override it\n"
        "  --print-scene             print the effective settings as JSON and exit without rendering.\n"
        "                            The keys follow the options (--shadow-map: lighting.shadow_map); every\n"
        "                            key is optional and null means the default\n"
        "\n"
        "Running:\n"
        "  --backend auto|cuda|cpu   library (default auto: the GPU library, else the CPU library)\n"
        "  --device N                device ordinal (default 0)\n"
        "  --devices 0,1,...         split the cloud over these devices, one host thread each, and add their\n"
        "                            frames (plain path; an ordinal may repeat: two contexts on one device)\n"
        "  --chunk N                 render the cloud in chunks of N particles, one after the other (plain\n"
        "                            path). Without it, a cloud that does not fit the device is streamed in\n"
        "                            chunks sized from the device's free memory; a still reads the file once,\n"
        "                            an orbit once per batch of frames that fits 2 GB of host memory\n"
        "  --bench N                 render N frames after a warm-up frame and print the samples per\n"
        "                            second; writes files only when outputs are given\n"
        "  --serve [PORT]            instead of writing images, serve a live viewer of the scene in the browser\n"
        "                            at the URL printed (default port 8765; 0: any free port); its save button\n"
        "                            writes the outputs. Ctrl-C stops it\n"
        "  --bind ADDR               the address the viewer listens on (default 127.0.0.1: this machine only)\n"
        "  -q, --quiet               print only results and errors: no progress, no notices\n"
        "  --version                 the tool's version and the library API version it was built for\n"
        "  -h, --help                this text\n"
        "\n"
        "Results go to stdout; progress, notices, warnings and errors to stderr.\n"
        "Exit status: 0 success, 1 failure while reading, rendering or writing, 2 bad options or scene file.\n",
        out);
}

namespace {

constexpr size_t kMaxLights = 8;  // the scene's limit, checked here to name the option that passes it

bool parseFloat(const char* text, float* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(text, &end);
    if (errno || *end || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool parseInteger(const char* text, int64_t* out) {
    if (!text || !*text || *text == '+') return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno || *end) return false;
    *out = v;
    return true;
}

bool parseFloats(const char* text, float* out, int n) {
    if (!text) return false;
    const std::string s = text;
    size_t start = 0;
    for (int c = 0; c < n; ++c) {
        const size_t comma = s.find(',', start);
        if ((c < n - 1) != (comma != std::string::npos)) return false;
        if (!parseFloat(s.substr(start, c < n - 1 ? comma - start : std::string::npos).c_str(), &out[c])) return false;
        start = comma + 1;
    }
    return true;
}

Json floats(const float* v, int n) {
    Json a = Json::array();
    for (int i = 0; i < n; ++i) a.push_back(shortestDouble(v[i]));
    return a;
}

// "kind:field:field...", see the usage text. On a mistake *why names the kind or field.
bool parseLight(const char* text, TLLight* out, std::string* why) {
    TLLight l = tlDefaultLight();
    std::vector<std::string> fields;
    const std::string s = text;
    for (size_t start = 0;;) {
        const size_t colon = s.find(':', start);
        fields.push_back(s.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (fields[0] == "point") l.kind = TL_LIGHT_POINT;
    else if (fields[0] == "spot") l.kind = TL_LIGHT_SPOT;
    else if (fields[0] == "sun") l.kind = TL_LIGHT_DIRECTIONAL;
    else return *why = "unknown kind '" + fields[0] + "' (point, spot or sun)", false;
    for (size_t f = 1; f < fields.size(); ++f) {
        const std::string& field = fields[f];
        const size_t eq = field.find('=');
        const std::string key = field.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : field.substr(eq + 1);
        const char* needs = nullptr;  // what the field's value should have been
        int64_t i = 0;
        if (key == "shadows") {
            l.castShadows = 1;
            if (eq != std::string::npos) needs = "no value";
        } else if (key == "pos" || key == "dir" || key == "color") {
            if (!parseFloats(value.c_str(), key == "pos" ? l.position : key == "dir" ? l.direction : l.color, 3))
                needs = key == "color" ? "R,G,B" : "X,Y,Z";
        } else if (key == "cone") {
            float cone[2];
            if (parseFloats(value.c_str(), cone, 2)) l.outerAngle = cone[0], l.innerAngle = cone[1];
            else needs = "OUTER,INNER in degrees";
        } else if (key == "falloff") {
            if (parseInteger(value.c_str(), &i) && i >= TL_FALLOFF_NONE && i <= TL_FALLOFF_CUTOFF)
                l.falloff = static_cast<int32_t>(i);
            else needs = "an integer from 0 to 6";
        } else if (key == "range" || key == "inner-range") {
            if (!parseFloat(value.c_str(), key == "range" ? &l.range : &l.innerRange)) needs = "a number";
        } else {
            return *why = "unknown field '" + key + "'", false;
        }
        if (needs) return *why = "field '" + key + "' takes " + needs, false;
    }
    *out = l;
    return true;
}

std::string dotted(const std::string& pointer) {
    std::string key = pointer.substr(1);
    for (char& c : key) c = c == '/' ? '.' : c;
    return key;
}

// The option that set `key` or the object or array holding it, if any.
const std::string* originOf(const CommandLine& cl, const std::string& key) {
    const std::string* best = nullptr;
    size_t bestLength = 0;
    for (const auto& [k, option] : cl.origins) {
        const bool covers = key.compare(0, k.size(), k) == 0 &&
                            (key.size() == k.size() || key[k.size()] == '.' || key[k.size()] == '[');
        if (covers && k.size() >= bestLength) best = &option, bestLength = k.size();
    }
    return best;
}

std::string describe(const SceneError& e) {
    return (e.key.empty() ? std::string("the top level") : e.key) + ": " + e.message;
}

// Each option takes no value (its handler gets null) or one; a handler returns false for a bad value.
using Handler = std::function<bool(const char* value)>;
struct Option {
    std::vector<const char*> names;
    bool takesValue;
    Handler handle;
    bool optionalNumber = false;  // takes the next argument as its value only when it is a number
};

// Makes the handlers of the options that describe the scene: each writes its value into the overlay at a
// JSON pointer and records the option as the origin of that key.
class OverlayWriter {
public:
    explicit OverlayWriter(CommandLine& cl) : cl(cl) {}

    CommandLine& cl;
    std::string shown;  // the option being handled, as given ("--fov 200")
    std::string why;    // a handler's reason for refusing its value, when more than "bad value"
    bool outputsSeen = false, lightsSeen = false;

    void set(const std::string& pointer, Json value) {
        cl.overlay[Json::json_pointer(pointer)] = std::move(value);
        cl.origins[dotted(pointer)] = shown;
    }
    Handler flag(const std::string& pointer, bool v) {
        return [this, pointer, v](const char*) {
            set(pointer, v);
            return true;
        };
    }
    Handler number(const std::string& pointer) {
        return [this, pointer](const char* text) {
            float f;
            if (!parseFloat(text, &f)) return false;
            set(pointer, shortestDouble(f));
            return true;
        };
    }
    Handler integer(const std::string& pointer) {
        return [this, pointer](const char* text) {
            int64_t i;
            if (!parseInteger(text, &i)) return false;
            set(pointer, i);
            return true;
        };
    }
    Handler vector(const std::string& pointer, int n) {
        return [this, pointer, n](const char* text) {
            float v[3];
            if (!parseFloats(text, v, n)) return false;
            set(pointer, floats(v, n));
            return true;
        };
    }
    // A comma-separated list of integers; the scene checks their range.
    Handler integers(const std::string& pointer) {
        return [this, pointer](const char* value) {
            Json list = Json::array();
            std::stringstream items(value);
            for (std::string item; std::getline(items, item, ',');) {
                int64_t i = 0;
                if (!parseInteger(item.c_str(), &i)) return false;
                list.push_back(i);
            }
            set(pointer, list);
            return !list.empty() && value[std::strlen(value) - 1] != ',';
        };
    }
    Handler text(const std::string& pointer) {
        return [this, pointer](const char* value) {
            set(pointer, value);
            return true;
        };
    }
};

std::vector<Option> inputAndCameraOptions(OverlayWriter& w) {
    return {
        {{"--input"}, true, w.text("/input/file")},
        {{"--format"}, true, w.text("/input/format")},
        {{"--types"}, true, w.integers("/input/types")},
        {{"--count"}, true, w.integer("/galaxy/count")},
        {{"--seed"}, true,
         [&w](const char* value) { return w.integer("/galaxy/seed")(value) && w.integer("/settings/seed")(value); }},
        {{"--velocities"}, false, w.flag("/galaxy/velocities", true)},
        {{"--eye"}, true, w.vector("/camera/eye", 3)},
        {{"--target"}, true, w.vector("/camera/target", 3)},
        {{"--up"}, true, w.vector("/camera/up", 3)},
        {{"--fov"}, true, w.number("/camera/fov")},
        {{"--fit"}, false, w.flag("/camera/fit", true)},
        {{"--no-fit"}, false, w.flag("/camera/fit", false)},
        {{"--projection"}, true, w.text("/camera/projection")},
        {{"--lon"}, true, w.vector("/camera/panorama/longitude", 2)},
        {{"--lat"}, true, w.vector("/camera/panorama/latitude", 2)},
        {{"--aperture"}, true, w.number("/camera/aperture")},
        {{"--focus"}, true, w.number("/camera/focus")},
    };
}

std::vector<Option> imageOptions(OverlayWriter& w) {
    return {
        {{"--size"}, true,
         [&w](const char* value) {
             const char* x = std::strchr(value, 'x');
             int64_t width = 0, height = 0;
             if (!x || !parseInteger(std::string(value, x).c_str(), &width) || !parseInteger(x + 1, &height))
                 return false;
             w.set("/settings/width", width);
             w.set("/settings/height", height);
             return true;
         }},
        {{"--intensity"}, true,  // an intensity given turns the automatic one off
         [&w](const char* value) {
             return w.number("/settings/intensity")(value) && w.flag("/settings/auto_exposure", false)(value);
         }},
        {{"--exposure"}, true, w.number("/settings/exposure")},
        {{"--samples"}, true, w.integer("/settings/samples")},
        {{"--jitter"}, true, w.integer("/settings/jitter")},
        {{"--sigma"}, true, w.number("/settings/sigma")},
        {{"--shutter"}, true, w.number("/settings/shutter")},
        {{"--transparent"}, false, w.flag("/output/transparent", true)},
    };
}

// Colouring by a quantity, and the exposure that finds itself.
std::vector<Option> colorOptions(OverlayWriter& w) {
    return {
        {{"--color-by"}, true, w.text("/color/by")},
        {{"--cmap"}, true, w.text("/color/map")},
        {{"--log"}, false, w.flag("/color/log", true)},
        {{"--range"}, true, w.vector("/color/range", 2)},
        {{"--auto-exposure"}, false, w.flag("/settings/auto_exposure", true)},
    };
}

std::vector<Option> lightingOptions(OverlayWriter& w) {
    return {
        {{"--lit"}, false, w.flag("/lighting/enabled", true)},
        {{"--plain"}, false, w.flag("/lighting/enabled", false)},
        {{"--density"}, true, w.number("/lighting/density")},
        {{"--ambient"}, true, w.number("/lighting/ambient")},
        {{"--base-light"}, true, w.vector("/lighting/base_light", 3)},
        {{"--anisotropy"}, true, w.number("/lighting/anisotropy")},
        {{"--shadow-map"}, true, w.integer("/lighting/shadow_map")},
        {{"--shadow-slices"}, true, w.integer("/lighting/shadow_slices")},
        {{"--depth-slices"}, true, w.integer("/lighting/depth_slices")},
        {{"--light"}, true,
         [&w](const char* value) {
             TLLight l;
             if (!parseLight(value, &l, &w.why)) return false;
             // The first --light replaces the scene's lights; later ones add to it.
             if (!w.lightsSeen) w.cl.overlay["lights"] = Json::array();
             w.lightsSeen = w.cl.lightsGiven = true;
             Json& lights = w.cl.overlay["lights"];
             if (lights.size() >= kMaxLights)
                 return w.why = "at most " + std::to_string(kMaxLights) + " lights", false;
             w.cl.origins["lights[" + std::to_string(lights.size()) + "]"] = w.shown;
             lights.push_back(lightToJson(l));
             return true;
         }},
        {{"--no-lights"}, false,
         [&w](const char*) {
             w.lightsSeen = true;
             w.set("/lights", Json::array());
             return true;
         }},
    };
}

std::vector<Option> outputOptions(OverlayWriter& w) {
    CommandLine& cl = w.cl;
    return {
        {{"-o", "--output"}, true,
         [&w](const char* value) {
             if (!*value) return false;
             // The first -o replaces the scene's files; later ones add to them.
             if (!w.outputsSeen) w.cl.overlay["output"]["files"] = Json::array();
             w.outputsSeen = true;
             Json& files = w.cl.overlay["output"]["files"];
             w.cl.origins["output.files[" + std::to_string(files.size()) + "]"] = w.shown;
             files.push_back(value);
             return true;
         }},
        {{"--png"}, true, [&cl](const char* value) { return cl.outputAliases.emplace_back("png", value), true; }},
        {{"--exr"}, true, [&cl](const char* value) { return cl.outputAliases.emplace_back("exr", value), true; }},
        {{"--16bit"}, false,
         [&w](const char*) {
             w.set("/output/png_bits", 16);
             return true;
         }},
        {{"--png-bits"}, true, w.integer("/output/png_bits")},
        {{"--orbit"}, true,
         [&w](const char* value) {
             int64_t frames = 0;
             if (!parseInteger(value, &frames) || frames < 1) return false;
             w.set("/sequence/orbit", frames);
             return true;
         }},
        {{"--turntable"}, true, w.number("/sequence/turntable")},
        {{"--resume"}, false, [&cl](const char*) { return cl.resume = true; }},
    };
}

// How the cloud is split over chunks and devices.
std::vector<Option> splitOptions(OverlayWriter& w) {
    return {
        {{"--chunk"}, true, w.integer("/split/chunk")},
        {{"--devices"}, true, w.integers("/split/devices")},
    };
}

// The options that say what to do rather than what to draw.
std::vector<Option> runOptions(CommandLine& cl) {
    return {
        {{"--scene"}, true,
         [&cl](const char* value) {
             cl.scenePath = value;
             return *value != '\0';
         }},
        {{"--print-scene"}, false, [&cl](const char*) { return cl.printScene = true; }},
        {{"--bench"}, true,
         [&cl](const char* value) {
             int64_t n = 0;
             if (!parseInteger(value, &n) || n < 1 || n > 1000000) return false;
             cl.benchFrames = static_cast<int>(n);
             return true;
         }},
        {{"--backend"}, true,
         [&cl](const char* value) {
             cl.backend = value;
             return cl.backend == "auto" || cl.backend == "cuda" || cl.backend == "cpu";
         }},
        {{"--device"}, true,
         [&cl](const char* value) {
             int64_t n = 0;
             if (!parseInteger(value, &n) || n < 0 || n > 1023) return false;
             cl.device = static_cast<int>(n);
             return cl.deviceGiven = true;
         }},
        {{"--jobs"}, true,
         [&cl](const char* value) {
             int64_t n = 0;
             if (!parseInteger(value, &n) || n < 1 || n > 256) return false;
             cl.jobs = static_cast<int>(n);
             return true;
         }},
        {{"--exr-compression"}, true,
         [&cl](const char* value) { return parseExrCompression(value, &cl.exrCompression); }},
        {{"--quiet", "-q"}, false, [&cl](const char*) { return cl.quiet = true; }},
        {{"--serve"}, false,
         [&cl](const char* value) {
             int64_t port = 8765;
             if (value && (!parseInteger(value, &port) || port < 0 || port > 65535)) return false;
             cl.servePort = static_cast<int>(port);
             return true;
         },
         true},
        {{"--bind"}, true,
         [&cl](const char* value) {
             cl.bind = value;
             return *value != '\0';
         }},
    };
}

const Option* findOption(const std::vector<Option>& options, const std::string& name) {
    for (const Option& o : options)
        for (const char* n : o.names)
            if (name == n) return &o;
    return nullptr;
}

}  // namespace

Parsed parseCommandLine(int argc, char** argv, CommandLine& cl, std::string* error) {
    OverlayWriter writer(cl);
    std::vector<Option> options;
    for (auto group : {inputAndCameraOptions(writer), imageOptions(writer), colorOptions(writer),
                       lightingOptions(writer), outputOptions(writer), splitOptions(writer), runOptions(cl)})
        options.insert(options.end(), group.begin(), group.end());

    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        // --name=value is the same as --name value.
        const size_t equals = name.find('=');
        const char* attached = nullptr;
        if (name.starts_with("--") && equals != std::string::npos) {
            attached = argv[i] + equals + 1;
            name.resize(equals);
        }
        if (name == "--help" || name == "-h") return Parsed::Help;
        if (name == "--version") return Parsed::Version;
        const Option* option = findOption(options, name);
        if (!option) {
            *error = "unknown option " + name;
            return Parsed::UsageError;
        }
        const char* value = attached;
        if (option->optionalNumber && !attached && i + 1 < argc &&
            std::isdigit(static_cast<unsigned char>(argv[i + 1][0])))
            value = argv[++i];
        if (!option->takesValue && attached && !option->optionalNumber) {
            *error = name + " takes no value";
            return Parsed::UsageError;
        }
        if (option->takesValue && !attached) {
            if (i + 1 >= argc) {
                *error = name + " needs a value";
                return Parsed::UsageError;
            }
            value = argv[++i];
        }
        writer.shown = attached ? argv[i] : value ? name + " " + value : name;
        writer.why.clear();
        if (!option->handle(value)) {
            *error = writer.why.empty() ? "bad value: " + writer.shown : writer.shown + ": " + writer.why;
            return Parsed::UsageError;
        }
    }
    return Parsed::Run;
}

bool resolveScene(const CommandLine& cl, Scene& scene, std::string* error, std::vector<std::string>* notes) {
    Json base = Json::object();
    if (!cl.scenePath.empty()) {
        std::ifstream in(cl.scenePath, std::ios::binary);
        if (!in) {
            *error = cl.scenePath + ": cannot open: " + std::strerror(errno);
            return false;
        }
        std::stringstream text;
        text << in.rdbuf();
        try {
            base = Json::parse(text.str());
        } catch (const Json::exception& e) {
            // what() is "[json.exception.parse_error.N] parse error at line L, column C: ...", or for a
            // number beyond a double (1e999) "[json.exception.out_of_range.406] number overflow ...".
            const std::string what = e.what();
            const size_t bracket = what.find("] ");
            *error = cl.scenePath + ": " + (bracket == std::string::npos ? what : what.substr(bracket + 2));
            return false;
        }
        // The file alone first, so that its own mistakes are reported as the file's.
        try {
            sceneFromJson(base);
        } catch (const SceneError& e) {
            *error = cl.scenePath + ": " + describe(e);
            return false;
        }
    }
    Json merged = base;
    merged.merge_patch(cl.overlay);
    // Lights given here are meant to be seen: --light turns lighting on unless --lit or --plain says otherwise.
    const Json::json_pointer enabled("/lighting/enabled");
    auto isTrue = [&](const Json& j) { return j.contains(enabled) && j.at(enabled) == true; };
    if (cl.lightsGiven && !cl.overlay.contains(enabled) && !isTrue(merged)) {
        merged[enabled] = true;
        if (notes) notes->push_back("--light implies --lit: the cloud is rendered lit");
    } else if (cl.lightsGiven && cl.overlay.contains(enabled) && !isTrue(cl.overlay) && notes) {
        notes->push_back("warning: --plain renders without the lights given by --light");
    }
    try {
        scene = sceneFromJson(merged);
    } catch (const SceneError& e) {
        const std::string* option = originOf(cl, e.key);
        const std::string& source = option ? *option : cl.scenePath;
        *error = (source.empty() ? "" : source + ": ") + describe(e);
        return false;
    }
    for (const auto& [extension, path] : cl.outputAliases) {
        const ImageKind kind = extension == "png" ? ImageKind::Png : ImageKind::Exr;
        std::erase_if(scene.outputs, [&](const std::string& p) { return imageKindOf(p) == kind; });
        if (!path.empty()) {
            if (imageKindOf(path) != kind) {
                *error = "--" + extension + " " + path + ": the file name must end in ." + extension;
                return false;
            }
            scene.outputs.push_back(path);
        }
        scene.outputsGiven = true;
    }
    return true;
}

}  // namespace taluna::render
