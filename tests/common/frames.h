// Varied frames for the thread tests and the soak: sizes, both paths, 0 to 8 lights, projections, blurs.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "taluna.h"

namespace taluna::testing {

struct FrameSpec {
    TLCamera camera{};
    TLRenderSettings settings{};
    std::vector<TLLight> lights;
};

struct Frame {
    std::vector<TLUChar4> rgba;
    std::vector<TLFloat4> floats;
};

// Frame k of the sequence; every third frame (k % 3 == 1) is lit, with (k / 3) % 9 lights.
inline FrameSpec variedFrame(int k) {
    static constexpr int kSizes[][2] = {{64, 48}, {32, 32}, {96, 54}, {17, 9}, {128, 72}, {1, 1}, {200, 10}};
    FrameSpec f;
    TLCamera& c = f.camera;
    c.eye = TLV3{40.0f * float(k % 5) - 80.0f, 60.0f, 160.0f}, c.up = TLV3{0.0f, 1.0f, 0.0f}, c.fovY = 50.0f;
    if (k % 4 == 3) {
        c.projection = TL_PROJECTION_PANORAMA;
        c.eye = TLV3{0.0f, 5.0f, 0.0f};
        c.target = TLV3{0.0f, 0.0f, -1.0f};
        c.eyeOffset = k % 8 == 3 ? 0.03f : 0.0f;
    }
    if (k % 6 == 2) c.aperture = 1.5f, c.focusDistance = 150.0f;
    TLRenderSettings& s = f.settings;
    s.width = kSizes[k % 7][0], s.height = kSizes[k % 7][1];
    s.intensity = 1.0f, s.exposure = 1.5f;
    s.samples = 1 + k % 3, s.jitterCount = k % 2, s.jitterSigma = 0.5f;
    s.shutter = k % 5 == 0 ? 2.0f : 0.0f;
    s.seed = uint32_t(k);
    s.lightingMode = k % 3 == 1 ? TL_LIGHTING_LIT : TL_LIGHTING_PLAIN;
    s.density = 1.0f, s.ambient = 0.05f, s.anisotropy = 0.3f;
    s.shadowMapSize = 16 + 8 * (k % 4), s.shadowSlices = 4 + 4 * (k % 3), s.depthSlices = 8 + 4 * (k % 2);
    f.lights.assign(size_t((k / 3) % 9), TLLight{});
    for (size_t l = 0; l < f.lights.size(); ++l) {
        TLLight& light = f.lights[l];
        light.kind = int32_t(l % 3), light.falloff = int32_t(l % 7), light.castShadows = (k + int(l)) % 2;
        light.position[0] = 30.0f * float(l) - 100.0f, light.position[1] = 80.0f;
        light.direction[1] = -1.0f, light.direction[2] = 0.2f * float(l);
        light.color[0] = light.color[1] = light.color[2] = 1.0f;
        light.outerAngle = 60.0f, light.innerAngle = 30.0f, light.range = 100.0f;
    }
    return f;
}

// Renders into out (resized); outputs bit 0: the 8-bit image, bit 1: the float one. tlRender's result.
inline int renderFrame(TLContext* ctx, const FrameSpec& f, Frame& out, int outputs = 3, float* ms = nullptr) {
    const size_t pixels = size_t(f.settings.width) * size_t(f.settings.height);
    out.rgba.resize(pixels);
    out.floats.resize(pixels);
    return tlRender(ctx, &f.camera, &f.settings, f.lights.data(), int(f.lights.size()),
                    outputs & 1 ? out.rgba.data() : nullptr, outputs & 2 ? out.floats.data() : nullptr, ms);
}

// "" when two renders agree up to the order of float additions (1e-5 relative, bytes within 1), else where not.
inline std::string frameDifference(const Frame& a, const Frame& b) {
    if (a.floats.size() != b.floats.size()) return "sizes differ";
    for (size_t i = 0; i < a.floats.size(); ++i) {
        for (int ch = 0; ch < 4; ++ch) {
            const float x = (&a.floats[i].x)[ch], y = (&b.floats[i].x)[ch];
            const int bx = (&a.rgba[i].x)[ch], by = (&b.rgba[i].x)[ch];
            if (!(std::fabs(x - y) <= 1e-5f * std::fmax(1.0f, std::fabs(y))) || std::abs(bx - by) > 1)
                return "pixel " + std::to_string(i) + ", channel " + std::to_string(ch) + ": " + std::to_string(x) +
                       " / " + std::to_string(bx) + " against " + std::to_string(y) + " / " + std::to_string(by);
        }
    }
    return "";
}

// A context holding the test cloud; null (with the reason in error) when that fails.
inline TLContext* cloudContext(uint64_t particles, uint32_t seed, bool velocity, std::string& error) {
    TLContext* ctx = tlCreate(0);
    if (ctx && !tlLastError(ctx)[0] && tlGenerateTestCloud(ctx, particles, seed, velocity) == 0) return ctx;
    error = ctx ? tlLastError(ctx) : "no context";
    tlDestroy(ctx);
    return nullptr;
}

}  // namespace taluna::testing
