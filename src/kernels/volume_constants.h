// The constant block of the lighting path: lights, light-space shadow views and the global terms of
// the lit kernels. The host fills a zeroed image of it once per lit frame (volume/volume_builder.h)
// and uploads it whole; the kernels only read it. Its layout is fixed to the byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/portable.h"
#include "taluna.h"

namespace tl {

constexpr int kMaxVolumeLights = 8;
constexpr int kMaxShadowViews = 48;

// Light kinds; any other value is a point light.
constexpr int32_t kLightSpot = 1;
constexpr int32_t kLightDirectional = 2;

struct VolumeLight {
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

struct alignas(8) VolumeConstants {
    int32_t lightCount;
    VolumeLight lights[kMaxVolumeLights];
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

static_assert(sizeof(VolumeLight) == 68, "VolumeLight is 68 bytes");
static_assert(offsetof(VolumeLight, position) == 4 && offsetof(VolumeLight, direction) == 16 &&
                  offsetof(VolumeLight, color) == 28 && offsetof(VolumeLight, cosInner) == 40 &&
                  offsetof(VolumeLight, cosOuter) == 44 && offsetof(VolumeLight, falloff) == 48 &&
                  offsetof(VolumeLight, range) == 52 && offsetof(VolumeLight, innerRange) == 56 &&
                  offsetof(VolumeLight, firstView) == 60 && offsetof(VolumeLight, viewCount) == 64,
              "VolumeLight field offsets");
static_assert(sizeof(ShadowView) == 96 && alignof(ShadowView) == 8, "ShadowView is 96 bytes");
static_assert(offsetof(ShadowView, rowY) == 16 && offsetof(ShadowView, rowZ) == 32 &&
                  offsetof(ShadowView, ortho) == 48 && offsetof(ShadowView, scaleX) == 52 &&
                  offsetof(ShadowView, scaleY) == 56 && offsetof(ShadowView, near) == 60 &&
                  offsetof(ShadowView, resolution) == 64 && offsetof(ShadowView, slices) == 68 &&
                  offsetof(ShadowView, logDepth) == 72 && offsetof(ShadowView, depthOrigin) == 76 &&
                  offsetof(ShadowView, depthScale) == 80 && offsetof(ShadowView, texelArea) == 84 &&
                  offsetof(ShadowView, mapOffset) == 88,
              "ShadowView field offsets");
static_assert(sizeof(VolumeConstants) == 5216 && alignof(VolumeConstants) == 8, "VolumeConstants is 5216 bytes");
static_assert(offsetof(VolumeConstants, lights) == 4 && offsetof(VolumeConstants, shadowViewCount) == 548 &&
                  offsetof(VolumeConstants, shadowViews) == 552 &&
                  offsetof(VolumeConstants, sampleCrossSection) == 5160 &&
                  offsetof(VolumeConstants, copyCrossSection) == 5164 && offsetof(VolumeConstants, ambient) == 5168 &&
                  offsetof(VolumeConstants, baseLight) == 5172 && offsetof(VolumeConstants, anisotropy) == 5184 &&
                  offsetof(VolumeConstants, eye) == 5188 && offsetof(VolumeConstants, depthSlices) == 5200 &&
                  offsetof(VolumeConstants, depthNear) == 5204 && offsetof(VolumeConstants, depthScale) == 5208 &&
                  offsetof(VolumeConstants, reserved) == 5212,
              "VolumeConstants field offsets");

// row . (p, 1): three weights and a constant, as every light-space and depth row is applied.
TL_HD float rowDot(const float row[4], TLV3 p) { return row[0] * p.x + row[1] * p.y + row[2] * p.z + row[3]; }

}  // namespace tl
