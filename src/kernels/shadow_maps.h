// Shadow maps per item: the light-space view a sample falls into, the deposit of a particle copy's
// cross-section into a view's deep map (kLightSplat), and the bilinear lookup of the optical depth
// from the light to a point (kShade).
#pragma once

#include "kernels/deep_maps.h"
#include "kernels/sampling.h"
#include "kernels/lit_constants.h"

namespace tl {

// Largest footprint of one deposit, in texels per side.
constexpr int32_t kMaxFootprint = 15;

TL_HD float absF(float x) { return x < 0.0f ? -x : x; }

// Cube face (+X, -X, +Y, -Y, +Z, -Z) of the direction r from a point light; a NaN x picks -X.
TL_HD int32_t cubeFace(float rx, float ry, float rz) {
    const float ax = absF(rx), ay = absF(ry), az = absF(rz);
    if (!(ax < ay) && !(ax < az)) return rx >= 0.0f ? 0 : 1;
    if (ay >= az) return ry >= 0.0f ? 2 : 3;
    return rz >= 0.0f ? 4 : 5;
}

// The view of light l that sees p, or -1 when the light casts no shadows.
TL_HD int32_t shadowViewFor(const LitLight& light, TLV3 p) {
    if (light.viewCount < 1) return -1;
    if (light.viewCount == 1) return light.firstView;
    return light.firstView + cubeFace(p.x - light.position[0], p.y - light.position[1], p.z - light.position[2]);
}

// A point in a light view: light-space coordinates and continuous texel position.
struct LightTexel {
    float x, y, z;
    float tx, ty;
};

// False when p is outside the view: off the map, NaN, or not beyond a perspective view's near limit.
TL_HD bool lightTexel(const ShadowView& v, TLV3 p, LightTexel& out) {
    out.x = rowDot(v.rowX, p);
    out.y = rowDot(v.rowY, p);
    out.z = rowDot(v.rowZ, p);
    float u, w;
    if (v.ortho != 0) {
        u = out.x * v.scaleX;
        w = out.y * v.scaleY;
    } else {
        if (out.z <= v.near) return false;
        u = out.x * v.scaleX / out.z;
        w = out.y * v.scaleY / out.z;
    }
    const float n = static_cast<float>(v.resolution);
    out.tx = (0.5f * u + 0.5f) * n;
    out.ty = (0.5f - 0.5f * w) * n;
    if (!(out.tx >= 0.0f && out.ty >= 0.0f && out.tx < n && out.ty < n)) return false;
    // Guards the map even where float(resolution) rounds above the resolution.
    return static_cast<int32_t>(out.tx) < v.resolution && static_cast<int32_t>(out.ty) < v.resolution;
}

// Slice position of light-space depth z: linear from depthOrigin, or logarithmic for perspective views.
TL_HD SlicePosition lightSlice(const ShadowView& v, float z) {
    const float d = v.logDepth == 0 ? z - v.depthOrigin : logF((z > v.depthOrigin ? z : v.depthOrigin) / v.depthOrigin);
    return slicePosition(d, v.depthScale, v.slices);
}

// A view's map holds its rows of texels one after the other, each row slice by slice (DeepColumn).
TL_HD DeepColumn texelColumn(float* map, const ShadowView& v, int32_t x, int32_t y) {
    const uint64_t n = static_cast<uint64_t>(v.resolution);
    return DeepColumn{map + n * static_cast<uint64_t>(v.slices) * static_cast<uint64_t>(y) + static_cast<uint64_t>(x), n};
}
TL_HD DeepColumn texelColumn(const float* map, const ShadowView& v, int32_t x, int32_t y) {
    return texelColumn(const_cast<float*>(map), v, x, y);
}

// Deposits density w at texel position (tx, ty). Up to a texel's worth (w <= 1) goes into the one
// texel; more is spread evenly over a square of about w texels, at most 15 x 15; parts of the square
// off the map are lost. map is the view's own map (the buffer plus mapOffset).
TL_HD void splatFootprint(float* map, const ShadowView& v, float tx, float ty, SlicePosition slice, float w) {
    if (w <= 1.0f) {
        if (w == 0.0f) return;  // nothing to add
        depositSlices(texelColumn(map, v, static_cast<int32_t>(tx), static_cast<int32_t>(ty)), v.slices, slice, w);
        return;
    }
    const int32_t c = floatToInt(-floorF(-sqrtF(w)));  // ceil; NaN gives 0
    if (c < 1) return;
    const int32_t q = c < kMaxFootprint ? c : kMaxFootprint;
    const float half = 0.5f * static_cast<float>(q);
    const int32_t x0 = floatToInt(floorF(tx - half + 0.5f));
    const int32_t y0 = floatToInt(floorF(ty - half + 0.5f));
    const float share = w / static_cast<float>(q * q);
    for (int32_t y = y0 > 0 ? y0 : 0; y < y0 + q && y < v.resolution; ++y) {
        for (int32_t x = x0 > 0 ? x0 : 0; x < x0 + q && x < v.resolution; ++x) {
            depositSlices(texelColumn(map, v, x, y), v.slices, slice, share);
        }
    }
}

// kLightSplat's deposits of a particle copy at p into the view of every shadow-casting light that
// sees it, carrying copyCrossSection over the area the texel covers there.
TL_HD void lightSplatPoint(const LitConstants& vc, TLV3 p, float* shadowMaps) {
    for (int32_t l = 0; l < vc.lightCount; ++l) {
        const int32_t m = shadowViewFor(vc.lights[l], p);
        if (m < 0) continue;
        const ShadowView& v = vc.shadowViews[m];
        LightTexel t;
        if (!lightTexel(v, p, t)) continue;
        float area = v.texelArea;
        if (v.ortho == 0) area = v.texelArea * (t.z * t.z) * (t.z / sqrtF(t.x * t.x + t.y * t.y + t.z * t.z));
        splatFootprint(shadowMaps + v.mapOffset, v, t.tx, t.ty, lightSlice(v, t.z), vc.copyCrossSection / area);
    }
}

// Work item w of kLightSplat: one particle copy (the frame's samples is 1).
TL_HD void lightSplatItem(const LitConstants& vc, const TLFrame& f, const TLV3* positions, const TLV3* velocities,
                          uint64_t w, float* shadowMaps) {
    if (!(vc.copyCrossSection > 0.0f)) return;  // every deposit would be 0
    lightSplatPoint(vc, placeSample(f, positions, velocities, w).p, shadowMaps);
}

// Optical depth from the light of view v to p, bilinear across texels and linear across slices;
// 0 outside the view. shadowMaps is the whole buffer.
TL_HD float shadowDepth(const ShadowView& v, const float* shadowMaps, TLV3 p) {
    LightTexel t;
    if (!lightTexel(v, p, t)) return 0.0f;
    const SlicePosition slice = lightSlice(v, t.z);
    const float* map = shadowMaps + v.mapOffset;
    const float fx0 = floorF(t.tx - 0.5f);
    const float fy0 = floorF(t.ty - 0.5f);
    const float fx = (t.tx - 0.5f) - fx0;
    const float fy = (t.ty - 0.5f) - fy0;
    const int32_t x0 = floatToInt(fx0), y0 = floatToInt(fy0);
    const int32_t last = v.resolution - 1;
    const int32_t cx0 = x0 > 0 ? x0 : 0, cx1 = x0 + 1 < last ? x0 + 1 : last;
    const int32_t cy0 = y0 > 0 ? y0 : 0, cy1 = y0 + 1 < last ? y0 + 1 : last;
    const float t00 = readSlices(texelColumn(map, v, cx0, cy0), slice);
    const float t10 = readSlices(texelColumn(map, v, cx1, cy0), slice);
    const float t01 = readSlices(texelColumn(map, v, cx0, cy1), slice);
    const float t11 = readSlices(texelColumn(map, v, cx1, cy1), slice);
    return (1.0f - fy) * ((1.0f - fx) * t00 + fx * t10) + fy * ((1.0f - fx) * t01 + fx * t11);
}

}  // namespace tl
