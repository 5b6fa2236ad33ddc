// The per-sample steps every splatting kernel shares: the work decomposition, the placement of a
// sample (copy jitter, sample stream, motion blur) and the camera projection. No random state is
// stored: a work item's draws come from the hash of (particle, copy, sample, seed), so every kernel
// that runs these steps on one frame puts a work item at the same point and the same pixel.
#pragma once

#include "kernels/hash.h"
#include "kernels/portable.h"
#include "kernels/frame.h"

namespace tl {

constexpr float kTwoPi = 6.2831855f;
constexpr float kInvTwoPi = 0.15915494f;
constexpr float kHalfPi = 1.5707963f;
// Lower bound of a uniform number before its logarithm.
constexpr float kLogFloor = 1.0e-7f;
// Odd multiplier that spreads a particle index's low word before the copy's hash.
constexpr uint32_t kParticleSpread = 0x9E3779B1u;

// The first state of the stream of copy k of the particle whose index has the words lo and hi.
template <class U>
TL_HD U copyJitterState(U lo, U hi, U k) {
    return hashBits((lo * kParticleSpread) ^ hashBits(k + hi));
}

// Work items of one particle are adjacent; within a particle the copies follow each other, and
// within a copy its samples.
struct WorkItem {
    uint64_t i;  // particle
    uint32_t k;  // copy, 0 = the particle itself
    uint32_t j;  // sample of that copy
};

// Work items per particle: samples x (jitterCount + 1), at most about 2^62.
TL_HD uint64_t workPerParticle(const TLFrame& f) {
    const uint64_t samples = f.samples > 0 ? static_cast<uint64_t>(f.samples) : 1u;
    const uint64_t copies = f.jitterCount > 0 ? static_cast<uint64_t>(f.jitterCount) + 1u : 1u;
    return samples * copies;
}

TL_HD WorkItem decomposeWork(const TLFrame& f, uint64_t w) {
    const uint64_t samples = f.samples > 0 ? static_cast<uint64_t>(f.samples) : 1u;
    const uint64_t per = workPerParticle(f);
    WorkItem item;
    item.i = w / per;
    const uint64_t r = w - item.i * per;
    const uint64_t k = r / samples;
    item.k = static_cast<uint32_t>(k);
    item.j = static_cast<uint32_t>(r - k * samples);
    return item;
}

// The Gaussian offset of copy k >= 1 of particle i. It depends on i and k alone, so all samples of a
// copy share it and it is the same in every frame and for every seed.
TL_HD TLV3 copyJitter(uint64_t i, uint32_t k, float sigma) {
    const uint32_t lo = static_cast<uint32_t>(i);
    const uint32_t hi = static_cast<uint32_t>(i >> 32);
    const uint32_t s0 = copyJitterState(lo, hi, k);
    const uint32_t s1 = nextState(s0);
    const uint32_t s2 = nextState(s1);
    const uint32_t s3 = nextState(s2);
    const uint32_t s4 = nextState(s3);
    float u1 = uniform(s1);
    float u3 = uniform(s3);
    u1 = u1 > kLogFloor ? u1 : kLogFloor;
    u3 = u3 > kLogFloor ? u3 : kLogFloor;
    const float u2 = uniform(s2);
    const float u4 = uniform(s4);
    const float rho1 = sqrtF(-2.0f * logF(u1));
    const float rho2 = sqrtF(-2.0f * logF(u3));
    float sin2, cos2;
    sinCosF(kTwoPi * u2, &sin2, &cos2);
    const float cos4 = cosF(kTwoPi * u4);
    return TLV3{sigma * rho1 * cos2, sigma * rho1 * sin2, sigma * rho2 * cos4};
}

// Start of the sample stream of work item (i, k, j).
TL_HD uint32_t sampleState(uint64_t i, uint32_t k, uint32_t j, uint32_t seed) {
    const uint32_t lo = static_cast<uint32_t>(i);
    const uint32_t hi = static_cast<uint32_t>(i >> 32);
    return lowbias32(lo ^ lowbias32(hi + 0x68BC21EBu) ^ lowbias32(k * 0x27D4EB2Du + j * 0x165667B1u + seed));
}

// Particle i of the store in the whole cloud: the index its jitter and samples are drawn from.
TL_HD uint64_t cloudIndex(const TLFrame& f, uint64_t i) {
    return i + (static_cast<uint64_t>(f.firstIndex[1]) << 32 | f.firstIndex[0]);
}

// Motion blur is on only with a velocity array and a positive shutter.
TL_HD bool motionBlurOn(const TLFrame& f, const TLV3* velocities) { return velocities && f.shutter > 0.0f; }

// Moves p along the particle's velocity to the sample's time in [-shutter/2, shutter/2); advances s.
TL_HD TLV3 applyMotion(const TLFrame& f, TLV3 p, TLV3 v, uint32_t& s) {
    s = nextState(s);
    const float t = (uniform(s) - 0.5f) * f.shutter;
    return TLV3{p.x + v.x * t, p.y + v.y * t, p.z + v.z * t};
}

struct PlacedSample {
    uint64_t i;
    uint32_t k;
    uint32_t j;
    TLV3 p;      // world position after copy jitter and motion blur
    uint32_t s;  // hash state; later steps keep drawing from it
};

TL_HD PlacedSample placeSample(const TLFrame& f, const TLV3* positions, const TLV3* velocities, uint64_t w) {
    const WorkItem item = decomposeWork(f, w);
    PlacedSample out;
    out.i = item.i;
    out.k = item.k;
    out.j = item.j;
    out.p = positions[item.i];
    const uint64_t index = cloudIndex(f, item.i);
    if (item.k >= 1) {
        const TLV3 o = copyJitter(index, item.k, f.jitterSigma);
        out.p = TLV3{out.p.x + o.x, out.p.y + o.y, out.p.z + o.z};
    }
    out.s = sampleState(index, item.k, item.j, f.seed);
    if (motionBlurOn(f, velocities)) out.p = applyMotion(f, out.p, velocities[item.i], out.s);
    return out;
}

struct ViewPoint {
    float x, y, z;  // view space: x right, y up, the camera looks down -z
};

TL_HD ViewPoint toView(const TLFrame& f, TLV3 p) {
    ViewPoint v;
    v.x = f.viewX[0] * p.x + f.viewX[1] * p.y + f.viewX[2] * p.z + f.viewX[3];
    v.y = f.viewY[0] * p.x + f.viewY[1] * p.y + f.viewY[2] * p.z + f.viewY[3];
    v.z = f.viewZ[0] * p.x + f.viewZ[1] * p.y + f.viewZ[2] * p.z + f.viewZ[3];
    return v;
}

// Whether the lens moves samples: only then does the projection draw from the hash state.
TL_HD bool depthOfFieldOn(const TLFrame& f) { return f.panorama != TL_PROJECTION_PANORAMA && f.aperture > 0.0f; }

struct CameraHit {
    int32_t px, py;  // 0 <= px < width, 0 <= py < height; row 0 is the top
    float x, y, z;   // view coordinates of the sample
    float d;         // panorama: horizontal distance along the eye's ray (after the stereo correction)
    float phi;       // panorama: elevation; both 0 for the perspective camera
};

// Turns continuous image coordinates into a pixel; false (culled) outside the image or for NaN.
TL_HD bool toPixel(const TLFrame& f, float fx, float fy, CameraHit& hit) {
    if (!(fx >= 0.0f) || !(fy >= 0.0f)) return false;
    if (fx >= static_cast<float>(f.width) || fy >= static_cast<float>(f.height)) return false;
    hit.px = static_cast<int32_t>(fx);
    hit.py = static_cast<int32_t>(fy);
    // Guards the buffers even where float(width) rounds above width.
    return hit.px < f.width && hit.py < f.height;
}

// Perspective projection of view point v with depth of field; may advance s (lens draws).
TL_HD bool projectPerspective(const TLFrame& f, ViewPoint v, uint32_t& s, CameraHit& hit) {
    if (f.nearClip >= -v.z) return false;
    const float q = -1.0f / v.z;
    float sx = v.x * q;
    float sy = v.y * q;
    if (f.aperture > 0.0f) {
        s = nextState(s);
        const float radius = f.aperture * sqrtF(uniform(s));
        s = nextState(s);
        const float theta = uniform(s) * kTwoPi;
        float sinT, cosT;
        sinCosF(theta, &sinT, &cosT);
        const float c = f.invFocus - q;
        sx += c * radius * cosT;
        sy += c * radius * sinT;
    }
    const float fx = (sx * f.scaleX * 0.5f + 0.5f) * static_cast<float>(f.width);
    const float fy = (1.0f - (sy * f.scaleY * 0.5f + 0.5f)) * static_cast<float>(f.height);
    hit.d = 0.0f;
    hit.phi = 0.0f;
    return toPixel(f, fx, fy, hit);
}

// Fade of the stereo separation near the poles: 1 away from them, 0 at the pole itself.
TL_HD float poleFade(const TLFrame& f, float y, float d) {
    const float phi0 = atan2F(y, d);
    const int b = (phi0 < 0.0f || isNaN(phi0)) ? 1 : 0;
    const float band = f.poleAngle[b];
    const float g = kHalfPi - (phi0 < 0.0f ? -phi0 : phi0);
    if (f.poleMode[b] == 0 || !(band > 0.0f) || !(g < band)) return 1.0f;
    float linear = g / band;
    linear = linear > 0.0f ? linear : 0.0f;
    if (f.poleMode[b] != 2) return linear;
    const float e = f.poleExponent[b] > 0.0f ? f.poleExponent[b] : 1.0f;
    return powF(linear, e);
}

// Equirectangular panorama (azimuth across, elevation down the image) with the stereo eye offset,
// toe-in, nodal offset and pole fade.
TL_HD bool projectPanorama(const TLFrame& f, ViewPoint v, CameraHit& hit) {
    float d = sqrtF(v.x * v.x + v.z * v.z);
    float theta = atan2F(v.x, -v.z);
    if (f.eyeOffset != 0.0f) {
        float h = f.eyeOffset < 0.0f ? -f.eyeOffset : f.eyeOffset;
        const float e = f.eyeOffset > 0.0f ? 1.0f : -1.0f;
        if (f.poleMode[0] != 0 || f.poleMode[1] != 0) h = h * poleFade(f, v.y, d);
        const float a = f.convergence > 0.0f ? atanF(h / f.convergence) : 0.0f;
        float sinA, cosA;
        sinCosF(a, &sinA, &cosA);
        const float r = e * (h * cosA + f.nodalOffset * sinA);
        if ((r < 0.0f ? -r : r) >= d) return false;  // inside the eye circle
        theta = theta - asinF(r / d) + e * a;
        d = sqrtF(d * d - r * r) + h * sinA - f.nodalOffset * cosA;
    }
    if (d <= f.nearClip) return false;
    const float phi = atan2F(v.y, d);
    float u = theta - f.lonMin;
    u = u - kTwoPi * floorF(u * kInvTwoPi);
    if (u >= f.lonSpan) return false;
    const float fx = (u / f.lonSpan) * static_cast<float>(f.width);
    const float fy = ((f.latMax - phi) / f.latSpan) * static_cast<float>(f.height);
    hit.d = d;
    hit.phi = phi;
    return toPixel(f, fx, fy, hit);
}

// Projects world position p through the frame's camera. False when the sample is culled; otherwise
// hit holds the pixel and the view values. Advances s when the lens draws (depth of field).
TL_HD bool projectToCamera(const TLFrame& f, TLV3 p, uint32_t& s, CameraHit& hit) {
    const ViewPoint v = toView(f, p);
    hit.x = v.x;
    hit.y = v.y;
    hit.z = v.z;
    if (f.panorama == TL_PROJECTION_PANORAMA) return projectPanorama(f, v, hit);
    return projectPerspective(f, v, s, hit);
}

// Pixel record index of a hit (four floats per pixel in the accumulator).
TL_HD uint64_t pixelIndex(const TLFrame& f, const CameraHit& hit) {
    return static_cast<uint64_t>(hit.py) * static_cast<uint64_t>(f.width) + static_cast<uint64_t>(hit.px);
}

}  // namespace tl
