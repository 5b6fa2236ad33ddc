// taluna-render's command line: the options, the usage text, and the scene they describe together with
// an optional scene file.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "render/outputs.h"
#include "render/scene.h"

namespace taluna::render {

struct CommandLine {
    // Options that describe the scene, in the scene's JSON form; they override the scene file.
    Json overlay = Json::object();
    // Which option set each overlay key ("camera.fov" -> "--fov 200"), to name it in messages.
    std::map<std::string, std::string> origins;
    // --png / --exr: replace the outputs of that kind ("" removes them).
    std::vector<std::pair<std::string, std::string>> outputAliases;

    std::string scenePath;
    bool printScene = false;
    bool resume = false;
    int benchFrames = 0;
    std::string backend = "auto";
    int device = 0;
    bool deviceGiven = false;  // --device was given (it does not combine with --devices)
    int jobs = 0;  // threads that encode and write a sequence's frames; 0: one per core
    ExrCompression exrCompression = ExrCompression::None;
    bool quiet = false;       // no progress and no notices: only results and errors
    bool lightsGiven = false;  // a --light was given (it implies --lit)
    int servePort = -1;        // --serve [PORT]: the live viewer on PORT (0: any free port); -1: no viewer
    std::string bind = "127.0.0.1";
};

enum class Parsed { Run, Help, Version, UsageError };

// Parses argv. On a usage error, *error names the option.
Parsed parseCommandLine(int argc, char** argv, CommandLine& out, std::string* error);

// The scene file (when given) with the options applied over it. On failure returns false with a message
// naming the file or option and the key; the caller treats it as a usage error. *notes gets what the
// options implied (e.g. --light turning lighting on), for the caller to show.
bool resolveScene(const CommandLine& cl, Scene& scene, std::string* error, std::vector<std::string>* notes = nullptr);

void printUsage(std::FILE* out);

}  // namespace taluna::render
