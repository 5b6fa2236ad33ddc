// The live viewer on the CPU library: its answers to each kind of request (the token, views checked as scene
// files, frames and their refinement, supersession, save) without the network, and taluna-render --serve
// over HTTP until Ctrl-C.
#include <gtest/gtest.h>
#include <httplib.h>
#include <png.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "viewer/viewer_server.h"

namespace fs = std::filesystem;
using namespace taluna::viewer;

namespace {

constexpr uint64_t kParticles = 20000;
const std::string kToken = "0123abcd";

std::vector<uint8_t> decodePng(const std::string& bytes) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    std::vector<uint8_t> pixels;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return pixels;
    image.format = PNG_FORMAT_RGBA;
    pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) pixels.clear();
    return pixels;
}

class Viewer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(api.load(TALUNA_CPU_LIBRARY, &error)) << error;
        ctx = api.create(0);
        ASSERT_EQ(api.generateTestCloud(ctx, kParticles, 1, 0), 0);
    }
    static void TearDownTestSuite() { api.destroy(ctx); }
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("taluna_viewer_" + std::to_string(getpid()));
        fs::create_directories(dir_);
        scene_.settings.width = 64, scene_.settings.height = 48;
        scene_.outputs = {(dir_ / "still.png").string(), (dir_ / "still.exr").string()};
        ServeOptions options;
        options.token = kToken, options.port = 0, options.stillCommand = "taluna-render";
                server_ = std::make_unique<ViewerServer>(api, ctx, scene_, kParticles, options);
    }
    void TearDown() override { fs::remove_all(dir_); }

    Reply post(const std::string& path, const std::string& body) {
        return server_->handle("POST", path, &kToken, body);
    }
    Reply frame(const std::string& view, bool refine = false, const char* format = "jpeg") {
        return post("/frame", "{\"view\": " + view + ", \"refine\": " + (refine ? "true" : "false") +
                                  ", \"format\": \"" + format + "\"}");
    }

    static inline taluna::Api api;
    static inline TLContext* ctx = nullptr;
    Scene scene_;
    fs::path dir_;
    std::unique_ptr<ViewerServer> server_;
};

TEST_F(Viewer, EveryRequestNeedsTheToken) {
    for (const char* path : {"/", "/info", "/frame", "/save", "/elsewhere"}) {
        for (const std::string& wrong : {std::string(), std::string("0123abc"), std::string("0123abcd0"),
                                         std::string("0123abce")})
            EXPECT_EQ(server_->handle("GET", path, &wrong, "").status, 403) << path << " " << wrong;
        EXPECT_EQ(server_->handle("POST", path, nullptr, "{}").status, 403) << path;
    }
    const Reply page = server_->handle("GET", "/", &kToken, "");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("<canvas id=\"frame\">"), std::string::npos);
    EXPECT_EQ(server_->handle("GET", "/frame", &kToken, "").status, 405);
    EXPECT_EQ(server_->handle("GET", "/elsewhere", &kToken, "").status, 404);
}

// A view is checked as a scene file is, then against the viewer's own limits; the server answers the next
// good request as before.
TEST_F(Viewer, ViewsAreCheckedBeforeAnythingRenders) {
    const std::pair<const char*, const char*> refused[] = {
        {"not json", "request: parse error"},
        {"[1]", "request: expected a JSON object"},
        {R"({"view": {}, "camera": {}})", "request.camera: unknown key"},
        {R"({"view": {"settings": {"width": 0}}})", "view.settings.width: expected an integer from 1 to 65535"},
        {R"({"view": {"settings": {"width": 99999, "height": 1}}})", "view.settings.width: expected an integer"},
        {R"({"view": {"settings": {"width": 3841}}})", "3841x48 is larger than the viewer renders (at most 3840x2160"},
        {R"({"view": {"camera": {"fov": 180}}})", "view.camera.fov: must be greater than 0 and less than 180"},
        {R"({"view": {"camera": {"eye": [1, 2]}}})", "view.camera.eye: expected an array of 3 numbers"},
        {R"({"view": {"input": {"file": "/etc/passwd"}}})", "view.input: not something the viewer changes"},
        {R"({"view": {"settings": {"seed": 3}}})", "view.settings.seed: not something the viewer changes"},
        {R"({"view": {"lighting": 1}})", "view.lighting: expected an object"},
        {R"({"view": {"lights": [{"kind": "laser"}]}})", "view.lights[0].kind: expected one of point, spot, sun"},
        {R"({"view": {"settings": {"jitter": 9999, "samples": 2}}})", "(jitter + 1) x samples is 20000"},
        {R"({"format": "gif"})", "request.format: expected \"jpeg\" or \"png\""},
        {R"({"refine": 1})", "request.refine: expected true or false"},
    };
    for (const auto& [body, message] : refused)
        for (const char* path : {"/frame", "/scene", "/save"}) {
            const Reply r = post(path, body);
            EXPECT_EQ(r.status, 400) << path << " " << body;
            EXPECT_NE(r.body.find(message), std::string::npos) << path << " " << body << ": " << r.body;
        }
    EXPECT_FALSE(fs::exists(dir_ / "still.png"));
    EXPECT_EQ(frame("{}").status, 200);
}

// The first frame of a view is the still the tool renders; each refinement pass adds jitter copies, and the
// sums are kept across exposure changes and dropped on any other change.
TEST_F(Viewer, FramesRefineWhileTheViewStays) {
    const std::string jittered = R"({"settings": {"width": 32, "height": 24, "jitter": 3}})";
    const Reply first = frame(jittered, false, "png");
    ASSERT_EQ(first.status, 200) << first.body;
    EXPECT_EQ(first.contentType, "image/png");
    EXPECT_EQ(first.headers.at("X-Passes"), "1");
    EXPECT_EQ(first.headers.at("X-Converged"), "0");
    TLRenderSettings settings = scene_.settings;
    settings.width = 32, settings.height = 24, settings.jitterCount = 3;
    std::vector<TLUChar4> still(32 * 24);
    ASSERT_EQ(api.render(ctx, &scene_.camera, &settings, nullptr, 0, still.data(), nullptr, nullptr), 0);
    const std::vector<uint8_t> shown = decodePng(first.body);
    ASSERT_EQ(shown.size(), still.size() * 4);
    EXPECT_EQ(std::memcmp(shown.data(), still.data(), shown.size()), 0) << "pass 1 is the tool's still";

    Reply refined;
    for (int pass = 2; pass <= 3; ++pass) refined = frame(jittered, true, "png");
    EXPECT_EQ(refined.headers.at("X-Passes"), "3");
    EXPECT_EQ(refined.headers.at("X-Samples-Per-Particle"), "12");
    EXPECT_NE(decodePng(refined.body), shown) << "three passes differ from one";

    const Reply toned = frame(R"({"settings": {"width": 32, "height": 24, "jitter": 3, "exposure": 4}})");
    EXPECT_EQ(toned.contentType, "image/jpeg");
    EXPECT_EQ(toned.body.substr(0, 3), "\xFF\xD8\xFF");
    EXPECT_EQ(toned.headers.at("X-Passes"), "3") << "an exposure change keeps the sums";
    EXPECT_EQ(toned.headers.at("X-Render-Ms"), "0.00");
    const Reply moved = frame(R"({"settings": {"width": 32, "height": 24, "jitter": 3}, "camera": {"fov": 30}})");
    EXPECT_EQ(moved.headers.at("X-Passes"), "1");

    // Without jitter, lens or shutter another pass adds nothing: the frame is final at once.
    const Reply plain = frame(R"({"settings": {"width": 32, "height": 24}})");
    EXPECT_EQ(plain.headers.at("X-Converged"), "1");
    EXPECT_EQ(frame(R"({"settings": {"width": 32, "height": 24}})", true).headers.at("X-Passes"), "1");
}

// While one frame renders, of the requests waiting only the newest renders; the others are answered 409.
TEST_F(Viewer, ANewerRequestSupersedesAWaitingOne) {
    auto later = [&](const std::string& view, int delayMs) {
        return std::async(std::launch::async, [this, view, delayMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            return frame(view).status;
        });
    };
    // 10^7 jittered samples, about a second on two cores: both later requests arrive while it renders.
    auto slow = later(R"({"settings": {"width": 32, "height": 24, "jitter": 499}})", 0);
    auto waiting = later(R"({"camera": {"fov": 20}, "settings": {"width": 32, "height": 24}})", 100);
    auto newest = later(R"({"camera": {"fov": 21}, "settings": {"width": 32, "height": 24}})", 200);
    EXPECT_EQ(slow.get(), 200);
    EXPECT_EQ(waiting.get(), 409);
    EXPECT_EQ(newest.get(), 200);
}

// Save writes the still of the view at the tool's size to the tool's outputs, and the scene file that makes
// it; the copied scene is that file.
TEST_F(Viewer, SaveWritesTheStillAndItsScene) {
    const std::string body = R"({"view": {"camera": {"eye": [0, 300, 1]}, "settings": {"width": 20, "height": 10}}})";
    const Reply copied = post("/scene", body);
    ASSERT_EQ(copied.status, 200) << copied.body;
    const Reply saved = post("/save", body);
    ASSERT_EQ(saved.status, 200) << saved.body;
    const Json reply = Json::parse(saved.body);
    const fs::path scenePath = dir_ / "still.json";
    EXPECT_EQ(reply["written"], Json({(dir_ / "still.png").string(), (dir_ / "still.exr").string(), scenePath}));
    EXPECT_EQ(reply["command"], "taluna-render --scene " + scenePath.string());
    std::ifstream file(scenePath);
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    EXPECT_EQ(text, copied.body);
    const Json scene = Json::parse(text);
    EXPECT_EQ(scene["camera"]["eye"], Json({0.0, 300.0, 1.0}));
    EXPECT_EQ(scene["settings"]["width"], 64);
    EXPECT_EQ(scene["camera"]["fit"], false);
    std::ifstream png(dir_ / "still.png", std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(png)), {});
    EXPECT_EQ(decodePng(image).size(), 64u * 48u * 4u);
}

// taluna-render --serve over HTTP: the URL it prints, 403 without the token, 400 for a bad size, a frame, and
// a clean stop on Ctrl-C.
TEST(ViewerTool, ServesUntilInterrupted) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(TALUNA_RENDER_TOOL, TALUNA_RENDER_TOOL, "--backend", "cpu", "--count", "20000", "--size", "64x48",
              "--quiet", "--serve", "0", nullptr);
        _exit(127);
    }
    close(out[1]);
    FILE* stream = fdopen(out[0], "r");
    char line[512] = {};
    std::string url;
    while (url.rfind("viewer: ", 0) != 0 && fgets(line, sizeof line, stream)) url = line;
    ASSERT_EQ(url.rfind("viewer: http://127.0.0.1:", 0), 0u) << url;
    const size_t colon = url.find(':', 14), slash = url.find('/', colon), token = url.find("token=");
    httplib::Client client("127.0.0.1", std::stoi(url.substr(colon + 1, slash - colon - 1)));
    const std::string tokenText = url.substr(token + 6, url.find('\n') - token - 6);

    EXPECT_EQ(client.Get("/?token=wrong")->status, 403);
    EXPECT_EQ(client.Get("/info")->status, 403);
    const auto bad = client.Post("/frame?token=" + tokenText, R"({"view": {"settings": {"width": 99999}}})",
                                 "application/json");
    EXPECT_EQ(bad->status, 400);
    EXPECT_NE(bad->body.find("view.settings.width: expected an integer from 1 to 65535"), std::string::npos);
    EXPECT_EQ(client.Post("/frame?token=" + tokenText, "{}", "application/json")->status, 200);
    EXPECT_EQ(client.Post("/frame?token=" + tokenText, std::string(100000, '{'), "application/json")->status, 413);

    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_NE(fgets(line, sizeof line, stream), nullptr);
    EXPECT_STREQ(line, "viewer: stopped\n");
    fclose(stream);
}

}  // namespace
