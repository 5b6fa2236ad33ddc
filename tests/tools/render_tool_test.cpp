// The taluna-render tool as a user runs it, on the CPU library with tiny clouds and images: exit codes,
// particle files, scene files, sequences, resuming, benchmarking. Images are checked by their bytes, never
// decoded.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class RenderTool : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "taluna_render_tool_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the tool in the scratch folder with the CPU library.
    Result run(const std::vector<std::string>& args) {
        std::string command = "cd " + quote(dir_.string()) + " && " + quote(TALUNA_RENDER_TOOL) + " --backend cpu";
        for (const std::string& a : args) command += " " + quote(a);
        command += " >" + quote((dir_ / ".out").string()) + " 2>" + quote((dir_ / ".err").string());
        Result r;
        const int w = std::system(command.c_str());
        r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
        r.out = read(".out");
        r.err = read(".err");
        fs::remove(dir_ / ".out");
        fs::remove(dir_ / ".err");
        return r;
    }

    // A tiny galaxy at a tiny size, plus `args`.
    Result runSmall(std::vector<std::string> args) {
        std::vector<std::string> all = {"--count", "20000", "--size", "64x48"};
        all.insert(all.end(), args.begin(), args.end());
        return run(all);
    }

    std::string read(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(dir_ / name, std::ios::binary) << content;
    }
    bool exists(const std::string& name) const { return fs::exists(dir_ / name); }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // A PNG file's signature and the width and height of its header chunk.
    void expectPng(const std::string& name, uint32_t width, uint32_t height) const {
        const std::string png = read(name);
        ASSERT_GT(png.size(), 33u) << name;
        EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << name;
        auto be32 = [&](size_t at) {
            return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 |
                   uint32_t(uint8_t(png[at + 2])) << 8 | uint32_t(uint8_t(png[at + 3]));
        };
        EXPECT_EQ(png.substr(12, 4), "IHDR") << name;
        EXPECT_EQ(be32(16), width) << name;
        EXPECT_EQ(be32(20), height) << name;
    }
    void expectExr(const std::string& name) const {
        const std::string exr = read(name);
        ASSERT_GT(exr.size(), 4u) << name;
        EXPECT_EQ(exr.substr(0, 4), std::string("\x76\x2f\x31\x01", 4)) << name;
    }

    fs::path dir_;
};

TEST_F(RenderTool, UsageErrorsExitTwoBeforeWritingAnything) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"--count"}, "--count needs a value"},
        {{"--fov", "wide"}, "bad value: --fov wide"},
        {{"--fov", "200"}, "--fov 200: camera.fov"},
        {{"--size", "50000x50000"}, "more pixels than fit"},
        {{"--backend", "opencl"}, "bad value: --backend opencl"},
        {{"--light", "laser:pos=1,2,3"}, "bad value: --light"},
        {{"--light", "point:falloff=9"}, "bad value: --light"},
        {{"-o", "picture.jpg"}, "unknown image type"},
        {{"--png", "picture.exr"}, "must end in .png"},
        {{"--format", "xls"}, "input.format"},
        {{"--orbit", "3", "-o", "still.png"}, "needs a frame number"},
        {{"--orbit", "3", "-o", "f_%d_%d.png"}, "more than one frame number"},
        {{"--orbit", "3", "-o", "f_%s.png"}, "bad frame number pattern"},
        {{"--orbit", "3", "-o", "f_%04d.png", "--bench", "2"}, "does not combine"},
        {{"--orbit", "0"}, "bad value: --orbit 0"},
    };
    for (const Case& c : cases) {
        const Result r = run(c.args);
        EXPECT_EQ(r.status, 2) << c.args[0];
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args[0] << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.args[0];
    }
    EXPECT_TRUE(files().empty());
}

TEST_F(RenderTool, SceneFileErrorsNameTheKeyOrPosition) {
    struct Case {
        const char* json;
        const char* message;
    };
    const Case cases[] = {
        {R"({"camera": {"fob": 30}})", "scene.json: camera.fob: unknown key"},
        {R"({"camera": {"fov": "wide"}})", "camera.fov: expected a number, got a string"},
        {R"({"camera": {"eye": [1, 2]}})", "camera.eye: expected an array of 3 numbers"},
        {R"({"settings": {"width": 1.5}})", "settings.width: expected an integer"},
        {R"({"lighting": {"enabled": 1}})", "lighting.enabled: expected true or false"},
        {R"({"lights": [{"kind": "point"}, {"kind": "laser"}]})", "lights[1].kind: expected one of point, spot, sun"},
        {R"({"output": {"files": "a.png"}})", "output.files: expected an array"},
        {R"({"sequence": {"orbit": 2}, "output": {"files": ["still.png"]}})", "needs a frame number"},
        {R"([1, 2, 3])", "the top level: expected an object"},
        {"{\"camera\": {\n  \"fov\": 30,\n}}", "scene.json: parse error at line 3, column 1"},
    };
    for (const Case& c : cases) {
        write("scene.json", c.json);
        const Result r = run({"--scene", "scene.json"});
        EXPECT_EQ(r.status, 2) << c.json;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.json << "\n" << r.err;
    }
    const Result missing = run({"--scene", "absent.json"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("absent.json: cannot open"), std::string::npos) << missing.err;
    // An option's value out of range is blamed on the option, not on the scene file it overrides.
    write("scene.json", R"({"camera": {"fov": 30}})");
    const Result option = run({"--scene", "scene.json", "--fov", "190"});
    EXPECT_EQ(option.status, 2);
    EXPECT_NE(option.err.find("--fov 190: camera.fov"), std::string::npos) << option.err;
    EXPECT_EQ(files(), std::vector<std::string>{"scene.json"});
}

TEST_F(RenderTool, HelpTeachesTheToolAndPrintSceneShowsTheDefaults) {
    const Result help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* text : {"Examples:", "--input scan.ply", "--orbit 120", "--scene scene.json", "--lit",
                             "--bench", "Exit status"})
        EXPECT_NE(help.out.find(text), std::string::npos) << text;

    const Result printed = run({"--print-scene"});
    ASSERT_EQ(printed.status, 0) << printed.err;
    const auto scene = nlohmann::json::parse(printed.out);
    // The camera and settings are python/tests' comparison with the package's constants.
    EXPECT_EQ(scene["settings"]["intensity"], 0.07);  // written as the float's shortest decimal
    EXPECT_EQ(scene["galaxy"]["count"], 4000000);
    EXPECT_EQ(scene["output"]["files"], nlohmann::json({"galaxy.png", "galaxy.exr"}));
    // The default lights: a warm point light above the bulge with a clamped 1/r falloff, a cool sun from above.
    EXPECT_EQ(scene["lights"], nlohmann::json::parse(R"([
        {"kind": "point", "position": [0, 35, 0], "direction": [0, 0, 0], "color": [6, 4.6, 3.1], "cone": [0, 0],
         "falloff": 4, "range": 55, "inner_range": 0, "shadows": true},
        {"kind": "sun", "position": [0, 0, 0], "direction": [0.3, -1, -0.2], "color": [0.3, 0.35, 0.55], "cone": [0, 0],
         "falloff": 0, "range": 0, "inner_range": 0, "shadows": true}])"));
    // The lit path's exposure default, and an orbit's default output.
    const auto lit = nlohmann::json::parse(run({"--print-scene", "--lit", "--orbit", "8"}).out);
    EXPECT_EQ(lit["settings"]["exposure"], 2.0);
    EXPECT_EQ(lit["output"]["files"], nlohmann::json({"galaxy_%04d.png"}));
    EXPECT_TRUE(files().empty());  // nothing rendered
}

// Every scene option lands on its scene key.
TEST_F(RenderTool, OptionsReachTheirSceneKeys) {
    using nlohmann::json;
    const Result r = run({"--input", "cloud.ply", "--format", "ply", "--count", "123", "--seed", "9", "--velocities",
                          "--eye", "1,2,3", "--target", "4,5,6", "--up", "0,0,1", "--fov", "50", "--no-fit",
                          "--projection", "panorama", "--lon", "-90,90", "--lat", "-45,45", "--aperture", "0.5",
                          "--focus", "12", "--size", "320x200", "--intensity", "0.25", "--exposure", "3",
                          "--samples", "4", "--jitter", "2", "--sigma", "0.1", "--shutter", "0.3", "--transparent",
                          "--lit", "--density", "0.9", "--ambient", "0.1", "--base-light", "0.1,0.2,0.3",
                          "--anisotropy", "-0.5", "--shadow-map", "64", "--shadow-slices", "8", "--depth-slices",
                          "6", "--no-lights", "--16bit", "--orbit", "12", "--turntable", "90", "-o", "x_%03d.png",
                          "--print-scene"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json scene = json::parse(r.out);
    const std::pair<const char*, json> expected[] = {
        {"/input/file", "cloud.ply"}, {"/input/format", "ply"}, {"/galaxy/count", 123}, {"/galaxy/seed", 9},
        {"/galaxy/velocities", true}, {"/camera/eye", {1.0, 2.0, 3.0}}, {"/camera/target", {4.0, 5.0, 6.0}},
        {"/camera/up", {0.0, 0.0, 1.0}}, {"/camera/fov", 50.0}, {"/camera/fit", false},
        {"/camera/projection", "panorama"}, {"/camera/panorama/longitude", {-90.0, 90.0}},
        {"/camera/panorama/latitude", {-45.0, 45.0}}, {"/camera/aperture", 0.5}, {"/camera/focus", 12.0},
        {"/settings/width", 320}, {"/settings/height", 200}, {"/settings/intensity", 0.25}, {"/settings/exposure", 3.0},
        {"/settings/samples", 4}, {"/settings/jitter", 2}, {"/settings/sigma", 0.1}, {"/settings/shutter", 0.3},
        {"/settings/seed", 9}, {"/lighting/enabled", true}, {"/lighting/density", 0.9}, {"/lighting/ambient", 0.1},
        {"/lighting/base_light", {0.1, 0.2, 0.3}}, {"/lighting/anisotropy", -0.5}, {"/lighting/shadow_map", 64},
        {"/lighting/shadow_slices", 8}, {"/lighting/depth_slices", 6}, {"/lights", json::array()},
        {"/output/files", {"x_%03d.png"}}, {"/output/png_bits", 16}, {"/output/transparent", true},
        {"/sequence/orbit", 12}, {"/sequence/turntable", 90.0},
    };
    for (const auto& [pointer, value] : expected) EXPECT_EQ(scene.at(json::json_pointer(pointer)), value) << pointer;

    // A file is looked at from a fitted view unless the camera is placed; later options win.
    auto key = [&](std::vector<std::string> args, const char* pointer) {
        args.push_back("--print-scene");
        return json::parse(run(args).out).at(json::json_pointer(pointer));
    };
    EXPECT_EQ(key({"--input", "a.ply"}, "/camera/fit"), true);
    EXPECT_EQ(key({"--input", "a.ply", "--eye", "1,1,1"}, "/camera/fit"), false);
    EXPECT_EQ(key({"--eye", "1,1,1", "--fit"}, "/camera/fit"), true);
    EXPECT_EQ(key({"--lit", "--plain"}, "/lighting/enabled"), false);
    EXPECT_EQ(key({"--no-lights", "--light", "spot:cone=30,20"}, "/lights/0/cone"), json({30.0, 20.0}));
}

TEST_F(RenderTool, StillWritesEveryOutputByExtension) {
    const Result r = runSmall({"-o", "a.png", "-o", "b.exr", "-o", "c.png", "--16bit"});
    ASSERT_EQ(r.status, 0) << r.err;
    expectPng("a.png", 64, 48);
    expectPng("c.png", 64, 48);
    expectExr("b.exr");
    EXPECT_EQ(uint8_t(read("a.png")[24]), 16);  // bit depth in the header chunk
    EXPECT_NE(r.out.find("wrote b.exr (half-float EXR)"), std::string::npos) << r.out;
    EXPECT_EQ(files(), (std::vector<std::string>{"a.png", "b.exr", "c.png"}));  // no temporary files left
    // Missing folders are made.
    ASSERT_EQ(runSmall({"-o", "new/folder/d.png"}).status, 0);
    expectPng("new/folder/d.png", 64, 48);

    // Without outputs: galaxy.png and galaxy.exr; --png and --exr replace those.
    ASSERT_EQ(runSmall({}).status, 0);
    expectPng("galaxy.png", 64, 48);
    expectExr("galaxy.exr");
    ASSERT_EQ(runSmall({"--png", "only.png", "--exr", ""}).status, 0);
    expectPng("only.png", 64, 48);
}

TEST_F(RenderTool, FailuresWhileRenderingOrWritingExitOne) {
    // A folder where a file is: the other output is still written.
    write("file", "");
    const Result folder = runSmall({"-o", "file/a.png", "-o", "b.png"});
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("could not write file/a.png: cannot make the folder file"), std::string::npos)
        << folder.err;
    expectPng("b.png", 64, 48);
    fs::remove(dir_ / "file");
    fs::remove(dir_ / "b.png");
    // The library's own message is printed.
    const Result device = runSmall({"--device", "5", "-o", "a.png"});
    EXPECT_EQ(device.status, 1);
    EXPECT_NE(device.err.find("CPU backend unavailable: "), std::string::npos) << device.err;
    EXPECT_TRUE(files().empty());
}

TEST_F(RenderTool, SceneRoundTripGivesTheSameImage) {
    // Plain and lit: the lit scene carries its default lights through the file.
    for (std::vector<std::string> extra :
         {std::vector<std::string>{}, {"--lit", "--shadow-map", "16", "--shadow-slices", "4", "--depth-slices", "4"}}) {
        std::vector<std::string> args = {"--jitter", "1", "--seed", "7", "--eye", "-40,60,90"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<std::string> direct = args, print = args;
        direct.insert(direct.end(), {"-o", "direct.png"});
        print.insert(print.end(), {"-o", "viafile.png", "--print-scene"});
        ASSERT_EQ(runSmall(direct).status, 0);
        const Result printed = runSmall(print);
        ASSERT_EQ(printed.status, 0) << printed.err;
        write("scene.json", printed.out);
        const Result fromFile = run({"--scene", "scene.json"});
        ASSERT_EQ(fromFile.status, 0) << fromFile.err;
        EXPECT_EQ(read("direct.png"), read("viafile.png"));
        // A scene printed from a scene prints the same.
        EXPECT_EQ(run({"--scene", "scene.json", "--print-scene"}).out, printed.out);
    }
}

TEST_F(RenderTool, CommandLineOverridesTheScene) {
    write("scene.json", R"({"settings": {"width": 32, "height": 24, "intensity": 0.5},
                            "camera": {"fov": 20},
                            "galaxy": {"count": 5000},
                            "lights": [{"kind": "sun", "color": [1, 2, 3]}],
                            "output": {"files": ["scene.png"]}})");
    const Result printed = run({"--scene", "scene.json", "--size", "64x48", "--light", "point:pos=0,9,0",
                                "--light", "sun", "--print-scene"});
    ASSERT_EQ(printed.status, 0) << printed.err;
    const auto scene = nlohmann::json::parse(printed.out);
    EXPECT_EQ(scene["settings"]["width"], 64);
    EXPECT_EQ(scene["settings"]["height"], 48);
    EXPECT_EQ(scene["settings"]["intensity"], 0.5);  // kept from the file
    EXPECT_EQ(scene["camera"]["fov"], 20.0);
    EXPECT_EQ(scene["galaxy"]["count"], 5000);
    ASSERT_EQ(scene["lights"].size(), 2u);  // the options' lights replace the file's
    EXPECT_EQ(scene["lights"][0]["position"], nlohmann::json({0.0, 9.0, 0.0}));

    ASSERT_EQ(run({"--scene", "scene.json"}).status, 0);
    expectPng("scene.png", 32, 24);
    ASSERT_EQ(run({"--scene", "scene.json", "--size", "64x48", "-o", "cli.png"}).status, 0);
    expectPng("cli.png", 64, 48);
    EXPECT_EQ(files(), (std::vector<std::string>{"cli.png", "scene.json", "scene.png"}));
}

TEST_F(RenderTool, ParticleFilesRenderAndBrokenFilesWriteNothing) {
    // 500 points on a ring, at multiples of 1/64 so that the text form is exact: binary PLY with colours,
    // CSV with fractional colours, raw float32.
    std::string ply = "ply\nformat binary_little_endian 1.0\nelement vertex 500\nproperty float x\nproperty float y\n"
                      "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
    std::string csv = "x,y,z,r,g,b\n", raw;
    for (int i = 0; i < 500; ++i) {
        const float p[3] = {std::round(std::cos(i * 0.0125664f) * 640.0f) / 64.0f, 0.0f,
                            std::round(std::sin(i * 0.0125664f) * 640.0f) / 64.0f};
        ply.append(reinterpret_cast<const char*>(p), 12);
        ply += std::string("\xff\x80\x20", 3);
        raw.append(reinterpret_cast<const char*>(p), 12);
        csv += std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]) + ",1,0.5,0.125\n";
    }
    write("ring.ply", ply);
    write("ring.csv", csv);
    write("ring.f32", raw);
    for (const char* input : {"ring.ply", "ring.csv", "ring.f32"}) {
        const std::string png = std::string(input) + ".png";
        const Result r = run({"--input", input, "--size", "64x48", "--intensity", "2", "-o", png});
        ASSERT_EQ(r.status, 0) << input << ": " << r.err;
        expectPng(png, 64, 48);
        EXPECT_NE(r.out.find("read 500 particles from " + std::string(input)), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("fitted the view"), std::string::npos) << r.out;  // the galaxy's view would miss it
        // Without a terminal the progress is one line of percentages on stderr.
        EXPECT_NE(r.err.find("reading " + std::string(input) + ": 0% 100%\n"), std::string::npos) << r.err;
    }
    // The same points and colours from binary PLY and from text give the same picture.
    EXPECT_EQ(read("ring.ply.png"), read("ring.csv.png"));

    // A short line, a PLY whose data ends early, a missing file: the reader's message and no image.
    write("broken.csv", "x,y,z\n1,2,3\n4,5\n");
    write("short.ply", ply.substr(0, ply.size() - 100));
    struct Case {
        const char* input;
        const char* message;
    };
    for (const Case& c : {Case{"broken.csv", "broken.csv: line 3"}, Case{"short.ply", "short.ply"},
                          Case{"absent.ply", "absent.ply: cannot open"}}) {
        const Result r = run({"--input", c.input, "--size", "64x48", "-o", "broken.png"});
        EXPECT_EQ(r.status, 1) << c.input;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(exists("broken.png")) << c.input;
    }
}

TEST_F(RenderTool, OrbitWritesNumberedFramesAndResumeSkipsFinishedOnes) {
    const std::vector<std::string> orbit = {"--orbit", "3", "-o", "f_%04d.png", "-o", "f_%04d.exr"};
    const Result r = runSmall(orbit);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : {"f_0000.png", "f_0001.png", "f_0002.png"}) expectPng(name, 64, 48);
    for (const char* name : {"f_0000.exr", "f_0001.exr", "f_0002.exr"}) expectExr(name);
    EXPECT_EQ(files().size(), 6u);
    EXPECT_NE(r.out.find("frame 2 (3/3): "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ETA"), std::string::npos) << r.out;
    // Each frame is a different view; frame 0 is the still.
    EXPECT_NE(read("f_0000.png"), read("f_0001.png"));
    EXPECT_NE(read("f_0001.png"), read("f_0002.png"));
    ASSERT_EQ(runSmall({"-o", "still.png"}).status, 0);
    EXPECT_EQ(read("f_0000.png"), read("still.png"));
    // A 480-degree turntable in 4 frames turns frame 1 by 120 degrees, as frame 1 of the full turn in 3.
    ASSERT_EQ(runSmall({"--orbit", "4", "--turntable", "480", "-o", "t_%d.png"}).status, 0);
    EXPECT_EQ(read("t_1.png"), read("f_0001.png"));

    // Interrupted after frame 0: frame 1 lacks its EXR, frame 2 is gone.
    fs::remove(dir_ / "f_0001.exr");
    fs::remove(dir_ / "f_0002.png");
    fs::remove(dir_ / "f_0002.exr");
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(dir_ / "f_0000.png", old);
    fs::last_write_time(dir_ / "f_0001.png", old);
    const Result resumed = runSmall({"--orbit", "3", "-o", "f_%04d.png", "-o", "f_%04d.exr", "--resume"});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_NE(resumed.out.find("resuming: 1 of 3 frames written already, 2 to render from frame 1"),
              std::string::npos)
        << resumed.out;
    EXPECT_EQ(resumed.out.find("frame 0 "), std::string::npos) << resumed.out;
    EXPECT_EQ(fs::last_write_time(dir_ / "f_0000.png"), old);  // untouched
    EXPECT_NE(fs::last_write_time(dir_ / "f_0001.png"), old);  // rendered again with its EXR
    for (const char* name : {"f_0001.exr", "f_0002.png", "f_0002.exr"}) EXPECT_TRUE(exists(name)) << name;
    // Everything there: nothing is loaded or rendered.
    const Result done = runSmall({"--orbit", "3", "-o", "f_%04d.png", "-o", "f_%04d.exr", "--resume"});
    EXPECT_EQ(done.status, 0);
    EXPECT_NE(done.out.find("all 3 frames written already"), std::string::npos) << done.out;
    EXPECT_EQ(done.out.find("backend"), std::string::npos) << done.out;
}

TEST_F(RenderTool, BenchPrintsRatesAndWritesOnlyGivenOutputs) {
    const Result r = runSmall({"--bench", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("bench: 2 frames of 64x48, 20000 samples each"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" ms per frame"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" M samples/s"), std::string::npos) << r.out;
    EXPECT_TRUE(files().empty());
    ASSERT_EQ(runSmall({"--bench", "1", "-o", "bench.png"}).status, 0);
    expectPng("bench.png", 64, 48);
}

}  // namespace
