// The viewer's server (taluna-render --serve) on arbitrary bytes, sent over the loopback to a server running
// in this process on a small cloud. Input byte 0 even: the rest is a whole request, read by the HTTP parser;
// odd: the rest is the body of a frame request with the token, read by the view's checks and rendered. The
// server answers with a status line or closes the connection, and still answers a good request afterwards;
// a crash or a hang is a finding.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "fuzz_support.h"
#include "viewer/viewer_server.h"

namespace {

taluna::Api api;  // the library linked into this program, not loaded
// Serves until the process ends: never destroyed, since its thread runs to the end.
taluna::viewer::ViewerServer* server = nullptr;
int port = 0;

// Sends `request`, then reads one answer: up to the end of its body, or until the server closes the
// connection. The connection stays open for writing (the server answers no half-closed connection).
std::string exchange(const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    FUZZ_CHECK(fd >= 0, "a socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "connecting to the viewer");
    const timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may close early on a request it refuses
        sent += static_cast<size_t>(n);
    }
    std::string reply;
    char buffer[65536];
    for (;;) {
        const size_t end = reply.find("\r\n\r\n");
        if (end != std::string::npos) {
            const size_t length = reply.find("Content-Length: ");
            const size_t body = length < end ? std::strtoull(reply.c_str() + length + 16, nullptr, 10) : 0;
            if (reply.size() >= end + 4 + body) break;
        }
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) break;
        FUZZ_CHECK(n > 0, "an answer within 10 s");
        reply.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return reply;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    api.apiVersion = tlApiVersion, api.create = tlCreate, api.destroy = tlDestroy, api.lastError = tlLastError;
    api.deviceInfo = tlDeviceInfo, api.reserve = tlReserve, api.upload = tlUpload, api.setCount = tlSetCount;
    api.getCount = tlGetCount, api.generateTestCloud = tlGenerateTestCloud, api.render = tlRender;
    api.savePNG = tlSavePNG, api.saveEXR = tlSaveEXR, api.accumulate = tlAccumulate, api.resolve = tlResolve;
    TLContext* ctx = tlCreate(0);
    FUZZ_CHECK(ctx && tlGenerateTestCloud(ctx, 2000, 1, 0) == 0, "a test cloud");
    taluna::render::Scene scene;
    scene.settings.width = 16, scene.settings.height = 12;
    scene.outputs = {"/proc/nonexistent/still.png"};  // save fails with a message and writes nothing
    taluna::viewer::ServeOptions options;
    options.port = 0, options.token = "fuzz", options.idleSeconds = 1;
    // Small frames and passes keep an input's renders short; the checks are the same at any limit.
    options.limits = {64, 64, 16, 4};
    server = new taluna::viewer::ViewerServer(api, ctx, scene, 2000, options);
    std::string error;
    FUZZ_CHECK(server->bind(&error), error);
    const std::string url = server->url();
    port = std::stoi(url.substr(url.rfind(':') + 1));
    std::thread([] { server->run(); }).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1)
        rest = "POST /frame?token=fuzz HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(rest.size()) +
               "\r\n\r\n" + rest;
    const std::string reply = exchange(rest);
    FUZZ_CHECK(reply.empty() || reply.rfind("HTTP/1.1 ", 0) == 0, "a status line: " + reply.substr(0, 80));
    const std::string info = exchange("GET /info?token=fuzz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    FUZZ_CHECK(info.rfind("HTTP/1.1 200 ", 0) == 0, "the server still answers: " + info.substr(0, 80));
    return 0;
}
