// The camera side of the lighting path per sample: the depth and pixel footprint of a projected
// sample, its share of the pixel (the deposit weight), its deposit into the camera depth map
// (kCamSplat), and its single-scattering shade with falloff, cone, phase and shadows (kShade).
// kCamSplat and kShade place and project the same samples in the same order, so each shaded sample
// finds its own deposit in the camera depth map.
#pragma once

#include "kernels/deep_maps.h"
#include "kernels/sampling.h"
#include "kernels/shadow_maps.h"
#include "kernels/lit_constants.h"

namespace tl {

constexpr float kLightEpsilon = 1e-6f;
// Samples whose visible weight is at most this add nothing.
constexpr float kMinVisibleWeight = 1e-7f;

struct SampleDepth {
    float depth;      // perspective: -z; panorama: distance from the eye along the ray
    float footprint;  // area one pixel covers at the sample, across the ray
};

TL_HD SampleDepth sampleDepth(const TLFrame& f, const CameraHit& hit) {
    SampleDepth s;
    if (f.panorama == TL_PROJECTION_PANORAMA) {
        s.depth = sqrtF(hit.d * hit.d + hit.y * hit.y);
        const float c = cosF(hit.phi);
        s.footprint = f.pixelArea * (s.depth * s.depth) * (c > 0.0f ? c : 0.0f);
    } else {
        s.depth = -hit.z;
        s.footprint = f.pixelArea * (hit.z * hit.z) * (s.depth / sqrtF(hit.x * hit.x + hit.y * hit.y + hit.z * hit.z));
    }
    return s;
}

// Share of its pixel that a sample of cross-section a covers: a / max(footprint, a), 1 when the
// sample is larger than the pixel. A cross-section of 0 gives 0, also where the footprint is 0 too
// (a panorama's poles), which a plain division would turn into NaN.
TL_HD float depositWeight(float a, float footprint) {
    if (!(a > 0.0f)) return 0.0f;
    return footprint > a ? a / footprint : 1.0f;
}

TL_HD SlicePosition cameraSlice(const LitConstants& vc, float depth) {
    return slicePosition(depth - vc.depthNear, vc.depthScale, vc.depthSlices);
}

TL_HD uint64_t cameraColumn(const TLFrame& f, const CameraHit& hit, int32_t slices) {
    return pixelIndex(f, hit) * static_cast<uint64_t>(slices);
}

// Where a projected sample sits in its pixel's column of the camera depth map, and its share of the
// pixel: what kCamSplat deposits and kShade reads back.
struct CameraDeposit {
    SlicePosition slice;
    float w;
};

TL_HD CameraDeposit cameraDeposit(const LitConstants& vc, SampleDepth sd) {
    CameraDeposit d;
    d.slice = cameraSlice(vc, sd.depth);
    d.w = depositWeight(vc.sampleCrossSection, sd.footprint);
    return d;
}

// kCamSplat's deposit of a projected sample: its share of the pixel, split between the two slices
// around its depth.
TL_HD void camSplatHit(const LitConstants& vc, const TLFrame& f, const CameraHit& hit, float* cameraDepth) {
    const CameraDeposit d = cameraDeposit(vc, sampleDepth(f, hit));
    depositSlices(DeepColumn{cameraDepth + cameraColumn(f, hit, vc.depthSlices), 1}, vc.depthSlices, d.slice, d.w);
}

// Work item w of kCamSplat.
TL_HD void camSplatItem(const LitConstants& vc, const TLFrame& f, const TLV3* positions, const TLV3* velocities,
                        uint64_t w, float* cameraDepth) {
    if (!(vc.sampleCrossSection > 0.0f)) return;  // every deposit would be 0
    PlacedSample sample = placeSample(f, positions, velocities, w);
    CameraHit hit;
    if (!projectToCamera(f, sample.p, sample.s, hit)) return;
    camSplatHit(vc, f, hit, cameraDepth);
}

// Distance attenuation of falloff mode `mode` at distance r (range R, inner range R0).
TL_HD float falloffAttenuation(int32_t mode, float R, float R0, float r) {
    switch (mode) {
        case TL_FALLOFF_INVERSE_SQUARE:
        case TL_FALLOFF_INVERSE_SQUARE_CLAMPED: {
            if (!(R > 0.0f)) return 1.0f;
            const float r2 = r * r;
            const float a = R * R / (r2 > kLightEpsilon ? r2 : kLightEpsilon);
            return mode == TL_FALLOFF_INVERSE_SQUARE_CLAMPED && a > 1.0f ? 1.0f : a;
        }
        case TL_FALLOFF_INVERSE:
        case TL_FALLOFF_INVERSE_CLAMPED: {
            if (!(R > 0.0f)) return 1.0f;
            const float a = R / (r > kLightEpsilon ? r : kLightEpsilon);
            return mode == TL_FALLOFF_INVERSE_CLAMPED && a > 1.0f ? 1.0f : a;
        }
        case TL_FALLOFF_LINEAR: {
            if (r <= R0) return 1.0f;
            if (r >= R) return 0.0f;
            const float span = R - R0;
            return (R - r) / (span > kLightEpsilon ? span : kLightEpsilon);
        }
        case TL_FALLOFF_CUTOFF: return r <= R ? 1.0f : 0.0f;
        default: return 1.0f;
    }
}

// Spot cone at cosine c from the axis: smoothstep from the outer to the inner cone, a hard edge when
// the two cones (nearly) coincide.
TL_HD float coneFactor(float c, float cosInner, float cosOuter) {
    const float width = cosInner - cosOuter;
    if (width <= kLightEpsilon) return c >= cosOuter ? 1.0f : 0.0f;
    float x = (c - cosOuter) / width;
    x = x > 0.0f ? x : 0.0f;
    x = x < 1.0f ? x : 1.0f;
    return x * x * (3.0f - 2.0f * x);
}

// Henyey-Greenstein phase at cos = V . L, scaled so an isotropic medium gives 1; exactly 1 for
// |g| < 1e-4. The host keeps |g| <= 0.95, so q stays positive.
TL_HD float phaseFactor(float g, float cosVL) {
    if (absF(g) < 1e-4f) return 1.0f;
    const float q = 1.0f + g * g + 2.0f * g * cosVL;
    return (1.0f - g * g) / (q * sqrtF(q));
}

struct Rgb {
    float r, g, b;
};

// The unit vector from a sample towards the eye, found once when a light first needs it (zero for a
// sample at the eye).
struct ViewDirection {
    TLV3 v{0.0f, 0.0f, 0.0f};
    bool known = false;

    TL_HD TLV3 at(const LitConstants& vc, TLV3 p) {
        if (!known) {
            v = TLV3{vc.eye[0] - p.x, vc.eye[1] - p.y, vc.eye[2] - p.z};
            const float len = sqrtF(v.x * v.x + v.y * v.y + v.z * v.z);
            v = len > 0.0f ? TLV3{v.x / len, v.y / len, v.z / len} : TLV3{0.0f, 0.0f, 0.0f};
            known = true;
        }
        return v;
    }
};

// What one light sends to a sample at p: its falloff, cone and phase, and the optical depth of its
// shadow there (0 without shadow views or outside them), which dims it by exp(-tau).
struct LightTerm {
    bool reaches;  // false: the light adds nothing, and no shadow was looked up
    float intensity;
    float tau;
};

TL_HD LightTerm lightTerm(const LitConstants& vc, const LitLight& light, const float* shadowMaps, TLV3 p,
                          ViewDirection& view) {
    LightTerm t{false, 1.0f, 0.0f};
    TLV3 toLight;
    if (light.kind == TL_LIGHT_DIRECTIONAL) {
        toLight = TLV3{-light.direction[0], -light.direction[1], -light.direction[2]};
    } else {
        const TLV3 d{light.position[0] - p.x, light.position[1] - p.y, light.position[2] - p.z};
        const float r = sqrtF(d.x * d.x + d.y * d.y + d.z * d.z);
        if (!(r > kLightEpsilon)) return t;  // the light sits on the sample
        toLight = TLV3{d.x / r, d.y / r, d.z / r};
        t.intensity = falloffAttenuation(light.falloff, light.range, light.innerRange, r);
        if (light.kind == TL_LIGHT_SPOT) {
            const float c =
                -(toLight.x * light.direction[0] + toLight.y * light.direction[1] + toLight.z * light.direction[2]);
            t.intensity = t.intensity * coneFactor(c, light.cosInner, light.cosOuter);
        }
    }
    if (!(t.intensity > 0.0f)) return t;
    const TLV3 v = view.at(vc, p);
    t.intensity = t.intensity * phaseFactor(vc.anisotropy, v.x * toLight.x + v.y * toLight.y + v.z * toLight.z);
    const int32_t m = shadowViewFor(light, p);
    if (m >= 0) t.tau = shadowDepth(vc.shadowViews[m], shadowMaps, p);
    t.reaches = true;
    return t;
}

// Adds a light's dimmed intensity (exp(-tau) is exactly 1 without a shadow) in its colour.
TL_HD void addLight(Rgb& e, const LitLight& light, float intensity) {
    e.r = e.r + intensity * light.color[0];
    e.g = e.g + intensity * light.color[1];
    e.b = e.b + intensity * light.color[2];
}

// Light received at p from every light of the block, starting at baseLight (ambient not included).
TL_HD Rgb receivedLight(const LitConstants& vc, const float* shadowMaps, TLV3 p) {
    Rgb e{vc.baseLight[0], vc.baseLight[1], vc.baseLight[2]};
    ViewDirection view;
    for (int32_t l = 0; l < vc.lightCount; ++l) {
        const LightTerm t = lightTerm(vc, vc.lights[l], shadowMaps, p, view);
        if (t.reaches) addLight(e, vc.lights[l], t.intensity * expF(-t.tau));
    }
    return e;
}

// What decides how much of a sample is seen: the optical depth in front of it, read from the
// prefix-summed camera depth map (which holds half of the sample's own deposit too), and its own
// deposit weight.
struct Visibility {
    float tau;
    float w;
};

// The visibility of a sample deposited as d into `column`, once the map is prefix-summed.
TL_HD Visibility visibilityIn(const float* column, CameraDeposit d) {
    Visibility v;
    v.tau = readSlices(DeepColumn{const_cast<float*>(column), 1}, d.slice);
    v.w = d.w;
    return v;
}

TL_HD Visibility sampleVisibility(const LitConstants& vc, const TLFrame& f, const CameraHit& hit,
                                  const float* cameraDepth) {
    return visibilityIn(cameraDepth + cameraColumn(f, hit, vc.depthSlices), cameraDeposit(vc, sampleDepth(f, hit)));
}

// The sample's own opacity 1 - exp(-w), dimmed by the cloud in front of it.
TL_HD float visibleWeight(Visibility v) { return expF(-v.tau) * (1.0f - expF(-v.w)); }

// The radiance a visible sample of particle colour c that receives light e adds to its pixel, weighted.
TL_HD Rgb radianceOf(const LitConstants& vc, TLUChar4 c, float weight, const Rgb& e) {
    const float k = 0.0039215689f;
    Rgb out;
    out.r = weight * (static_cast<float>(c.x) * k * (e.r + vc.ambient));
    out.g = weight * (static_cast<float>(c.y) * k * (e.g + vc.ambient));
    out.b = weight * (static_cast<float>(c.z) * k * (e.b + vc.ambient));
    return out;
}

TL_HD Rgb litRadiance(const LitConstants& vc, const float* shadowMaps, TLV3 p, TLUChar4 c, float weight) {
    return radianceOf(vc, c, weight, receivedLight(vc, shadowMaps, p));
}

// What a projected sample at p with particle colour c adds to its pixel: false when its visible
// weight is too small to matter (then lights, colour and phase are not evaluated).
TL_HD bool shadeHit(const LitConstants& vc, const TLFrame& f, const CameraHit& hit, TLV3 p, TLUChar4 c,
                    const float* shadowMaps, const float* cameraDepth, Rgb& out) {
    const float weight = visibleWeight(sampleVisibility(vc, f, hit, cameraDepth));
    if (!(weight > kMinVisibleWeight)) return false;
    out = litRadiance(vc, shadowMaps, p, c, weight);
    return true;
}

TL_HD void addRgb(float* pixel, const Rgb& v) {
    atomicAddF(pixel + 0, v.r);
    atomicAddF(pixel + 1, v.g);
    atomicAddF(pixel + 2, v.b);
}

// Work item w of kShade.
TL_HD void shadeItem(const LitConstants& vc, const TLFrame& f, const TLV3* positions, const TLUChar4* colors,
                     const TLV3* velocities, uint64_t w, const float* shadowMaps, const float* cameraDepth,
                     float* accumulator) {
    if (!(vc.sampleCrossSection > 0.0f)) return;  // every sample is transparent
    PlacedSample sample = placeSample(f, positions, velocities, w);
    CameraHit hit;
    if (!projectToCamera(f, sample.p, sample.s, hit)) return;
    Rgb add;
    if (shadeHit(vc, f, hit, sample.p, colors[sample.i], shadowMaps, cameraDepth, add))
        addRgb(accumulator + 4u * pixelIndex(f, hit), add);
}

}  // namespace tl
