// The taluna-render tool as a user runs it, on the CPU library with tiny clouds and images: exit codes,
// particle files, scene files, sequences, resuming, benchmarking. Images are checked by their bytes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#if TALUNA_TEST_OPENEXR
#include <ImfArray.h>
#include <ImfHeader.h>
#include <ImfRgbaFile.h>
#endif

namespace fs = std::filesystem;
using nlohmann::json;
using Args = std::vector<std::string>;

namespace {

struct Result {
    int status; std::string out, err;
    bool says(const std::string& text) const { return out.find(text) != out.npos || err.find(text) != err.npos; }
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
    Result run(const Args& args) {
        std::string command = "cd " + quote(dir_.string()) + " && " + quote(TALUNA_RENDER_TOOL) + " --backend cpu";
        for (const std::string& a : args) command += " " + quote(a);
        const int w = std::system((command + " >.out 2>.err").c_str());
        Result r{WIFEXITED(w) ? WEXITSTATUS(w) : -1, read(".out"), read(".err")};
        fs::remove(dir_ / ".out"), fs::remove(dir_ / ".err");
        return r;
    }
    // A tiny galaxy at a tiny size, plus `args`.
    Result runSmall(Args args) {
        args.insert(args.begin(), {"--count", "20000", "--size", "64x48"});
        return run(args);
    }
    json printed(Args args) {
        args.push_back("--print-scene");
        const Result r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return json::parse(r.out, nullptr, false);
    }

    std::string read(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(dir_ / name, std::ios::binary) << content;
    }
    Args files() const {
        Args names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // A PNG's signature, size and bit depth, or an EXR's signature.
    void expectImage(const std::string& name, uint32_t width = 64, uint32_t height = 48, char bits = 8) const {
        std::string head = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
        for (uint32_t v : {width, height}) head += {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        head = name.ends_with(".exr") ? std::string("\x76\x2f\x31\x01", 4) : head + bits;
        EXPECT_EQ(read(name).substr(0, head.size()), head) << name;
    }

    fs::path dir_;
};

// Exit 2 for usage and scene errors before anything is written, 1 for failures while rendering or writing.
TEST_F(RenderTool, ExitCodesAndMessages) {
    struct Case { Args args; const char* scene; int status; const char* message; };  // scene: scene.json's text
    const Case cases[] = {
        {{"--frobnicate"}, nullptr, 2, "unknown option --frobnicate"},
        {{"--orbit", "3", "-o", "still.png"}, nullptr, 2, "needs a frame number"},
        {{"--orbit", "3", "-o", "f_%04d.png", "--bench", "2"}, nullptr, 2, "does not combine"},
        {{"--scene", "scene.json"}, R"({"camera": {"fob": 30}})", 2, "scene.json: camera.fob: unknown key"},
        {{"--scene", "scene.json"}, "{\"camera\": {\n  \"fov\": 30,\n}}", 2,
         "scene.json: parse error at line 3, column 1"},
        // An option's value out of range is blamed on the option, not on the scene file it overrides.
        {{"--scene", "scene.json", "--fov", "190"}, R"({"camera": {"fov": 30}})", 2, "--fov 190: camera.fov"},
        {{"--device", "5", "-o", "a.png"}, nullptr, 2,
         "the CPU library has only device 0 (the CPU); --device 5 needs the GPU library"},
        {{"--light", "sun:colour=1"}, nullptr, 2, "--light sun:colour=1: unknown field 'colour'"},
        {{"--light=spot:cone=30"}, nullptr, 2, "--light=spot:cone=30: field 'cone' takes OUTER,INNER"},
        {{"--quiet=yes"}, nullptr, 2, "--quiet takes no value"},
        {{"--light", "sun", "--light", "sun", "--light", "sun", "--light", "sun", "--light", "sun", "--light", "sun",
          "--light", "sun", "--light", "sun", "--light", "sun"}, nullptr, 2, "--light sun: at most 8 lights"},
    };
    for (const Case& c : cases) {
        c.scene ? write("scene.json", c.scene) : void(fs::remove(dir_ / "scene.json"));
        const Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.message << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.message;
        EXPECT_EQ(files(), c.scene ? Args{"scene.json"} : Args{}) << c.message;
    }
    // A folder where a file is: the other output is still written.
    write("file", "");
    const Result folder = runSmall({"-o", "file/a.png", "-o", "b.png"});
    EXPECT_EQ(folder.status, 1);
    EXPECT_TRUE(folder.says("could not write file/a.png: cannot make the folder file")) << folder.err;
    expectImage("b.png");
}

TEST_F(RenderTool, OptionsReachTheirSceneKeysAndOverrideTheSceneFile) {
    const json scene = printed({"--input", "cloud.ply", "--format", "ply", "--count", "123", "--seed", "9",
        "--velocities", "--eye", "1,2,3", "--target", "4,5,6", "--up", "0,0,1", "--fov", "50", "--no-fit",
        "--projection", "panorama", "--lon", "-90,90", "--lat", "-45,45", "--aperture", "0.5", "--focus", "12",
        "--size", "320x200", "--intensity", "0.25", "--exposure", "3", "--samples", "4", "--jitter", "2", "--sigma",
        "0.1", "--shutter", "0.3", "--transparent", "--lit", "--density", "0.9", "--ambient", "0.1", "--base-light",
        "0.1,0.2,0.3", "--anisotropy", "-0.5", "--shadow-map", "64", "--shadow-slices", "8", "--depth-slices", "6",
        "--no-lights", "--16bit", "--orbit", "12", "--turntable", "90", "-o", "x_%03d.png"});
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

    // Fitted view unless the camera is placed; later options win; options override the scene file's keys and lights.
    write("scene.json", R"({"settings": {"width": 32, "intensity": 0.5}, "camera": {"fov": 20},
                            "lights": [{"kind": "sun", "color": [1, 2, 3]}]})");
    const std::tuple<Args, const char*, json> cases[] = {
        {{"--input", "a.ply"}, "/camera/fit", true},
        {{"--input", "a.ply", "--eye", "1,1,1"}, "/camera/fit", false},
        {{"--eye", "1,1,1", "--fit"}, "/camera/fit", true},
        {{"--lit", "--plain"}, "/lighting/enabled", false},
        {{"--no-lights", "--light", "spot:cone=30,20"}, "/lights/0/cone", {30.0, 20.0}},
        {{"--scene", "scene.json", "--size", "64x48"}, "/settings/width", 64},
        {{"--scene", "scene.json", "--size", "64x48"}, "/settings/intensity", 0.5},
        {{"--scene", "scene.json", "--light", "point:pos=0,9,0"}, "/lights/0/kind", "point"},
    };
    for (const auto& [args, pointer, value] : cases)
        EXPECT_EQ(printed(args).at(json::json_pointer(pointer)), value) << args[0] << " " << pointer;
}

// --opt=value, --version, and the streams: results on stdout, notices on stderr, --quiet keeps only results.
TEST_F(RenderTool, OptionFormsVersionNoticesAndQuiet) {
    const Result version = run({"--version"});
    EXPECT_TRUE(version.status == 0 && version.err.empty()) << version.err;
    const std::regex versionLine("taluna-render \\d+\\.\\d+\\.\\d+ \\(library API version \\d+\\)\n");
    EXPECT_TRUE(std::regex_match(version.out, versionLine)) << version.out;
    EXPECT_EQ(printed({"--size=320x200", "--eye=1,2,3"}), printed({"--size", "320x200", "--eye", "1,2,3"}));

    const Result lit = run({"--light", "sun", "--print-scene"});
    EXPECT_EQ(json::parse(lit.out).at("lighting").at("enabled"), true);
    EXPECT_TRUE(lit.err.find("--light implies --lit") != lit.err.npos) << lit.err;
    EXPECT_EQ(printed({"--light", "sun", "--plain"}).at("lighting").at("enabled"), false);

    // Whichever library loads, the backend and any fallback are notices, never results.
    const Result loud = runSmall({"--backend", "auto", "--orbit", "2", "-o", "l_%d.png"});
    EXPECT_EQ(loud.status, 0) << loud.err;
    EXPECT_TRUE(loud.err.find("backend: ") != loud.err.npos && loud.out.find("backend") == loud.out.npos) << loud.out;
    EXPECT_TRUE(loud.out.find("frame 1 (2/2)") != loud.out.npos) << loud.out;
    const Result quiet = runSmall({"--quiet", "--orbit", "2", "-o", "q_%d.png"});
    EXPECT_TRUE(quiet.status == 0 && quiet.err.empty()) << quiet.err;
    EXPECT_TRUE(quiet.out.find("rendered 2 frames") != quiet.out.npos && quiet.out.find("frame 1") == quiet.out.npos)
        << quiet.out;
    EXPECT_EQ(read("q_1.png"), read("l_1.png"));
}

#if TALUNA_TEST_OPENEXR
// ZIP and PIZ files read back through OpenEXR with the same halves as the library's uncompressed file, smaller.
TEST_F(RenderTool, CompressedExrReadsBackAsTheUncompressedOne) {
    auto pixels = [&](const std::string& name, Imf::Compression expected) {
        Imf::RgbaInputFile file((dir_ / name).c_str());
        EXPECT_EQ(file.header().compression(), expected) << name;
        Imf::Array2D<Imf::Rgba> px(48, 64);
        file.setFrameBuffer(&px[0][0], 1, 64);
        file.readPixels(0, 47);
        std::vector<uint16_t> bits;
        for (int i = 0; i < 48 * 64; ++i)
            for (const Imath::half h : {px[0][i].r, px[0][i].g, px[0][i].b, px[0][i].a}) bits.push_back(h.bits());
        return bits;
    };
    ASSERT_EQ(runSmall({"-o", "none.exr"}).status, 0);
    const auto reference = pixels("none.exr", Imf::NO_COMPRESSION);
    for (const auto& [name, compression] : {std::pair{"zip", Imf::ZIP_COMPRESSION}, {"piz", Imf::PIZ_COMPRESSION}}) {
        const Result r = runSmall({"-o", std::string(name) + ".exr", "--exr-compression", name});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(pixels(std::string(name) + ".exr", compression), reference) << name;
        EXPECT_LT(fs::file_size(dir_ / (std::string(name) + ".exr")) * 2, fs::file_size(dir_ / "none.exr")) << name;
    }
}
#endif

TEST_F(RenderTool, StillWritesEveryOutputByExtensionAndMakesFolders) {
    const Result r = runSmall({"-o", "a.png", "-o", "b.exr", "-o", "new/folder/c.png", "--16bit"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : {"a.png", "b.exr", "new/folder/c.png"}) expectImage(name, 64, 48, 16);
    EXPECT_EQ(files(), (Args{"a.png", "b.exr", "new"}));  // no temporary files left
    // Without outputs: galaxy.png and galaxy.exr; --png and --exr replace those.
    for (const Args& args : {Args{}, Args{"--png", "only.png", "--exr", ""}}) ASSERT_EQ(runSmall(args).status, 0);
    EXPECT_EQ(files(), (Args{"a.png", "b.exr", "galaxy.exr", "galaxy.png", "new", "only.png"}));
    expectImage("only.png");
}

TEST_F(RenderTool, SceneRoundTripGivesTheSameImage) {
    // Plain and lit: the lit scene carries its default lights through the file.
    for (Args args : {Args{}, Args{"--lit", "--shadow-map", "16", "--shadow-slices", "4", "--depth-slices", "4"}}) {
        args.insert(args.end(), {"--jitter", "1", "--seed", "7", "--eye", "-40,60,90", "-o"});
        Args direct = args;
        direct.push_back("direct.png");
        args.insert(args.end(), {"viafile.png", "--print-scene"});
        ASSERT_EQ(runSmall(direct).status, 0);
        const Result scene = runSmall(args);
        write("scene.json", scene.out);
        ASSERT_EQ(run({"--scene", "scene.json"}).status, 0);
        EXPECT_EQ(read("direct.png"), read("viafile.png"));
        EXPECT_EQ(run({"--scene", "scene.json", "--print-scene"}).out, scene.out);  // and prints the same scene
    }
}

TEST_F(RenderTool, ParticleFilesRenderAndBrokenFilesWriteNothing) {
    // 500 points on a ring, at multiples of 1/64 so that the text form is exact: binary PLY with colours,
    // CSV with fractional colours, raw float32.
    std::string ply = "ply\nformat binary_little_endian 1.0\nelement vertex 500\nproperty float x\nproperty float y\n"
                      "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
    std::string csv = "x,y,z,r,g,b\n", raw;
    for (int i = 0; i < 500; ++i) {
        const float p[3] = {std::round(std::cos(i * 0.0125664f) * 640) / 64, 0,
                            std::round(std::sin(i * 0.0125664f) * 640) / 64};
        raw.append(reinterpret_cast<const char*>(p), 12);
        ply += std::string(reinterpret_cast<const char*>(p), 12) + "\xff\x80\x20";
        csv += std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]) + ",1,0.5,0.125\n";
    }
    write("ring.ply", ply);
    write("ring.csv", csv);
    write("ring.f32", raw);
    for (const std::string input : {"ring.ply", "ring.csv", "ring.f32"}) {
        const Result r = run({"--input", input, "--size", "64x48", "--intensity", "2", "-o", input + ".png"});
        ASSERT_EQ(r.status, 0) << input << ": " << r.err;
        expectImage(input + ".png");
        // The galaxy's view would miss the ring; without a terminal the progress is one line on stderr.
        for (const std::string& text : Args{"read 500 particles from " + input, "fitted the view",
                                            "reading " + input + ": 0% 100%\n"})
            EXPECT_TRUE(r.says(text)) << text << " not in: " << r.out << r.err;
    }
    EXPECT_EQ(read("ring.ply.png"), read("ring.csv.png"));  // the same points and colours, the same picture
    // A short line, a PLY whose data ends early, a missing file: the reader's message and no image.
    write("broken.csv", "x,y,z\n1,2,3\n4,5\n");
    write("short.ply", ply.substr(0, ply.size() - 100));
    for (const auto& [input, message] : {std::pair{"broken.csv", "broken.csv: line 3"}, {"short.ply", "short.ply: "},
                                         {"absent.ply", "absent.ply: cannot open"}}) {
        const Result r = run({"--input", input, "--size", "64x48", "-o", "broken.png"});
        EXPECT_EQ(r.status, 1) << input;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "broken.png")) << input;
    }
}

TEST_F(RenderTool, OrbitWritesNumberedFramesAndResumeSkipsFinishedOnes) {
    const Args resume = {"--orbit", "3", "-o", "f_%04d.png", "-o", "f_%04d.exr", "--resume"};
    const Result r = runSmall(Args(resume.begin(), resume.end() - 1));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : {"f_0000.png", "f_0001.png", "f_0002.png", "f_0000.exr", "f_0001.exr", "f_0002.exr"})
        expectImage(name);
    EXPECT_TRUE(r.says("frame 2 (3/3): ") && r.says("ETA")) << r.out;
    // Each frame is a different view; frame 0 is the still; a 480-degree turntable in 4 frames turns frame 1 by
    // 120 degrees, as frame 1 of the full turn in 3.
    EXPECT_NE(read("f_0000.png"), read("f_0001.png"));
    ASSERT_EQ(runSmall({"-o", "still.png"}).status, 0);
    ASSERT_EQ(runSmall({"--orbit", "4", "--turntable", "480", "-o", "t_%d.png"}).status, 0);
    EXPECT_EQ(read("f_0000.png"), read("still.png"));
    EXPECT_EQ(read("t_1.png"), read("f_0001.png"));

    // Interrupted after frame 0: frame 1 lacks its EXR, frame 2 is gone.
    for (const char* name : {"f_0001.exr", "f_0002.png", "f_0002.exr"}) fs::remove(dir_ / name);
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (const char* name : {"f_0000.png", "f_0001.png"}) fs::last_write_time(dir_ / name, old);
    const Result resumed = runSmall(resume);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_TRUE(resumed.says("resuming: 1 of 3 frames written already, 2 to render from frame 1")) << resumed.out;
    EXPECT_EQ(fs::last_write_time(dir_ / "f_0000.png"), old);  // untouched
    EXPECT_NE(fs::last_write_time(dir_ / "f_0001.png"), old);  // rendered again with its EXR
    for (const char* name : {"f_0001.exr", "f_0002.png", "f_0002.exr"}) EXPECT_TRUE(fs::exists(dir_ / name)) << name;
    // Everything there: nothing is loaded or rendered.
    const Result done = runSmall(resume);
    EXPECT_TRUE(done.status == 0 && done.says("all 3 frames written already") && !done.says("backend")) << done.out;
}

// Frames written on several threads are the frames written on one; a failed write stops the sequence with its
// message, whichever thread met it.
TEST_F(RenderTool, OrbitOnWorkerThreadsWritesTheSameFramesAndStopsOnAFailedWrite) {
    ASSERT_EQ(runSmall({"--orbit", "5", "-o", "one_%d.png", "-o", "one_%d.exr", "--jobs", "1"}).status, 0);
    const Result three = runSmall({"--orbit", "5", "-o", "three_%d.png", "-o", "three_%d.exr", "--jobs=3"});
    ASSERT_EQ(three.status, 0) << three.err;
    for (int f = 0; f < 5; ++f)
        for (const char* ext : {".png", ".exr"})
            EXPECT_EQ(read("three_" + std::to_string(f) + ext), read("one_" + std::to_string(f) + ext)) << f << ext;
    fs::create_directory(dir_ / "w_2.png");  // frame 2 cannot be renamed into place
    for (const char* jobs : {"1", "2"}) {
        const Result failed = runSmall({"--orbit", "12", "-o", "w_%d.png", "--jobs", jobs});
        EXPECT_EQ(failed.status, 1) << jobs;
        EXPECT_TRUE(failed.says("could not write w_2.png: ") && failed.says("stopped after writing 2 of 12 frames"))
            << jobs << ": " << failed.err;
    }
}

TEST_F(RenderTool, BenchPrintsRatesAndWritesOnlyGivenOutputs) {
    const Result r = runSmall({"--bench", "2"});
    for (const char* text : {"bench: 2 frames of 64x48, 20000 samples each", " ms per frame", " M samples/s"})
        EXPECT_TRUE(r.status == 0 && r.says(text)) << text << " not in: " << r.out << r.err;
    EXPECT_TRUE(files().empty());
    ASSERT_EQ(runSmall({"--bench", "1", "-o", "bench.png"}).status, 0);
    expectImage("bench.png");
}

}  // namespace
