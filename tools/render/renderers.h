// The frames of taluna-render: the whole cloud on one device (tlRender), or the cloud in chunks over one
// device or several, whose sums are resolved into each frame (streaming.h). Both hand out finished images;
// writing them is the caller's.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/taluna_loader.h"
#include "render/outputs.h"
#include "render/ranks.h"
#include "render/scene.h"
#include "render/streaming.h"

namespace taluna::render {

// The library and its contexts.
struct Backend {
    taluna::Api api;
    TLContext* ctx = nullptr;
    std::vector<Device> devices;  // ctx on the first listed device, then a context per further entry
    Backend() = default;
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;
    ~Backend() {
        for (const Device& d : devices)
            if (d.ctx != ctx) api.destroy(d.ctx);
        if (ctx) api.destroy(ctx);
    }
};

// Renders the scene's frames: frame f of an orbit is the view turned by its share of the turntable; a still
// and a benchmark render frame 0, the camera.
class Renderer {
public:
    Renderer(Backend& b, const Scene& scene, const TLCamera& camera) : b_(b), scene_(scene), camera_(camera) {}
    virtual ~Renderer() = default;

    size_t pixels() const { return static_cast<size_t>(scene_.settings.width) * scene_.settings.height; }

    // One frame into `image` (pixels() of them); false after printing why. *deviceMs: the time the frame
    // took on the device, or -1 for a frame made of many calls.
    virtual bool render(int frame, std::vector<TLFloat4>& image, float* deviceMs) = 0;
    // Particles in the last frame.
    virtual uint64_t particles() const = 0;

    // Writes frame `frame` to every output; with keepGoing the remaining outputs are still tried after a
    // failure. Returns the paths written, or false with why one was not (each reason on its own line).
    // Called from several threads at once while a sequence is written.
    bool save(const std::vector<OutputPattern>& outputs, int frame, const std::vector<TLFloat4>& image,
              const ImageFormat& format, bool keepGoing, std::vector<std::string>* written, std::string* error) const;

protected:
    TLCamera view(int frame) const;
    // The image is premultiplied, so putting it over black only makes every pixel opaque.
    void finish(std::vector<TLFloat4>& image) const {
        if (!scene_.transparent)
            for (TLFloat4& p : image) p.w = 1.0f;
    }

    Backend& b_;
    const Scene& scene_;
    const TLCamera camera_;
};

// The whole cloud on the first device, a frame per tlRender.
class OnePieceRenderer : public Renderer {
public:
    OnePieceRenderer(Backend& b, const Scene& scene, const TLCamera& camera, uint64_t count)
        : Renderer(b, scene, camera), count_(count) {}

    bool render(int frame, std::vector<TLFloat4>& image, float* deviceMs) override;
    uint64_t particles() const override { return count_; }

private:
    uint64_t count_;
};

// Sets the intensity that puts the 99th percentile of the lit pixels (by their brightest channel) at 0.8
// on the tone curve, from a render of frame 0. False after printing the library's message.
bool autoExpose(Renderer& renderer, Scene& scene);

// The cloud in chunks, over one device or several (streaming.h). A sequence is neither streamed once per
// frame nor once for all its frames: a pass accumulates the next frames to render together, as many as
// kSumsBudget holds, since reading the cloud costs as much as rendering it or more (a 4M-particle raw file
// took twice its 1080p frame on the CPU library), every frame again if each frame read it; but the sums of
// every frame (frames x pixels x 16 bytes per device: 4 GB for 120 frames of 1080p) would outgrow the host,
// and no frame could be written before the last chunk. The frames of a pass are then resolved and written
// one by one, as the one-piece path writes them, so --resume and the writers work alike.
class StreamedRenderer : public Renderer {
public:
    // Host memory for the sums of the frames of one pass, all devices together.
    static constexpr uint64_t kSumsBudget = uint64_t{2} << 30;

    // `order`: the frames in the order they will be asked for; `passProgress`: a bar over each pass.
    StreamedRenderer(Backend& b, Scene& scene, const TLCamera& camera, CloudSource source, uint64_t chunk,
                     std::vector<int> order, bool passProgress)
        : Renderer(b, scene, camera),
          settings_(scene.settings),
          source_(std::move(source)),
          chunk_(chunk),
          order_(std::move(order)),
          passProgress_(passProgress) {}

    // The first pass measures frame 0's sums, scales the intensity (auto exposure without a render of its
    // own) and resolves its own frames with the scale.
    void exposeOnFirstPass() { expose_ = true; }

    // Under mpirun: every rank streams its share of the cloud, and each pass's sums are added up on rank 0,
    // which alone resolves frames; a failure on any rank fails the pass on all of them, with its message.
    void spreadOver(Ranks& ranks) { ranks_ = &ranks; }

    bool render(int frame, std::vector<TLFloat4>& image, float* deviceMs) override;
    uint64_t particles() const override { return particles_; }

private:
    struct Held {
        std::vector<TLFloat4> sums;
        float exposureScale;  // for sums accumulated before auto exposure chose the intensity
    };

    bool pass(int frame);
    bool spread(bool ok, std::vector<std::vector<TLFloat4>>& sums, PassResult* result, std::string* error);
    float exposureScale(const std::vector<TLFloat4>& sums);

    TLRenderSettings& settings_;  // the scene's: auto exposure sets the intensity
    CloudSource source_;
    uint64_t chunk_;
    std::vector<int> order_;
    bool passProgress_;
    Ranks* ranks_ = nullptr;
    bool expose_ = false;
    bool reported_ = false;
    uint64_t particles_ = 0;
    std::map<int, Held> held_;
};

}  // namespace taluna::render
