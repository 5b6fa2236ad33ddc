#include "render/render_driver.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "render/frame.h"

namespace tl {
namespace {

constexpr uint32_t kBlock = 256;

}  // namespace

// After a failed allocation the recorded size stays 0 x 0, so the next call starts over.
Status ensurePixelBuffers(PixelBuffers& b, int32_t width, int32_t height) {
    if (width == b.width && height == b.height) return {};
    b.accumulator.release();
    b.image.release();
    b.imageFloat.release();
    b.totalDepth.release();
    b.width = b.height = 0;
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (Status s = b.accumulator.grow(4 * pixels, "cudaMalloc accumulator")) return s;
    if (Status s = b.image.grow(pixels, "cudaMalloc image")) return s;
    if (Status s = b.imageFloat.grow(pixels, "cudaMalloc image (float)")) return s;
    if (Status s = b.totalDepth.grow(pixels, "cudaMalloc total depth")) return s;
    b.width = width;
    b.height = height;
    return {};
}

namespace {

// Copies a device image into the caller's memory, through the page-locked staging buffer where there
// is one (the caller's memory is pageable: a GPU copies into it at a fraction of the speed).
Status download(StagingBuffer& staging, void* dst, const void* src, size_t bytes, const char* step) {
    void* stage = staging.reserve(bytes);
    if (!stage) return Status::failed(step, gpu::copyToHost(dst, src, bytes));
    if (Status s = Status::failed(step, gpu::copyToHost(stage, src, bytes))) return s;
    std::memcpy(dst, stage, bytes);
    return {};
}

// Samples of a frame: count x (jitterCount + 1) x samples with the settings' clamps; false when the
// product does not fit 64 bits.
bool workCount(uint64_t count, const TLRenderSettings& s, uint64_t* n) {
    const uint64_t copies = s.jitterCount > 0 ? static_cast<uint64_t>(s.jitterCount) + 1u : 1u;
    const uint64_t samples = s.samples > 0 ? static_cast<uint64_t>(s.samples) : 1u;
    uint64_t perParticle = 0;
    return !__builtin_mul_overflow(copies, samples, &perParticle) && !__builtin_mul_overflow(count, perParticle, n);
}

// The plain path's sums: the accumulator cleared, then every sample added (velocities already chosen).
Status splatPlain(const TLRenderSettings& settings, const TLFrame& frame, const ParticleArrays& particles,
                  float* accumulator, int multiprocessors) {
    const char* step = "launch render kernel";
    const uint64_t pixels = static_cast<uint64_t>(settings.width) * static_cast<uint64_t>(settings.height);
    if (Status s = Status::failed(step, gpu::memsetAsync(accumulator, 0, pixels * 16ull))) return s;
    uint64_t n = 0;
    workCount(particles.count, settings, &n);
    if (n == 0) return {};
    const LaunchConfig splat{gridSizeFor(n, kBlock, multiprocessors), kBlock};
    return Status::failed(step, launchSplat(splat, frame, particles.positions, particles.colors, particles.velocities,
                                            n, accumulator));
}

// The frame's GPU work between the two events; launch failures are reported as the launch's step.
Status issueFrame(const FrameRequest& r, FrameResources& res, const TLFrame& frame, int multiprocessors) {
    const char* step = "launch render kernel";
    PixelBuffers& px = res.pixels;
    const int32_t pixelCount = r.settings->width * r.settings->height;
    const LaunchConfig resolve{static_cast<uint32_t>((static_cast<uint64_t>(pixelCount) + kBlock - 1) / kBlock),
                               kBlock};
    TLUChar4* image = r.rgbaOut ? px.image.get() : nullptr;
    TLFloat4* imageFloat = r.floatOut ? px.imageFloat.get() : nullptr;
    ParticleArrays particles = res.particles;
    if (!(frame.shutter > 0.0f)) particles.velocities = nullptr;
    if (r.settings->lightingMode == TL_LIGHTING_LIT) {
        const LitFrame lit{r.camera,    r.settings,           &frame, r.lights, r.lightCount, particles,
                           px.accumulator.get(), px.totalDepth.get(), multiprocessors};
        if (Status s = runLitPass(res.lit, lit)) return s;
        return Status::failed(step, launchResolveVol(resolve, px.accumulator.get(), px.totalDepth.get(), image,
                                                     imageFloat, pixelCount, r.settings->exposure));
    }
    if (Status s = splatPlain(*r.settings, frame, particles, px.accumulator.get(), multiprocessors)) return s;
    return Status::failed(step, launchResolve(resolve, px.accumulator.get(), image, imageFloat, pixelCount,
                                              r.settings->exposure));
}

}  // namespace

Status checkFrameRequest(const FrameRequest& r, uint64_t particleCount) {
    // The kernels and copies count pixels in 32 bits: larger images are refused, as are frames whose
    // sample count does not fit 64 bits.
    uint64_t n = 0;
    if (!r.camera || !r.settings || r.settings->width < 1 || r.settings->height < 1 ||
        static_cast<uint64_t>(r.settings->width) * static_cast<uint64_t>(r.settings->height) > INT32_MAX ||
        !workCount(particleCount, *r.settings, &n))
        return Status{"tlRender: invalid parameters"};
    return {};
}

void resolveSums(const TLFloat4* sums, TLUChar4* rgbaOut, TLFloat4* floatOut, int32_t pixelCount, float exposure) {
    resolveOnHost(&sums[0].x, rgbaOut, floatOut, pixelCount, exposure);
}

Status checkAccumulation(const FrameRequest& r, uint64_t particleCount, uint64_t firstIndex, const TLFloat4* sums) {
    if (checkFrameRequest(r, particleCount) || !sums || particleCount > UINT64_MAX - firstIndex)
        return Status{"tlAccumulate: invalid parameters"};
    if (r.settings->lightingMode == TL_LIGHTING_LIT)
        return Status{"tlAccumulate: the lit path renders on one device only: use tlRender"};
    return {};
}

Status accumulateFrame(const FrameRequest& r, FrameResources& res, uint64_t firstIndex, TLFloat4* sums) {
    if (Status s = ensurePixelBuffers(res.pixels, r.settings->width, r.settings->height)) return s;
    const size_t floats = 4 * static_cast<size_t>(r.settings->width) * static_cast<size_t>(r.settings->height);
    int multiprocessors = 0;
    gpu::multiProcessorCount(&multiprocessors, res.device);
    TLFrame frame = buildFrame(*r.camera, *r.settings);
    frame.firstIndex[0] = static_cast<uint32_t>(firstIndex);
    frame.firstIndex[1] = static_cast<uint32_t>(firstIndex >> 32);
    ParticleArrays particles = res.particles;
    if (!(frame.shutter > 0.0f)) particles.velocities = nullptr;

    float* accumulator = res.pixels.accumulator.get();
    if (Status s = splatPlain(*r.settings, frame, particles, accumulator, multiprocessors)) return s;
    gpu::eventRecord(res.stop);
    if (Status s = Status::failed("run render kernel", gpu::eventSynchronize(res.stop))) return s;

    // The sums come to host memory whole (through the staging buffer, or a host array where there is
    // none) before any is added, so a failed download leaves the caller's sums as they were.
    float* stage = static_cast<float*>(res.pixels.staging.reserve(floats * sizeof(float)));
    std::vector<float> host;
    if (!stage) {
        host.resize(floats);
        stage = host.data();
    }
    if (Status s = Status::failed("download sums", gpu::copyToHost(stage, accumulator, floats * sizeof(float))))
        return s;
    float* out = &sums[0].x;
    for (size_t i = 0; i < floats; ++i) out[i] += stage[i];
    return {};
}

Status renderFrame(const FrameRequest& r, FrameResources& res) {
    if (Status s = ensurePixelBuffers(res.pixels, r.settings->width, r.settings->height)) return s;
    const size_t pixelCount = static_cast<size_t>(r.settings->width) * static_cast<size_t>(r.settings->height);
    int multiprocessors = 0;
    gpu::multiProcessorCount(&multiprocessors, res.device);  // unknown: the launch size assumes 64
    const TLFrame frame = buildFrame(*r.camera, *r.settings);

    gpu::eventRecord(res.start);
    if (Status s = issueFrame(r, res, frame, multiprocessors)) return s;
    gpu::eventRecord(res.stop);
    if (Status s = Status::failed("run render kernel", gpu::eventSynchronize(res.stop))) return s;
    if (r.msOut) {
        float ms = 0.0f;
        gpu::eventElapsedTime(&ms, res.start, res.stop);
        *r.msOut = ms;
    }
    if (r.rgbaOut) {
        if (Status s = download(res.pixels.staging, r.rgbaOut, res.pixels.image.get(), pixelCount * sizeof(TLUChar4),
                                "download image"))
            return s;
    }
    if (r.floatOut) {
        if (Status s = download(res.pixels.staging, r.floatOut, res.pixels.imageFloat.get(),
                                pixelCount * sizeof(TLFloat4), "download image (float)"))
            return s;
    }
    return {};
}

}  // namespace tl
