// The renderer tool's scene files on arbitrary text (the input is the file): parsed as JSON, built
// into a scene (sceneFromJson, whose SceneError the tool reports), and read through the tool's own
// path (resolveScene), which must agree. Any other exception or a crash is a finding. An accepted
// scene survives the round trip sceneToJson, formatJson, sceneFromJson.
#include <string>

#include "fuzz_support.h"
#include "render/command_line.h"
#include "render/scene.h"

using taluna::render::Json;
using taluna::render::Scene;
using taluna::render::SceneError;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const taluna::fuzz::MemoryFile file(data, size);

    taluna::render::CommandLine cl;
    cl.scenePath = file.path();
    Scene viaTool;
    std::string error;
    const bool resolved = taluna::render::resolveScene(cl, viaTool, &error);
    FUZZ_CHECK(resolved || error.rfind(file.path() + ": ", 0) == 0, error);

    Json json;
    try {
        json = Json::parse(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const Json::exception&) {  // a syntax error, or a number beyond a double
        FUZZ_CHECK(!resolved, "the tool read a file the parser refuses");
        return 0;
    }
    Scene scene;
    try {
        scene = taluna::render::sceneFromJson(json);
    } catch (const SceneError& e) {
        FUZZ_CHECK(!e.message.empty() && !resolved, "a refusal says why, and the tool refuses too");
        return 0;
    }
    FUZZ_CHECK(resolved, "the tool refused a scene sceneFromJson accepts: " + error);

    const Json written = taluna::render::sceneToJson(scene);
    FUZZ_CHECK(taluna::render::sceneToJson(viaTool) == written, "the tool's scene is the file's scene");
    try {
        const Json reread = taluna::render::sceneToJson(
            taluna::render::sceneFromJson(Json::parse(taluna::render::formatJson(written))));
        FUZZ_CHECK(reread == written, "the same scene read back:\n" + written.dump() + "\n" + reread.dump());
    } catch (const SceneError& e) {
        FUZZ_CHECK(false, "a written scene is refused: " + e.key + ": " + e.message);
    }
    return 0;
}
