// What taluna-render draws and where it writes it: the scene, its JSON form and its defaults.
//
// A scene is read from a JSON object whose every key is optional; a missing key (or null) keeps the
// default, which is also the command line's default. Unknown keys and values of the wrong type or out of
// range are refused with a SceneError naming the key ("camera.fov"). sceneToJson writes every key, so
// its output read back gives the same scene.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "taluna.h"

namespace taluna::render {

using Json = nlohmann::ordered_json;

struct SceneError {
    std::string key;  // dotted path of the offending key, e.g. "lights[1].color"
    std::string message;
};

struct Scene {
    // Input: a particle file, or the procedural galaxy when inputFile is empty.
    std::string inputFile;
    std::string inputFormat = "auto";
    std::vector<int> inputTypes;  // particle types of an HDF5 snapshot; empty: all
    // Colour each particle by a quantity of the file through a colormap (empty: the file's colours).
    std::string colorBy;
    std::string colormap = "viridis";
    bool colorLog = false;     // map log10 of the quantity
    bool colorRangeGiven = false;  // false: the 1st to 99th percentile of the quantity
    float colorRange[2] = {0.0f, 1.0f};
    uint64_t galaxyCount = 4000000;
    uint32_t galaxySeed = 1;
    bool galaxyVelocities = false;  // also generated whenever the shutter is open

    TLCamera camera = tlDefaultCamera();
    // Move the camera along its viewing direction until the whole cloud is in view, looking at the
    // centre of its bounds (particle files and the perspective projection only).
    bool fit = false;

    TLRenderSettings settings = tlDefaultSettings();  // the lit path lights the cloud with `lights`
    // Render once and pick the intensity that puts the brightest covered pixels at a set brightness (default:
    // on for a particle file whose scene gives no intensity).
    bool autoExposure = false;
    std::vector<TLLight> lights;                      // sceneFromJson: defaultLights() unless given

    std::vector<std::string> outputs;  // .png or .exr paths; frame patterns for sequences
    bool outputsGiven = false;         // false: the defaults below are in `outputs`
    int pngBits = 8;
    bool transparent = false;  // keep the empty sky transparent instead of opaque black

    int orbitFrames = 0;  // 0: a still
    float turntableDegrees = 360.0f;

    // How the plain path splits the cloud: particles per chunk (0: only when the cloud does not fit the
    // device, in chunks sized from its free memory), and the devices that share it, one context each
    // (empty: the command line's --device; an ordinal may repeat).
    uint64_t chunk = 0;
    std::vector<int> devices;
    // This process's share of the particle file when mpirun starts several (share shareIndex of
    // shareCount); set by the launch, not a scene key.
    uint32_t shareIndex = 0;
    uint32_t shareCount = 1;

    bool lit() const { return settings.lightingMode == TL_LIGHTING_LIT; }
};

// The lights of a lit picture when none are given: a warm light above the bulge and a faint cool light
// from above.
std::vector<TLLight> defaultLights();

// Builds a scene from a JSON object (an empty object gives the defaults: the camera and settings of
// tlDefaultCamera and tlDefaultSettings, exposure 2 when lit, and defaultLights). Each light of "lights"
// starts from tlDefaultLight. Without "output.files" the outputs are galaxy.png and galaxy.exr for a
// still, galaxy_%04d.png for a sequence. Throws SceneError.
Scene sceneFromJson(const Json& json);

// The scene as JSON with every key present.
Json sceneToJson(const Scene& scene);

// The JSON form of one light, as in the "lights" array.
Json lightToJson(const TLLight& light);

// JSON text indented by two spaces, with arrays of numbers or strings kept on one line.
std::string formatJson(const Json& json);

// A float as the shortest decimal that reads back as the same float, so that 0.07f is written 0.07.
double shortestDouble(float value);

}  // namespace taluna::render
