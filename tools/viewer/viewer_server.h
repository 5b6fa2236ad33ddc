// The live viewer: an HTTP server on one context's cloud that serves one page (viewer.html, built in) and
// renders the frames the page asks for, one at a time, with the newest request first.
//
// Every request carries the token printed in the URL (?token=...); without it the answer is 403. Frame,
// copy and save requests are read by parseViewRequest (400 with its message). Only one render runs at a
// time; a frame request still waiting when a newer one arrives is answered 409 without rendering. While
// the view stays, the page asks for refinement passes: each adds the sums of another render of the view
// whose jitter copies and samples are drawn afresh, and the frame shown is their mean.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/taluna_loader.h"
#include "render/outputs.h"
#include "viewer/view_request.h"

namespace taluna::viewer {

struct ServeOptions {
    std::string bind = "127.0.0.1";
    int port = 8765;        // 0: any free port (url() names it)
    std::string token;      // empty: 32 random hexadecimal digits
    std::string backend;    // shown in the status line ("CPU", "CUDA")
    // The command that renders a saved scene file, e.g. "taluna-render --backend cpu"; empty where no tool
    // holds the cloud (Python), and then save names no command.
    std::string stillCommand;
    int idleSeconds = 5;  // how long a connection may wait for the rest of a request, or for the next one
    render::ExrCompression exrCompression = render::ExrCompression::None;  // of a saved still's EXR files
    Limits limits;
};

// One answer, as the HTTP layer sends it.
struct Reply {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::map<std::string, std::string> headers;
};

class ViewerServer {
public:
    // `scene` is what the tool would render as a still (its camera already fitted and its intensity
    // chosen); the context holds `particles` particles. The context is used by this server's render thread
    // alone until the server is destroyed.
    ViewerServer(const Api& api, TLContext* ctx, const Scene& scene, uint64_t particles, ServeOptions options);
    ~ViewerServer();
    ViewerServer(const ViewerServer&) = delete;
    ViewerServer& operator=(const ViewerServer&) = delete;

    // Binds the address; false with a message (address in use, bad address).
    bool bind(std::string* error);
    // http://ADDRESS:PORT/?token=TOKEN, once bound.
    std::string url() const;
    // Answers requests until stop(); returns at once when not bound.
    void run();
    // Makes run() return after the requests in progress, or keeps a later run() from starting. Safe from any
    // thread, not from a signal handler.
    void stop();

    // The answer to one request, without the network: what run() sends for each. `token` is the request's
    // token parameter (null when absent). Safe to call from several threads at once.
    Reply handle(const std::string& method, const std::string& path, const std::string* token,
                 const std::string& body);

private:
    struct Frame;
    Reply info() const;
    Reply frame(const std::string& body);
    Reply scene(const std::string& body) const;
    Reply save(const std::string& body);
    bool renderPass(const ViewRequest& request, Frame& frame, double* ms, std::string* error);
    Reply encode(const ViewRequest& request, const Frame& frame, double ms);

    const Api& api_;
    TLContext* ctx_;
    Scene scene_;
    Json base_;
    uint64_t particles_;
    ServeOptions options_;
    int port_ = 0;
    std::atomic<bool> running_{false}, stopping_{false};
    std::atomic<uint64_t> newest_{0};  // the number of the newest frame request
    std::mutex renderMutex_;           // one render (and its frame buffers) at a time
    std::unique_ptr<Frame> frame_;     // the frame shown, kept for refinement; guarded by renderMutex_
    struct Http;
    std::unique_ptr<Http> http_;
};

// `taluna-render --serve`: serves until SIGINT or SIGTERM (Ctrl-C), then stops cleanly. Prints the URL on
// stdout. Returns the tool's exit status.
int serveUntilInterrupted(ViewerServer& server);

}  // namespace taluna::viewer
