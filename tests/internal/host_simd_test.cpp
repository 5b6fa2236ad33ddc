// The CPU launchers' vector math must give the very bits of the scalar functions it mirrors.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cpu/light_lanes.h"
#include "cpu/projection_lanes.h"
#include "cpu/simd.h"
#include "kernels/lit_shading.h"
#include "kernels/sampling.h"
#include "render/frame.h"

namespace {

using tl::simd::kLanes;
using tl::simd::VF;

template <class Lanes, class Scalar>
void expectSameBits(const std::vector<float>& inputs, Lanes&& lanes, Scalar&& scalar, const char* what) {
    int bad = 0;
    for (size_t start = 0; start < inputs.size(); start += kLanes) {
        VF x, got;
        for (int l = 0; l < kLanes; ++l) x[l] = inputs[(start + l) % inputs.size()];
        lanes(x, got);
        for (int l = 0; l < kLanes; ++l)
            if (tl::floatBits(got[l]) != tl::floatBits(scalar(x[l])) && ++bad <= 5)
                ADD_FAILURE() << what << "(" << x[l] << " = 0x" << std::hex << tl::floatBits(x[l]) << ") gives 0x"
                              << tl::floatBits(got[l]) << ", the scalar function 0x" << tl::floatBits(scalar(x[l]));
    }
    EXPECT_EQ(bad, 0) << what;
}

// Float bit patterns spread over the whole range, the special values and the ends of exp's range.
std::vector<float> sweep(uint32_t stride) {
    std::vector<float> out;
    for (uint64_t b = 0; b <= 0xFFFFFFFFull; b += stride) out.push_back(tl::bitsFloat(static_cast<uint32_t>(b)));
    for (uint32_t s : {0x80000000u, 0x7F800000u, 0xFF800000u, 0x7FC12345u, 0xFFC00001u, 0x1u, 0x007FFFFFu})
        out.push_back(tl::bitsFloat(s));
    for (float v : {89.0f, 88.99999f, 89.00001f, -104.0f, -103.99999f, -104.00001f}) out.push_back(v);
    return out;
}

}  // namespace

TEST(HostSimd, ExpLogAndSinCosMatchTheScalarFunctions) {
    // exp over the whole range, and densely where the result is neither 0 nor infinite.
    std::vector<float> exps = sweep(997), positive, angles;
    for (float v = -105.0f; v < 90.0f; v += 0.000731f) exps.push_back(v);
    expectSameBits(exps, [](const VF& x, VF& y) { y = tl::simd::expF(x); }, [](float v) { return tl::expF(v); }, "exp");
    for (float v : sweep(991))
        if (v > 0.0f && v < tl::bitsFloat(0x7F800000u)) positive.push_back(v);
    for (uint32_t u = 0; u < (1u << 24); u += 7) positive.push_back(std::max(tl::uniform(u << 8), 1e-7f));
    expectSameBits(positive, [](const VF& x, VF& y) { y = tl::simd::logPositiveF(x); },
                   [](float v) { return tl::logF(v); }, "log");
    for (float v = -1000.0f; v < 1000.0f; v += 0.00173f) angles.push_back(v);
    for (uint32_t u = 0; u < (1u << 24); u += 5) angles.push_back(6.2831855f * tl::uniform(u << 8));
    expectSameBits(angles, [](const VF& x, VF& y) { VF c; tl::simd::sinCosF(x, &y, &c); },
                   [](float v) { return tl::sinF(v); }, "sin");
    expectSameBits(angles, [](const VF& x, VF& y) { VF s; tl::simd::sinCosF(x, &s, &y); },
                   [](float v) { return tl::cosF(v); }, "cos");
}

TEST(HostSimd, CopyJitterLanesMatchCopyJitter) {
    int bad = 0;
    for (uint64_t base : {0ull, 1000000ull, (1ull << 32) - 3, 0xFFFFFFFFFFFFFFF0ull}) {
        for (uint64_t start = 0; start < 400000; start += kLanes) {
            uint64_t particle[kLanes];
            uint32_t copy[kLanes];
            float x[kLanes], y[kLanes], z[kLanes];
            for (int l = 0; l < kLanes; ++l)
                particle[l] = base + (start + l) / 3, copy[l] = 1 + static_cast<uint32_t>((start + l) % 3) * 1000;
            const float sigma = 0.25f + static_cast<float>(start % 7);
            tl::simd::copyJitterLanes(particle, copy, sigma, x, y, z);
            for (int l = 0; l < kLanes; ++l) {
                const TLV3 want = tl::copyJitter(particle[l], copy[l], sigma), got{x[l], y[l], z[l]};
                if (std::memcmp(&got, &want, sizeof got) != 0 && ++bad <= 5) ADD_FAILURE() << particle[l] << " " << copy[l];
            }
        }
    }
    EXPECT_EQ(bad, 0);
}

TEST(HostSimd, ProjectLanesMatchTheScalarProjectionAndDepth) {
    const TLCamera camera{.eye = {0.3f, 2, 5}, .target = {0, 0, 0}, .up = {0, 1, 0}, .fovY = 55};
    const TLRenderSettings settings{.width = 333, .height = 211};
    const TLFrame f = tl::buildFrame(camera, settings);
    ASSERT_TRUE(tl::cpu::projectsInLanes(f));
    uint32_t state = 17;
    auto coordinate = [&](float span) { return (tl::uniform(state = tl::nextState(state)) - 0.5f) * span; };
    int bad = 0, seen = 0;
    for (int batch = 0; batch < 20000; ++batch) {
        float x[kLanes], y[kLanes], z[kLanes], depth[kLanes], footprint[kLanes];
        uint32_t pixel[kLanes];
        for (int l = 0; l < kLanes; ++l) x[l] = coordinate(12), y[l] = coordinate(8), z[l] = coordinate(14);
        tl::cpu::projectLanes(f, x, y, z, pixel, depth, footprint);
        for (int l = 0; l < kLanes; ++l) {
            uint32_t s = 0;
            tl::CameraHit hit;
            const bool in = tl::projectToCamera(f, TLV3{x[l], y[l], z[l]}, s, hit);
            bool same = in == (pixel[l] != tl::cpu::kCulledPixel);
            if (in && same) {
                const tl::SampleDepth sd = tl::sampleDepth(f, hit);
                same = pixel[l] == tl::pixelIndex(f, hit) && tl::floatBits(depth[l]) == tl::floatBits(sd.depth) &&
                       tl::floatBits(footprint[l]) == tl::floatBits(sd.footprint);
                ++seen;
            }
            if (!same && ++bad <= 5) ADD_FAILURE() << "point " << x[l] << ", " << y[l] << ", " << z[l];
        }
    }
    EXPECT_EQ(bad, 0);
    EXPECT_GT(seen, 20000) << "points in the image";
}

// Every light kind and falloff, with and without a phase, over points near and far (one at the light
// and one at the eye among them): the lanes give lightTerm's reach, and its intensity's bits.
TEST(HostSimd, LightIntensityLanesMatchTheScalarLightTerm) {
    tl::LitConstants vc{};
    vc.eye[0] = 1, vc.eye[1] = 2, vc.eye[2] = 6;
    std::vector<tl::LitLight> lights;
    tl::LitLight sun{};
    sun.kind = TL_LIGHT_DIRECTIONAL, sun.direction[0] = 0.6f, sun.direction[1] = -0.8f;
    lights.push_back(sun);
    for (int32_t falloff : {TL_FALLOFF_INVERSE_SQUARE, TL_FALLOFF_INVERSE_SQUARE_CLAMPED, TL_FALLOFF_INVERSE,
                            TL_FALLOFF_INVERSE_CLAMPED, TL_FALLOFF_LINEAR, TL_FALLOFF_CUTOFF, 99}) {
        tl::LitLight bulb{};
        bulb.kind = TL_LIGHT_POINT, bulb.position[1] = 2, bulb.falloff = falloff, bulb.range = 4, bulb.innerRange = 1;
        lights.push_back(bulb);
    }
    tl::LitLight spot = lights[1];
    spot.kind = TL_LIGHT_SPOT, spot.direction[1] = -1, spot.cosInner = 0.9f, spot.cosOuter = 0.5f;
    lights.push_back(spot);
    spot.cosInner = spot.cosOuter;  // a hard edge
    lights.push_back(spot);
    uint32_t state = 5;
    auto coordinate = [&](float span) { return (tl::uniform(state = tl::nextState(state)) - 0.5f) * span; };
    int bad = 0, reached = 0;
    for (const float g : {0.0f, 0.3f, -0.95f}) {
        vc.anisotropy = g;
        for (const tl::LitLight& light : lights) {
            for (int batch = 0; batch < 500; ++batch) {
                float x[kLanes], y[kLanes], z[kLanes], vx[kLanes], vy[kLanes], vz[kLanes], intensity[kLanes];
                int32_t reaches[kLanes];
                for (int l = 0; l < kLanes; ++l) x[l] = coordinate(12), y[l] = coordinate(8), z[l] = coordinate(14);
                if (batch == 0) {
                    // At the light, at the eye, and exactly at the inner range and the range below the light.
                    x[0] = light.position[0], y[0] = light.position[1], z[0] = light.position[2];
                    x[1] = vc.eye[0], y[1] = vc.eye[1], z[1] = vc.eye[2];
                    x[2] = x[3] = light.position[0], z[2] = z[3] = light.position[2];
                    y[2] = light.position[1] - light.innerRange, y[3] = light.position[1] - light.range;
                }
                tl::cpu::viewDirectionLanes(vc, x, y, z, vx, vy, vz);
                tl::cpu::lightIntensityLanes(vc, light, x, y, z, vx, vy, vz, intensity, reaches);
                for (int l = 0; l < kLanes; ++l) {
                    tl::ViewDirection view;
                    const tl::LightTerm t = tl::lightTerm(vc, light, nullptr, TLV3{x[l], y[l], z[l]}, view);
                    const bool same = t.reaches == (reaches[l] != 0) &&
                                      (!t.reaches || tl::floatBits(t.intensity) == tl::floatBits(intensity[l]));
                    reached += t.reaches;
                    if (!same && ++bad <= 5)
                        ADD_FAILURE() << "light kind " << light.kind << " falloff " << light.falloff << " g " << g
                                      << " at " << x[l] << ", " << y[l] << ", " << z[l];
                }
            }
        }
    }
    EXPECT_EQ(bad, 0);
    EXPECT_GT(reached, 100000) << "points the lights reach";
}
