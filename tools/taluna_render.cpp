// taluna-render: renders the procedural galaxy with either library and saves it as PNG and EXR.
// With no arguments: a 1920 x 1080 picture of a 4,000,000-particle galaxy in galaxy.png and galaxy.exr.
// --lit renders it as a lit, self-shadowing medium instead (the default lights unless --light is given).
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/taluna_loader.h"

namespace {

struct Options {
    std::string backend = "auto";
    int device = 0;
    uint64_t count = 4000000;
    uint32_t seed = 1;
    int width = 1920;
    int height = 1080;
    TLV3 eye{-135.0f, 175.0f, 275.0f};
    TLV3 target{0.0f, -14.0f, 0.0f};
    TLV3 up{0.0f, 1.0f, 0.0f};
    float fov = 36.0f;
    int samples = 1;
    int jitter = 0;
    float sigma = 0.4f;
    float exposure = 1.0f;
    bool exposureGiven = false;
    float intensity = 0.07f;
    float shutter = 0.0f;
    float aperture = 0.0f;
    float focus = 0.0f;
    int projection = 0;  // 1: equirectangular panorama
    std::string png = "galaxy.png";
    int pngBits = 8;
    std::string exr = "galaxy.exr";
    bool transparent = false;
    // Lighting path.
    bool lit = false;
    float density = 0.7f;
    float ambient = 0.02f;
    TLV3 baseLight{0.03f, 0.03f, 0.05f};
    float anisotropy = 0.35f;
    int shadowMap = 512;
    int shadowSlices = 64;
    int depthSlices = 32;
    bool lightsGiven = false;
    std::vector<TLLight> lights;
};

// The default lights of a lit picture: a warm light hovering above the bulge that lights the disc
// from the centre out, and a faint cool light from above that gives the arms their relief.
std::vector<TLLight> defaultLights() {
    TLLight core;
    std::memset(&core, 0, sizeof core);
    core.kind = 0;
    core.position[1] = 35.0f;
    core.color[0] = 6.0f, core.color[1] = 4.6f, core.color[2] = 3.1f;
    core.falloff = 4;
    core.range = 55.0f;
    core.castShadows = 1;
    TLLight sky;
    std::memset(&sky, 0, sizeof sky);
    sky.kind = 2;
    sky.direction[0] = 0.3f, sky.direction[1] = -1.0f, sky.direction[2] = -0.2f;
    sky.color[0] = 0.3f, sky.color[1] = 0.35f, sky.color[2] = 0.55f;
    sky.castShadows = 1;
    return {core, sky};
}

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: taluna-render [options]\n"
                 "Renders the procedural galaxy; with no options a 1920x1080 picture of 4,000,000 particles\n"
                 "in galaxy.png and galaxy.exr.\n"
                 "  --backend auto|cuda|cpu   library to use (auto: the GPU library, else the CPU library)\n"
                 "  --device N                device ordinal (default 0)\n"
                 "  --count N                 particles in the galaxy (default 4000000)\n"
                 "  --seed N                  galaxy seed (default 1)\n"
                 "  --size WxH                image size (default 1920x1080)\n"
                 "  --eye X,Y,Z               camera position (default -135,175,275)\n"
                 "  --target X,Y,Z            point looked at (default 0,-14,0)\n"
                 "  --up X,Y,Z                up hint (default 0,1,0)\n"
                 "  --fov DEG                 vertical field of view (default 36)\n"
                 "  --projection perspective|panorama\n"
                 "                            panorama: the whole sphere around the eye\n"
                 "  --samples N               samples per particle copy (default 1)\n"
                 "  --jitter N                extra Gaussian copies of each particle (default 0)\n"
                 "  --sigma S                 their standard deviation, world units (default 0.4)\n"
                 "  --shutter T               motion blur along the galaxy's rotation (default 0: off)\n"
                 "  --aperture A --focus D    depth of field: lens radius and focus distance\n"
                 "  --exposure E              tone curve scale (default 1; 2 with --lit)\n"
                 "  --intensity I             brightness of one particle (default 0.07)\n"
                 "  --png PATH                PNG output (default galaxy.png; \"\" for none)\n"
                 "  --png-bits 8|16           PNG bit depth (default 8)\n"
                 "  --exr PATH                EXR output (default galaxy.exr; \"\" for none)\n"
                 "  --transparent             keep the empty sky transparent (default: opaque black)\n"
                 "Lighting path (the cloud as a lit, self-shadowing medium):\n"
                 "  --lit                     render with lights instead of the plain path\n"
                 "  --density D               optical density of the cloud (default 0.7)\n"
                 "  --ambient A               grey light every particle receives (default 0.02)\n"
                 "  --base-light R,G,B        light every particle receives before the lights\n"
                 "                            (default 0.03,0.03,0.05)\n"
                 "  --anisotropy G            forward scattering, -0.95 to 0.95 (default 0.35)\n"
                 "  --shadow-map N            shadow map size in texels (default 512)\n"
                 "  --shadow-slices S         depth slices of the shadow maps (default 64)\n"
                 "  --depth-slices S          depth slices of the camera depth map (default 32)\n"
                 "  --light SPEC              a light, up to 8 (default: a point light above the bulge and a\n"
                 "                            light from above); SPEC is a kind (point, spot, sun) followed by\n"
                 "                            ':'-separated fields: pos=X,Y,Z dir=X,Y,Z color=R,G,B\n"
                 "                            cone=OUTER,INNER (degrees) falloff=0..6 range=R inner-range=R\n"
                 "                            shadows, e.g. sun:dir=0.3,-1,0:color=1,0.9,0.8:shadows\n"
                 "  --no-lights               no lights: only the base light and ambient\n"
                 "  --help                    this text\n");
}

bool parseUnsigned(const char* text, uint64_t* out) {
    if (!text || !*text || *text == '-' || *text == '+') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno || *end) return false;
    *out = v;
    return true;
}

bool parseFloat(const char* text, float* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(text, &end);
    if (errno || *end || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool parseVec3(const char* text, TLV3* out) {
    if (!text) return false;
    std::string s = text;
    float v[3];
    size_t start = 0;
    for (int c = 0; c < 3; ++c) {
        const size_t comma = s.find(',', start);
        if ((c < 2) != (comma != std::string::npos)) return false;
        const std::string part = s.substr(start, c < 2 ? comma - start : std::string::npos);
        if (!parseFloat(part.c_str(), &v[c])) return false;
        start = comma + 1;
    }
    *out = TLV3{v[0], v[1], v[2]};
    return true;
}

bool parseSize(const char* text, int* width, int* height) {
    if (!text) return false;
    const char* x = std::strchr(text, 'x');
    if (!x) return false;
    uint64_t w = 0, h = 0;
    if (!parseUnsigned(std::string(text, x).c_str(), &w) || !parseUnsigned(x + 1, &h)) return false;
    if (w < 1 || h < 1 || w > 65535 || h > 65535) return false;
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return true;
}

bool parseSmallInt(const char* text, int* out) {
    uint64_t v = 0;
    if (!parseUnsigned(text, &v) || v > 1000000) return false;
    *out = static_cast<int>(v);
    return true;
}

// "kind:field:field...", see the usage text.
bool parseLight(const char* text, TLLight* out) {
    if (!text) return false;
    TLLight l;
    std::memset(&l, 0, sizeof l);
    l.color[0] = l.color[1] = l.color[2] = 1.0f;
    l.direction[1] = -1.0f;
    l.outerAngle = 40.0f;
    l.innerAngle = 30.0f;
    std::vector<std::string> fields;
    std::string s = text;
    for (size_t start = 0;;) {
        const size_t colon = s.find(':', start);
        fields.push_back(s.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (fields[0] == "point") l.kind = 0;
    else if (fields[0] == "spot") l.kind = 1;
    else if (fields[0] == "sun") l.kind = 2;
    else return false;
    for (size_t f = 1; f < fields.size(); ++f) {
        const std::string& field = fields[f];
        const size_t eq = field.find('=');
        const std::string key = field.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : field.substr(eq + 1);
        TLV3 v;
        uint64_t u = 0;
        if (key == "shadows" && eq == std::string::npos) {
            l.castShadows = 1;
        } else if ((key == "pos" || key == "dir" || key == "color") && parseVec3(value.c_str(), &v)) {
            float* dst = key == "pos" ? l.position : key == "dir" ? l.direction : l.color;
            dst[0] = v.x, dst[1] = v.y, dst[2] = v.z;
        } else if (key == "cone") {
            const size_t comma = value.find(',');
            if (comma == std::string::npos || !parseFloat(value.substr(0, comma).c_str(), &l.outerAngle) ||
                !parseFloat(value.substr(comma + 1).c_str(), &l.innerAngle))
                return false;
        } else if (key == "falloff" && parseUnsigned(value.c_str(), &u) && u <= 6) {
            l.falloff = static_cast<int32_t>(u);
        } else if (key == "range" && parseFloat(value.c_str(), &l.range)) {
        } else if (key == "inner-range" && parseFloat(value.c_str(), &l.innerRange)) {
        } else {
            return false;
        }
    }
    *out = l;
    return true;
}

// Returns 0 when parsed, 1 for --help, 2 on a bad option.
int parseOptions(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 1;
        }
        if (a == "--transparent") {
            opt.transparent = true;
            continue;
        }
        if (a == "--lit") {
            opt.lit = true;
            continue;
        }
        if (a == "--no-lights") {
            opt.lightsGiven = true;
            opt.lights.clear();
            continue;
        }
        uint64_t u = 0;
        bool ok = value != nullptr;
        if (!ok) {
        } else if (a == "--backend") {
            opt.backend = value;
            ok = opt.backend == "auto" || opt.backend == "cuda" || opt.backend == "cpu";
        } else if (a == "--device") {
            ok = parseUnsigned(value, &u) && u < 1024;
            opt.device = static_cast<int>(u);
        } else if (a == "--count") {
            ok = parseUnsigned(value, &opt.count);
        } else if (a == "--seed") {
            ok = parseUnsigned(value, &u) && u <= 0xFFFFFFFFull;
            opt.seed = static_cast<uint32_t>(u);
        } else if (a == "--size") {
            ok = parseSize(value, &opt.width, &opt.height);
        } else if (a == "--eye") {
            ok = parseVec3(value, &opt.eye);
        } else if (a == "--target") {
            ok = parseVec3(value, &opt.target);
        } else if (a == "--up") {
            ok = parseVec3(value, &opt.up);
        } else if (a == "--fov") {
            ok = parseFloat(value, &opt.fov) && opt.fov > 0.0f && opt.fov < 180.0f;
        } else if (a == "--projection") {
            ok = std::strcmp(value, "perspective") == 0 || std::strcmp(value, "panorama") == 0;
            opt.projection = std::strcmp(value, "panorama") == 0 ? 1 : 0;
        } else if (a == "--samples") {
            ok = parseSmallInt(value, &opt.samples) && opt.samples >= 1;
        } else if (a == "--jitter") {
            ok = parseSmallInt(value, &opt.jitter);
        } else if (a == "--sigma") {
            ok = parseFloat(value, &opt.sigma) && opt.sigma >= 0.0f;
        } else if (a == "--shutter") {
            ok = parseFloat(value, &opt.shutter) && opt.shutter >= 0.0f;
        } else if (a == "--aperture") {
            ok = parseFloat(value, &opt.aperture) && opt.aperture >= 0.0f;
        } else if (a == "--focus") {
            ok = parseFloat(value, &opt.focus) && opt.focus >= 0.0f;
        } else if (a == "--exposure") {
            ok = parseFloat(value, &opt.exposure);
            opt.exposureGiven = true;
        } else if (a == "--intensity") {
            ok = parseFloat(value, &opt.intensity);
        } else if (a == "--png") {
            opt.png = value;
        } else if (a == "--png-bits") {
            ok = std::strcmp(value, "8") == 0 || std::strcmp(value, "16") == 0;
            opt.pngBits = std::atoi(value);
        } else if (a == "--exr") {
            opt.exr = value;
        } else if (a == "--density") {
            ok = parseFloat(value, &opt.density);
        } else if (a == "--ambient") {
            ok = parseFloat(value, &opt.ambient);
        } else if (a == "--base-light") {
            ok = parseVec3(value, &opt.baseLight);
        } else if (a == "--anisotropy") {
            ok = parseFloat(value, &opt.anisotropy) && opt.anisotropy >= -0.95f && opt.anisotropy <= 0.95f;
        } else if (a == "--shadow-map") {
            ok = parseSmallInt(value, &opt.shadowMap) && opt.shadowMap >= 9 && opt.shadowMap <= 8192;
        } else if (a == "--shadow-slices") {
            ok = parseSmallInt(value, &opt.shadowSlices) && opt.shadowSlices >= 2 && opt.shadowSlices <= 1024;
        } else if (a == "--depth-slices") {
            ok = parseSmallInt(value, &opt.depthSlices) && opt.depthSlices >= 2 && opt.depthSlices <= 1024;
        } else if (a == "--light") {
            TLLight l;
            ok = opt.lights.size() < 8 && parseLight(value, &l);
            if (ok) opt.lights.push_back(l);
            opt.lightsGiven = true;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "taluna-render: bad option or value: %s%s%s\n", a.c_str(), value ? " " : "",
                         value ? value : "");
            usage(stderr);
            return 2;
        }
        ++i;
    }
    return 0;
}

// Opens the requested library and a context on it; with "auto" a GPU library that does not load or
// finds no usable device is given up for the CPU library, and the fallback is announced.
bool openBackend(const Options& opt, taluna::Api& api, TLContext** ctx) {
    std::string error;
    auto tryOne = [&](const char* lib) -> bool {
        if (!taluna::loadByName(api, lib, &error)) return false;
        *ctx = api.create(opt.device);
        if (!*ctx) {
            error = "out of host memory";
            return false;
        }
        if (*api.lastError(*ctx)) {
            error = api.lastError(*ctx);
            api.destroy(*ctx);
            *ctx = nullptr;
            return false;
        }
        return true;
    };
    if (opt.backend == "cuda" || opt.backend == "auto") {
        if (tryOne("libtaluna.so")) {
            std::printf("backend: CUDA\n");
            return true;
        }
        if (opt.backend == "cuda") {
            std::fprintf(stderr, "taluna-render: CUDA backend unavailable: %s\n", error.c_str());
            return false;
        }
        std::printf("CUDA backend unavailable (%s); using the CPU backend\n", error.c_str());
    }
    if (tryOne("libtaluna_cpu.so")) {
        std::printf("backend: CPU\n");
        return true;
    }
    std::fprintf(stderr, "taluna-render: CPU backend unavailable: %s\n", error.c_str());
    return false;
}

double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (int rc = parseOptions(argc, argv, opt)) return rc == 1 ? 0 : 2;

    taluna::Api api;
    TLContext* ctx = nullptr;
    if (!openBackend(opt, api, &ctx)) return 1;
    char info[512];
    if (api.deviceInfo(ctx, info, sizeof info) == 0) std::printf("device: %s\nlibrary: %s\n", info, api.path.c_str());

    const bool motion = opt.shutter > 0.0f;
    auto t0 = std::chrono::steady_clock::now();
    if (api.generateTestCloud(ctx, opt.count, opt.seed, motion ? 1 : 0) != 0) {
        std::fprintf(stderr, "taluna-render: galaxy: %s\n", api.lastError(ctx));
        api.destroy(ctx);
        return 1;
    }
    std::printf("generated %llu particles in %.1f ms\n", static_cast<unsigned long long>(api.getCount(ctx)),
                msSince(t0));

    TLCamera camera;
    std::memset(&camera, 0, sizeof camera);
    camera.eye = opt.eye;
    camera.target = opt.target;
    camera.up = opt.up;
    camera.fovY = opt.fov;
    camera.focusDistance = opt.focus;
    camera.aperture = opt.aperture;
    camera.projection = opt.projection;
    camera.lonMin = -180.0f;
    camera.lonMax = 180.0f;
    camera.latMin = -90.0f;
    camera.latMax = 90.0f;

    TLRenderSettings settings;
    std::memset(&settings, 0, sizeof settings);
    settings.width = opt.width;
    settings.height = opt.height;
    settings.intensity = opt.intensity;
    settings.exposure = opt.lit && !opt.exposureGiven ? 2.0f : opt.exposure;
    settings.jitterCount = opt.jitter;
    settings.jitterSigma = opt.sigma;
    settings.samples = opt.samples;
    settings.shutter = opt.shutter;
    settings.seed = opt.seed;
    std::vector<TLLight> lights;
    if (opt.lit) lights = opt.lightsGiven ? opt.lights : defaultLights();
    if (opt.lit) {
        settings.lightingMode = 1;
        settings.density = opt.density;
        settings.ambient = opt.ambient;
        settings.baseLight[0] = opt.baseLight.x;
        settings.baseLight[1] = opt.baseLight.y;
        settings.baseLight[2] = opt.baseLight.z;
        settings.anisotropy = opt.anisotropy;
        settings.shadowMapSize = opt.shadowMap;
        settings.shadowSlices = opt.shadowSlices;
        settings.depthSlices = opt.depthSlices;
    }

    std::vector<TLFloat4> image(static_cast<size_t>(opt.width) * static_cast<size_t>(opt.height));
    float gpuMs = 0.0f;
    t0 = std::chrono::steady_clock::now();
    if (api.render(ctx, &camera, &settings, lights.data(), static_cast<int>(lights.size()), nullptr, image.data(),
                   &gpuMs) != 0) {
        std::fprintf(stderr, "taluna-render: render: %s\n", api.lastError(ctx));
        api.destroy(ctx);
        return 1;
    }
    const double wallMs = msSince(t0);
    const double samples = static_cast<double>(opt.count) * (opt.jitter + 1.0) * opt.samples;
    std::printf("rendered %dx%d, %.0f samples: %.1f ms on the device, %.1f ms in the call (%.1f M samples/s)\n",
                opt.width, opt.height, samples, gpuMs, wallMs, wallMs > 0.0 ? samples / wallMs / 1000.0 : 0.0);
    api.destroy(ctx);

    // The image is premultiplied, so putting it over black only makes every pixel opaque.
    if (!opt.transparent) {
        for (TLFloat4& p : image) p.w = 1.0f;
    }

    // The writers take no context; a failure is reported and the other output is still attempted.
    int status = 0;
    const float* rgba = &image[0].x;
    if (!opt.png.empty()) {
        if (api.savePNG(opt.png.c_str(), opt.width, opt.height, rgba, opt.pngBits == 16 ? 1 : 0) == 0) {
            std::printf("wrote %s (%d-bit PNG)\n", opt.png.c_str(), opt.pngBits);
        } else {
            std::fprintf(stderr, "taluna-render: could not write %s\n", opt.png.c_str());
            status = 1;
        }
    }
    if (!opt.exr.empty()) {
        if (api.saveEXR(opt.exr.c_str(), opt.width, opt.height, rgba) == 0) {
            std::printf("wrote %s (half-float EXR)\n", opt.exr.c_str());
        } else {
            std::fprintf(stderr, "taluna-render: could not write %s\n", opt.exr.c_str());
            status = 1;
        }
    }
    return status;
}
