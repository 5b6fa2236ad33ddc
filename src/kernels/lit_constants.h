// The lit constants of a frame: lights, light-space shadow views and the global terms of the lit
// kernels. The host fills a zeroed record once per lit frame (lit/constants_builder.h) and hands it
// to each lit launch; the kernels only read it. Its layout is fixed to the byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/portable.h"
#include "taluna.h"

namespace tl {

constexpr int kMaxLitLights = 8;
constexpr int kMaxShadowViews = 48;


struct LitLight {
    int32_t kind;
    float position[3];
    float direction[3];  // unit length, or zero
    float color[3];
    float cosInner;
    float cosOuter;
    int32_t falloff;
    float range;
    float innerRange;
    int32_t firstView;
    int32_t viewCount;  // 0 (no shadows), 1 (directional, spot) or 6 (cube faces +X, -X, +Y, -Y, +Z, -Z)
};

// A light-space view: x = rowX . (P, 1), y = rowY . (P, 1), z = rowZ . (P, 1), z along the light.
struct ShadowView {
    float rowX[4];
    float rowY[4];
    float rowZ[4];
    int32_t ortho;
    float scaleX;
    float scaleY;
    float near;
    int32_t resolution;  // N: the map is N x N texels
    int32_t slices;      // S depth slices per texel
    int32_t logDepth;    // 1: slices follow ln(z / depthOrigin)
    float depthOrigin;
    float depthScale;
    float texelArea;     // orthographic: world area of a texel; perspective: at unit depth
    uint64_t mapOffset;  // in floats, into the shadow-map buffer
};

struct alignas(8) LitConstants {
    int32_t lightCount;
    LitLight lights[kMaxLitLights];
    int32_t shadowViewCount;
    ShadowView shadowViews[kMaxShadowViews];
    float sampleCrossSection;  // carried by one camera sample
    float copyCrossSection;    // carried by one particle copy in the shadow maps
    float ambient;
    float baseLight[3];
    float anisotropy;  // Henyey-Greenstein g in [-0.95, 0.95]
    float eye[3];
    int32_t depthSlices;
    float depthNear;
    float depthScale;
    uint32_t reserved;
};

static_assert(sizeof(LitLight) == 68, "LitLight is 68 bytes");
static_assert(offsetof(LitLight, position) == 4 && offsetof(LitLight, direction) == 16 &&
                  offsetof(LitLight, color) == 28 && offsetof(LitLight, cosInner) == 40 &&
                  offsetof(LitLight, cosOuter) == 44 && offsetof(LitLight, falloff) == 48 &&
                  offsetof(LitLight, range) == 52 && offsetof(LitLight, innerRange) == 56 &&
                  offsetof(LitLight, firstView) == 60 && offsetof(LitLight, viewCount) == 64,
              "LitLight field offsets");
static_assert(sizeof(ShadowView) == 96 && alignof(ShadowView) == 8, "ShadowView is 96 bytes");
static_assert(offsetof(ShadowView, rowY) == 16 && offsetof(ShadowView, rowZ) == 32 &&
                  offsetof(ShadowView, ortho) == 48 && offsetof(ShadowView, scaleX) == 52 &&
                  offsetof(ShadowView, scaleY) == 56 && offsetof(ShadowView, near) == 60 &&
                  offsetof(ShadowView, resolution) == 64 && offsetof(ShadowView, slices) == 68 &&
                  offsetof(ShadowView, logDepth) == 72 && offsetof(ShadowView, depthOrigin) == 76 &&
                  offsetof(ShadowView, depthScale) == 80 && offsetof(ShadowView, texelArea) == 84 &&
                  offsetof(ShadowView, mapOffset) == 88,
              "ShadowView field offsets");
static_assert(sizeof(LitConstants) == 5216 && alignof(LitConstants) == 8, "LitConstants is 5216 bytes");
static_assert(offsetof(LitConstants, lights) == 4 && offsetof(LitConstants, shadowViewCount) == 548 &&
                  offsetof(LitConstants, shadowViews) == 552 &&
                  offsetof(LitConstants, sampleCrossSection) == 5160 &&
                  offsetof(LitConstants, copyCrossSection) == 5164 && offsetof(LitConstants, ambient) == 5168 &&
                  offsetof(LitConstants, baseLight) == 5172 && offsetof(LitConstants, anisotropy) == 5184 &&
                  offsetof(LitConstants, eye) == 5188 && offsetof(LitConstants, depthSlices) == 5200 &&
                  offsetof(LitConstants, depthNear) == 5204 && offsetof(LitConstants, depthScale) == 5208 &&
                  offsetof(LitConstants, reserved) == 5212,
              "LitConstants field offsets");

// row . (p, 1): three weights and a constant, as every light-space and depth row is applied.
TL_HD float rowDot(const float row[4], TLV3 p) { return row[0] * p.x + row[1] * p.y + row[2] * p.z + row[3]; }

}  // namespace tl
