// The taluna-render tool as a user runs it, on the CPU library with tiny clouds and images: exit codes,
// particle files, scene files, sequences, resuming, benchmarking. Images are checked by their bytes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "snapshot_writer.h"
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

// Raw float32 x,y,z triples; a ring of radius 10 in the x-z plane.
std::string raw(const std::vector<float>& v) { return {reinterpret_cast<const char*>(v.data()), v.size() * 4}; }
std::vector<float> ring(int n) {
    std::vector<float> v;
    for (float a = 0; a < 6.2831853f; a += 6.2831853f / n) v.insert(v.end(), {10 * std::cos(a), 0, 10 * std::sin(a)});
    return v;
}

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

    // Runs the tool in the scratch folder with the CPU library, with `env` (NAME=VALUE ...) in its environment.
    Result run(const Args& args, const std::string& env = "") {
        std::string command = "cd " + quote(dir_.string()) + " && " + env + " " + quote(TALUNA_RENDER_TOOL) +
                              " --backend cpu";
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

    // The halves of an EXR from the tool (uncompressed A, B, G, R scan lines at the end of the file), pixel by
    // pixel in that order; empty when the file is too short.
    std::vector<uint16_t> halves(const std::string& name, size_t width = 64, size_t height = 48) const {
        const std::string f = read(name);
        const size_t line = 8 + 8 * width;
        std::vector<uint16_t> out;
        for (size_t y = 0, start = f.size() - line * height; f.size() >= line * height && y < height; ++y)
            for (size_t x = 0; x < width; ++x)
                for (size_t c = 0; c < 4; ++c) {
                    uint16_t h;
                    std::memcpy(&h, &f[start + y * line + 8 + (c * width + x) * 2], 2);
                    out.push_back(h);
                }
        return out;
    }
    // Pixels of a 64x48 EXR whose brightest colour channel has at least the half bits `level` (0x3800: 0.5).
    int litPixels(const std::string& name, uint16_t level = 1) const {
        const std::vector<uint16_t> h = halves(name);
        if (h.empty()) return -1;
        int lit = 0;
        for (size_t p = 0; p < h.size(); p += 4)
            lit += std::max({h[p + 1] < 0x8000 ? h[p + 1] : 0, h[p + 2] < 0x8000 ? h[p + 2] : 0,
                             h[p + 3] < 0x8000 ? h[p + 3] : 0}) >= level;
        return lit;
    }
    // The same picture up to the order of float additions: no half more than one unit off (160x120 EXRs).
    void expectSamePicture(const std::string& a, const std::string& b) const {
        const std::vector<uint16_t> x = halves(a, 160, 120), y = halves(b, 160, 120);
        ASSERT_TRUE(x.size() == 160 * 120 * 4 && y.size() == x.size()) << a << " " << b;
        int off = 0, lit = 0;
        for (size_t i = 0; i < x.size(); ++i) off += std::abs(int(x[i]) - int(y[i])) > 1, lit += i % 4 && x[i];
        EXPECT_EQ(off, 0) << a << " against " << b;
        EXPECT_GT(lit, 1000) << a;  // a picture, not an empty sky
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
        {{"--cmap", "jet"}, nullptr, 2, "--cmap jet: color.map: expected one of viridis"},
        {{"--log", "--range", "0,1"}, nullptr, 2, "a logarithmic range must be above 0"},
        {{"--types", "0,6"}, nullptr, 2, "--types 0,6: input.types[1]: expected an integer from 0 to 5"},
        {{"--device", "5", "-o", "a.png"}, nullptr, 2,
         "the CPU library has only device 0 (the CPU); --device 5 needs the GPU library"},
        {{"--light", "sun:colour=1"}, nullptr, 2, "--light sun:colour=1: unknown field 'colour'"},
        {{"--light=spot:cone=30"}, nullptr, 2, "--light=spot:cone=30: field 'cone' takes OUTER,INNER"},
        {{"--quiet=yes"}, nullptr, 2, "--quiet takes no value"},
        {{"--light", "sun", "--light", "sun", "--light", "sun", "--light", "sun", "--light", "sun", "--light", "sun",
          "--light", "sun", "--light", "sun", "--light", "sun"}, nullptr, 2, "--light sun: at most 8 lights"},
        {{"--lit", "--chunk", "100"}, nullptr, 2, "the lit path needs the whole cloud on one device: its shadow"},
        {{"--lit", "--devices", "0,0"}, nullptr, 2, "every particle at once, so it cannot be split over --devices 0,0"},
        {{"--chunk", "0"}, nullptr, 2, "--chunk 0: split.chunk: expected an integer from 1 to"},
        {{"--devices", "0,,1"}, nullptr, 2, "bad value: --devices 0,,1"},
        {{"--devices", "0,1", "-o", "a.png"}, nullptr, 2, "only device 0 (the CPU); --devices 0,1 needs the GPU"},
        {{"--device", "0", "--devices", "0"}, nullptr, 2, "--device and --devices do not combine"},
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
    const json scene = printed({"--input", "cloud.ply", "--format", "ply", "--types", "0,4", "--count", "123",
        "--seed", "9",
        "--velocities", "--eye", "1,2,3", "--target", "4,5,6", "--up", "0,0,1", "--fov", "50", "--no-fit",
        "--projection", "panorama", "--lon", "-90,90", "--lat", "-45,45", "--aperture", "0.5", "--focus", "12",
        "--size", "320x200", "--intensity", "0.25", "--exposure", "3", "--samples", "4", "--jitter", "2", "--sigma",
        "0.1", "--shutter", "0.3", "--transparent", "--lit", "--density", "0.9", "--ambient", "0.1", "--base-light",
        "0.1,0.2,0.3", "--anisotropy", "-0.5", "--shadow-map", "64", "--shadow-slices", "8", "--depth-slices", "6",
        "--no-lights", "--16bit", "--orbit", "12", "--turntable", "90", "-o", "x_%03d.png", "--color-by", "Density",
        "--cmap", "magma", "--log", "--range", "0.5,2", "--auto-exposure"});
    const std::pair<const char*, json> expected[] = {
        {"/input/file", "cloud.ply"}, {"/input/format", "ply"}, {"/input/types", {0, 4}}, {"/galaxy/count", 123},
        {"/galaxy/seed", 9},
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
        {"/sequence/orbit", 12}, {"/sequence/turntable", 90.0}, {"/color/by", "Density"}, {"/color/map", "magma"},
        {"/color/log", true}, {"/color/range", {0.5, 2.0}}, {"/settings/auto_exposure", true},
    };
    for (const auto& [pointer, value] : expected) EXPECT_EQ(scene.at(json::json_pointer(pointer)), value) << pointer;

    // Fitted view unless the camera is placed; later options win; options override the scene file's keys and lights.
    write("scene.json", R"({"settings": {"width": 32, "intensity": 0.5}, "camera": {"fov": 20},
                            "lights": [{"kind": "sun", "color": [1, 2, 3]}]})");
    const std::tuple<Args, const char*, json> cases[] = {
        {{"--input", "a.ply"}, "/camera/fit", true},
        {{"--input", "a.ply", "--eye", "1,1,1"}, "/camera/fit", false},
        {{"--input", "a.ply"}, "/settings/auto_exposure", true},  // a file without an intensity, plain
        {{"--input", "a.ply", "--intensity", "1"}, "/settings/auto_exposure", false},
        {{"--input", "a.ply", "--lit"}, "/settings/auto_exposure", false},
        {{"--input", "a.ply"}, "/color/range", nullptr},
        {{"--eye", "1,1,1", "--fit"}, "/camera/fit", true},
        {{"--lit", "--plain"}, "/lighting/enabled", false},
        {{"--no-lights", "--light", "spot:cone=30,20"}, "/lights/0/cone", {30.0, 20.0}},
        {{"--scene", "scene.json", "--size", "64x48"}, "/settings/width", 64},
        {{"--scene", "scene.json", "--size", "64x48"}, "/settings/intensity", 0.5},
        {{"--scene", "scene.json", "--light", "point:pos=0,9,0"}, "/lights/0/kind", "point"},
        {{}, "/split/chunk", nullptr},
        {{"--chunk", "5000", "--devices", "0,0"}, "/split", {{"chunk", 5000}, {"devices", {0, 0}}}},
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
        args.insert(args.end(), {"--jitter", "1", "--seed", "7", "--eye", "-40,60,90", "--auto-exposure", "--cmap",
                                 "plasma", "--log", "--range", "1,10", "-o"});
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
    // CSV with fractional colours, raw float32, a snapshot's gas (coloured as these) beside its dark matter.
    std::string ply = "ply\nformat binary_little_endian 1.0\nelement vertex 500\nproperty float x\nproperty float y\n"
                      "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
    std::string csv = "x,y,z,r,g,b\n", raw;
    std::vector<double> gas, dark(300, 50.0);
    for (int i = 0; i < 500; ++i) {
        const float p[3] = {std::round(std::cos(i * 0.0125664f) * 640) / 64, 0,
                            std::round(std::sin(i * 0.0125664f) * 640) / 64};
        raw.append(reinterpret_cast<const char*>(p), 12);
        gas.insert(gas.end(), p, p + 3);
        ply += std::string(reinterpret_cast<const char*>(p), 12) + "\xff\x80\x20";
        csv += std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]) + ",1,0.5,0.125\n";
    }
    write("ring.ply", ply);
    write("ring.csv", csv);
    write("ring.f32", raw);
    ASSERT_TRUE(writeSnapshot((dir_ / "ring.hdf5").string(), {{"/PartType0/Coordinates", H5T_NATIVE_FLOAT, {500, 3},
        gas}, {"/PartType1/Coordinates", H5T_NATIVE_DOUBLE, {100, 3}, dark}}));
    for (const std::string input : {"ring.ply", "ring.csv", "ring.f32", "ring.hdf5"}) {
        Args args = {"--input", input, "--size", "64x48", "--intensity", "2", "-o", input + ".png"};
        if (input == "ring.hdf5") args.insert(args.end(), {"--types", "0"});  // without the dark matter
        const Result r = run(args);
        ASSERT_EQ(r.status, 0) << input << ": " << r.err;
        expectImage(input + ".png");
        // The galaxy's view would miss the ring; without a terminal the progress is one line on stderr.
        for (const std::string& text : Args{"read 500 particles from " + input, "fitted the view",
                                            "reading " + input + ": 0% 100%\n"})
            EXPECT_TRUE(r.says(text)) << text << " not in: " << r.out << r.err;
    }
    EXPECT_EQ(read("ring.ply.png"), read("ring.csv.png"));  // the same points and colours, the same picture
    EXPECT_EQ(read("ring.ply.png"), read("ring.hdf5.png"));
    // A short line, a PLY with two thirds of its data missing (a wrong count), a missing file: the reader's
    // message and no image.
    write("broken.csv", "x,y,z\n1,2,3\n4,5\n");
    write("short.ply", ply.substr(0, ply.size() - 5000));
    for (const auto& [input, message] : {std::pair{"broken.csv", "broken.csv: line 3"}, {"short.ply", "short.ply: "},
                                         {"absent.ply", "absent.ply: cannot open"}}) {
        const Result r = run({"--input", input, "--size", "64x48", "-o", "broken.png"});
        EXPECT_EQ(r.status, 1) << input;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "broken.png")) << input;
    }
}

// A stray point far out and garbage at the float limits do not move the fitted view off the ring; a view
// along the up vector gets another up; a cloud without a finite position is refused.
TEST_F(RenderTool, ViewSurvivesOutliersAndAViewAlongUp) {
    const std::pair<const char*, std::vector<float>> strays[] = {
        {"far.f32", {1e30f, 1e30f, 1e30f}}, {"garbage.f32", {3.4e38f, -3.4e38f, 3.4e38f, -3.4e38f, 3.4e38f, -3.4e38f}}};
    for (const auto& [name, stray] : strays) {
        std::vector<float> v = ring(500);
        v.insert(v.end(), stray.begin(), stray.end());
        write(name, raw(v));
        const Result r = run({"--input", name, "--size", "64x48", "--intensity", "2", "-o", "view.exr"});
        ASSERT_EQ(r.status, 0) << name << ": " << r.err;
        EXPECT_GT(litPixels("view.exr"), 50) << name;
    }
    write("ring.f32", raw(ring(500)));
    const Result up = run({"--input", "ring.f32", "--size", "64x48", "--eye", "0,40,0", "--target", "0,0,0",
                           "--intensity", "2", "-o", "up.exr"});
    EXPECT_TRUE(up.status == 0 && up.says("parallel to the up vector 0,1,0; using up 1,0,0")) << up.err;
    EXPECT_GT(litPixels("up.exr"), 50);
    write("nan.f32", raw(std::vector<float>(30, NAN)));
    const Result nan = run({"--input", "nan.f32", "--size", "64x48", "-o", "nan.png"});
    EXPECT_TRUE(nan.status == 1 && nan.says("dropped 10 rows with non-finite coordinates") &&
                nan.says("nan.f32: no particles to render"))
        << nan.err;
    EXPECT_FALSE(fs::exists(dir_ / "nan.png"));
}

// A cube's 8 corners: auto exposure makes them bright and prints the intensity it chose; --intensity turns it off.
TEST_F(RenderTool, AutoExposureLightsASmallCloudUnlessAnIntensityIsGiven) {
    std::string cube = "x,y,z\n";
    for (int i = 0; i < 8; ++i)
        cube += std::string(i & 1 ? "1," : "-1,") + (i & 2 ? "1," : "-1,") + (i & 4 ? "1\n" : "-1\n");
    write("cube.csv", cube);
    const Result automatic = run({"--input", "cube.csv", "--size", "64x48", "-o", "auto.exr"});
    ASSERT_EQ(automatic.status, 0) << automatic.err;
    EXPECT_TRUE(automatic.says("auto exposure: --intensity ")) << automatic.out;
    EXPECT_GE(litPixels("auto.exr", 0x3800), 6);
    const Result given = run({"--input", "cube.csv", "--size", "64x48", "--intensity", "0.07", "-o", "given.exr"});
    EXPECT_FALSE(given.says("auto exposure")) << given.out;
    EXPECT_EQ(litPixels("given.exr", 0x3800), 0);
    EXPECT_GE(litPixels("given.exr"), 6);
}

// Colour by a PLY property: the range used is printed and the map gives the colours.
TEST_F(RenderTool, ColorByAPropertyPrintsTheRangeItUsed) {
    std::string ply = "ply\nformat ascii 1.0\nelement vertex 100\nproperty float x\nproperty float y\n"
                      "property float z\nproperty float density\nend_header\n";
    for (int i = 0; i < 100; ++i)
        ply += std::to_string(i % 10) + " " + std::to_string(i / 10) + " 0 " + std::to_string(i + 1) + "\n";
    write("d.ply", ply);
    const std::pair<Args, const char*> cases[] = {
        {{}, "color-by density: range 1.99 .. 99.01 (1st-99th percentile)"},
        {{"--range", "10,20", "--log"}, "color-by density: range 10 .. 20 (given, log10)"},
    };
    for (const auto& [extra, message] : cases) {
        Args args = {"--input", "d.ply", "--size", "64x48", "--color-by", "density", "--cmap", "gray", "-o", "d.exr"};
        args.insert(args.end(), extra.begin(), extra.end());
        const Result r = run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.says(message)) << r.out;
        EXPECT_GT(litPixels("d.exr"), 50);
    }
    // The colours come from the map: the same cloud in its own (white) colours gives another picture.
    ASSERT_EQ(run({"--input", "d.ply", "--size", "64x48", "--range", "10,20", "-o", "w.exr"}).status, 0);
    EXPECT_NE(read("d.exr"), read("w.exr"));
}

// A cloud streamed in chunks through a device too small for it, or split over two contexts, gives the picture
// of the cloud in one piece: each chunk's jitter, lens and sample draws are its particles' own. What cannot
// be streamed, or fails on a device, stops with the reason and writes nothing.
TEST_F(RenderTool, ChunksAndDevicesGiveTheOnePiecePicture) {
    // A device of 2 MiB beside the library's 512 MiB headroom holds about a quarter of 290000 particles.
    const std::string small = "TALUNA_CPU_MEMORY_LIMIT=" + std::to_string((512 << 20) + (2 << 20));
    const Args galaxy = {"--count", "290000", "--size", "160x120", "--aperture", "2", "--focus", "300", "-o"};
    std::vector<float> spiral;
    for (float r = 0; spiral.size() < 3 * 60000; r += 1e-3f)
        spiral.insert(spiral.end(), {r * std::cos(r), std::sin(r * 100), r * std::sin(r)});
    write("spiral.f32", raw(spiral));
    const Args file = {"--input", "spiral.f32", "--size", "160x120", "--jitter", "2", "--samples", "3", "-o"};
    auto render = [&](Args args, const std::string& out, const Args& extra, const std::string& env = "") {
        args.push_back(out);
        args.insert(args.end(), extra.begin(), extra.end());
        const Result r = run(args, env);
        EXPECT_EQ(r.status, 0) << out << ": " << r.err;
        return r;
    };
    render(galaxy, "galaxy.exr", {});
    const Result streamed = render(galaxy, "streamed.exr", {}, small);
    std::smatch found;
    ASSERT_TRUE(std::regex_search(streamed.err, found, std::regex("streaming 290000 particles in (\\d+) chunks")))
        << streamed.err;
    EXPECT_GE(std::stoi(found[1]), 3);
    EXPECT_FALSE(render(galaxy, "quiet.exr", {"--quiet"}, small).says("streaming"));
    render(galaxy, "devices.exr", {"--devices", "0,0"});
    render(file, "file.exr", {});
    const Result chunked = render(file, "chunked.exr", {"--chunk", "7001"});
    EXPECT_TRUE(chunked.says("streaming 60000 particles in 9 chunks of 7001")) << chunked.err;
    render(file, "file_devices.exr", {"--devices", "0,0", "--chunk", "7001"});
    for (const auto& [a, b] : {std::pair{"galaxy.exr", "streamed.exr"}, {"galaxy.exr", "devices.exr"},
                               {"file.exr", "chunked.exr"}, {"file.exr", "file_devices.exr"}})
        expectSamePicture(a, b);
    // An orbit exposed automatically by its first frame: a pass accumulates its frames together.
    const Result orbit = render(file, "o_%d.exr", {"--orbit", "3"});
    const Result streamedOrbit = render(file, "s_%d.exr", {"--orbit", "3", "--chunk", "20000"});
    ASSERT_TRUE(std::regex_search(orbit.out, found, std::regex("auto exposure: --intensity \\S+"))) << orbit.out;
    EXPECT_TRUE(streamedOrbit.says(found[0])) << streamedOrbit.out;
    for (const std::string f : {"0", "1", "2"}) expectSamePicture("o_" + f + ".exr", "s_" + f + ".exr");

    std::string broken = "x,y,z\n";
    for (int i = 0; i < 3000; ++i) broken += std::to_string(i) + ",0,0\n" + (i == 2500 ? "1,2\n" : "");
    write("broken.csv", broken);
    const std::tuple<Args, std::string, const char*> failures[] = {
        {{"--lit"}, small, "the lit path needs the whole cloud on one device: the 290000 particles of the galaxy"},
        {{"--devices", "0,0", "--chunk", "200000"}, small, "device 0: cannot hold a chunk of 200000 particles"},
        {{"--input", "broken.csv", "--devices", "0,0", "--chunk", "1000"}, "", "broken.csv: line 2503"},
    };
    for (const auto& [args, env, message] : failures) {
        Args all = {"--count", "290000", "--size", "64x48", "-o", "failed.png"};
        all.insert(all.end(), args.begin(), args.end());
        const Result r = run(all, env);
        EXPECT_TRUE(r.status == 1 && r.says(message)) << message << ": " << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "failed.png")) << message;
    }
}

#if defined(TALUNA_TEST_MPIEXEC)
// Two processes under mpirun, each reading its share of the file or making its range of the galaxy, give the
// one-process picture, jitter and auto exposure included; a share that cannot be read ends both processes,
// rank 0 printing the reason, and nothing is written.
TEST_F(RenderTool, TwoRanksGiveTheOneProcessPicture) {
    const std::string ranks = std::string("ASAN_OPTIONS=detect_leaks=0 ") + TALUNA_TEST_MPIEXEC + " -n 2";
    std::vector<float> spiral;
    for (float r = 0; spiral.size() < 3 * 50001; r += 1e-3f)
        spiral.insert(spiral.end(), {r * std::cos(r), std::sin(r * 100), r * std::sin(r)});
    write("spiral.f32", raw(spiral));
    const Args file = {"--input", "spiral.f32", "--size", "160x120", "--jitter", "2", "--samples", "3",
                       "--eye", "0,60,80", "--target", "0,0,0"};
    const Args galaxy = {"--count", "50001", "--size", "160x120", "--seed", "3"};
    for (const auto& [args, name] : {std::pair{file, "file"}, {galaxy, "galaxy"}}) {
        Args one = args, two = args;
        one.insert(one.end(), {"-o", std::string(name) + "_one.exr"});
        two.insert(two.end(), {"-o", std::string(name) + "_two.exr"});
        const Result a = run(one), b = run(two, ranks);
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        expectSamePicture(std::string(name) + "_one.exr", std::string(name) + "_two.exr");
        std::smatch exposure;
        if (std::regex_search(a.out, exposure, std::regex("auto exposure: --intensity \\S+")))
            EXPECT_TRUE(b.says(exposure[0])) << b.out;
    }
    std::string broken = "x,y,z\n";
    for (int i = 0; i < 3000; ++i) broken += std::to_string(i) + ",0,0\n" + (i == 2500 ? "1,2\n" : "");
    write("broken.csv", broken);
    const Result r = run({"--input", "broken.csv", "--size", "64x48", "-o", "failed.png"}, ranks);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(r.says("rank 1: broken.csv: line 2503")) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "failed.png"));
}
#endif

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
