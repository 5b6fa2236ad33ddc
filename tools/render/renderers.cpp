#include "render/renderers.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "render/colormap.h"
#include "render/views.h"

namespace taluna::render {

bool Renderer::save(const std::vector<OutputPattern>& outputs, int frame, const std::vector<TLFloat4>& image,
                    const ImageFormat& format, bool keepGoing, std::vector<std::string>* written,
                    std::string* error) const {
    bool ok = true;
    for (const OutputPattern& o : outputs) {
        const std::string path = o.path(frame);
        std::string why;
        if (!writeImage(b_.api, path, o.kind(), scene_.settings.width, scene_.settings.height, &image[0].x, format,
                        &why)) {
            *error += (ok ? "" : "\n") + why;
            ok = false;
            if (!keepGoing) return false;
            continue;
        }
        written->push_back(path);
    }
    return ok;
}

TLCamera Renderer::view(int frame) const {
    if (scene_.orbitFrames == 0) return camera_;
    return orbitCamera(camera_, static_cast<double>(scene_.turntableDegrees) * frame / scene_.orbitFrames);
}

bool OnePieceRenderer::render(int frame, std::vector<TLFloat4>& image, float* deviceMs) {
    const TLRenderSettings& s = scene_.settings;
    const std::vector<TLLight>& lights = scene_.lights;
    const TLCamera camera = view(frame);
    if (b_.api.render(b_.ctx, &camera, &s, scene_.lit() ? lights.data() : nullptr,
                      scene_.lit() ? static_cast<int>(lights.size()) : 0, nullptr, image.data(), deviceMs) != 0) {
        std::fprintf(stderr, "taluna-render: render: %s\n", b_.api.lastError(b_.ctx));
        return false;
    }
    finish(image);
    return true;
}

// The tone curve is 1 - exp(-exposure * sum). The plain path's sums grow in proportion to the intensity, so
// one render whose percentile is neither saturated nor lost in rounding gives the answer: the tone curve
// inverted.
bool autoExpose(Renderer& renderer, Scene& scene) {
    float& intensity = scene.settings.intensity;
    const float given = intensity;
    std::vector<TLFloat4> image(renderer.pixels());
    for (int attempt = 0; attempt < 6; ++attempt) {
        float deviceMs = 0.0f;
        if (!renderer.render(0, image, &deviceMs)) return false;
        std::vector<float> lit;
        for (const TLFloat4& p : image)
            if (const float v = std::fmax(p.x, std::fmax(p.y, p.z)); v > 0.0f) lit.push_back(v);
        if (lit.empty()) break;
        const double high = percentile(lit, 99.0);
        const double sum = -std::log1p(-high);  // exposure * sum, up to the float rounding of the tone curve
        if (high > 0.999) {
            intensity /= 1000.0f;  // saturated: the sum cannot be read back
        } else if (sum < 1e-5) {
            intensity *= 1000.0f;  // too faint to read back precisely
        } else {
            const double chosen = intensity * std::log(5.0) / sum;
            if (!(chosen > 0.0) || chosen > 1e30) break;
            intensity = static_cast<float>(chosen);
            std::printf("auto exposure: --intensity %.3g\n", intensity);
            return true;
        }
    }
    intensity = given;
    std::fprintf(stderr,
                 "taluna-render: warning: auto exposure found no lit pixel to measure; keeping "
                 "--intensity %g\n",
                 intensity);
    return true;
}

bool StreamedRenderer::render(int frame, std::vector<TLFloat4>& image, float* deviceMs) {
    *deviceMs = -1.0f;
    auto held = held_.find(frame);
    if (held == held_.end()) {
        if (!pass(frame)) return false;
        held = held_.find(frame);
    }
    if (ranks_ && ranks_->rank() != 0) {  // rank 0 holds the sums of every rank
        held_.erase(held);
        return true;
    }
    const TLRenderSettings& s = settings_;
    const bool ok = b_.api.resolve(s.width, s.height, s.exposure * held->second.exposureScale, held->second.sums.data(),
                                   nullptr, image.data()) == 0;
    held_.erase(held);
    if (!ok) {
        std::fprintf(stderr, "taluna-render: cannot resolve a %dx%d frame\n", s.width, s.height);
        return false;
    }
    finish(image);
    return true;
}

// Accumulates `frame` and the frames after it in the order of rendering that kSumsBudget holds.
bool StreamedRenderer::pass(int frame) {
    const uint64_t perFrame = pixels() * sizeof(TLFloat4) * b_.devices.size();
    const size_t most = static_cast<size_t>(std::max<uint64_t>(1, kSumsBudget / perFrame));
    std::vector<int> batch = {frame};
    auto next = std::find(order_.begin(), order_.end(), frame);
    if (next != order_.end()) ++next;
    for (; next != order_.end() && batch.size() < most; ++next) batch.push_back(*next);
    // Frame 0 sets the exposure of an orbit, even one resumed after it.
    const size_t measured = std::find(batch.begin(), batch.end(), 0) - batch.begin();
    std::vector<TLCamera> views;
    for (const int f : batch) views.push_back(view(f));
    if (expose_ && measured == batch.size()) views.push_back(view(0));
    std::vector<std::vector<TLFloat4>> sums(views.size(), std::vector<TLFloat4>(pixels(), TLFloat4{0, 0, 0, 0}));
    PassResult result;
    std::string error;
    const bool ok =
        accumulatePass(b_.api, b_.devices, source_, chunk_, settings_, views, sums, passProgress_, &result, &error);
    if (ranks_ && !spread(ok, sums, &result, &error)) {
        if (ranks_->rank() == 0) std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
        return false;
    }
    if (!ok) {
        std::fprintf(stderr, "taluna-render: %s\n", error.c_str());
        return false;
    }
    if (!reported_) {
        reported_ = true;
        for (const std::string& warning : result.warnings)
            std::fprintf(stderr, "taluna-render: warning: %s: %s\n", source_.label.c_str(), warning.c_str());
        if (source_.open && result.particles == 0) {
            std::fprintf(stderr, "taluna-render: %s: no particles to render\n", source_.label.c_str());
            return false;
        }
        const std::string from = source_.open ? "from " + source_.label : "of the galaxy";
        std::printf("%s %llu particles %s in %llu chunk%s\n", source_.open ? "read" : "generated",
                    static_cast<unsigned long long>(result.particles), from.c_str(),
                    static_cast<unsigned long long>(result.chunks), result.chunks == 1 ? "" : "s");
    }
    particles_ = result.particles;
    float scale = 1.0f;
    if (expose_) {
        expose_ = false;
        if (!ranks_ || ranks_->rank() == 0) scale = exposureScale(sums[measured]);
    }
    for (size_t i = 0; i < batch.size(); ++i) held_[batch[i]] = Held{std::move(sums[i]), scale};
    return true;
}

// After a pass on every rank: whether all of them succeeded (else false everywhere, with the message of the
// rank that failed), then the sums of all ranks added up on rank 0 and the particles counted over all of
// them. Every rank makes the same calls, whatever happened on it.
bool StreamedRenderer::spread(bool ok, std::vector<std::vector<TLFloat4>>& sums, PassResult* result,
                              std::string* error) {
    if (!ranks_->agree(ok, error)) return false;
    for (std::vector<TLFloat4>& s : sums)
        if (!ranks_->reduceToRoot(&s[0].x, 4 * s.size(), error)) return false;
    const uint64_t mine = result->particles;
    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(&mine), reinterpret_cast<const uint8_t*>(&mine + 1));
    std::vector<std::vector<uint8_t>> all;
    if (!ranks_->allGather(bytes, &all, error)) return false;
    result->particles = 0;
    for (const std::vector<uint8_t>& b : all) {
        uint64_t n = 0;
        std::memcpy(&n, b.data(), std::min(b.size(), sizeof n));
        result->particles += n;
    }
    return true;
}

// Auto exposure from the sums of frame 0: the factor that brings the 99th percentile of the lit pixels (by
// their brightest channel) to 0.8 on the tone curve, which is also the factor of the intensity.
float StreamedRenderer::exposureScale(const std::vector<TLFloat4>& sums) {
    float& intensity = settings_.intensity;
    std::vector<float> lit;
    for (const TLFloat4& p : sums)
        if (const float v = std::fmax(p.x, std::fmax(p.y, p.z)); v > 0.0f) lit.push_back(v);
    const double sum = lit.empty() ? 0.0 : settings_.exposure * percentile(lit, 99.0);
    const double chosen = intensity * std::log(5.0) / sum;
    if (!(sum > 0.0) || !(chosen > 0.0) || chosen > 1e30) {
        std::fprintf(stderr,
                     "taluna-render: warning: auto exposure found no lit pixel to measure; keeping "
                     "--intensity %g\n",
                     intensity);
        return 1.0f;
    }
    const float scale = static_cast<float>(chosen / intensity);
    intensity = static_cast<float>(chosen);
    std::printf("auto exposure: --intensity %.3g\n", intensity);
    return scale;
}

}  // namespace taluna::render
