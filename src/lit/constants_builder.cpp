#include "lit/constants_builder.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/vector_math.h"

namespace tl {
namespace {

constexpr float kPi = 3.14159265f;
constexpr float kMaxSpotHalfFov = 1.4835298f;  // 85 degrees

// A view row through origin: row . (origin, 1) = 0.
void setRowThrough(float row[4], TLV3 axis, TLV3 origin) { setRow(row, axis, -dot(axis, origin)); }

TLV3 vec(const float v[3]) { return TLV3{v[0], v[1], v[2]}; }

// Saturating u64 arithmetic for the shadow-map size.
uint64_t mulSat(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<uint64_t>::max() : r;
}
uint64_t addSat(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<uint64_t>::max() : r;
}

// Camera depth range of the box: distance from the eye for the panorama, depth along the view
// direction otherwise.
void cameraDepthRange(const TLCamera& camera, const TLFrame& frame, const float lo[3], const float hi[3],
                      float* nearOut, float* farOut) {
    float nearD, farD;
    if (frame.panorama == TL_PROJECTION_PANORAMA) {
        const float eye[3] = {camera.eye.x, camera.eye.y, camera.eye.z};
        float nearSq = 0.0f, farSq = 0.0f;
        for (int a = 0; a < 3; ++a) {
            float dNear = 0.0f;
            if (lo[a] > eye[a]) dNear = lo[a] - eye[a];
            else if (eye[a] > hi[a]) dNear = eye[a] - hi[a];
            const float dFar = std::fmax(std::fabs(lo[a] - eye[a]), std::fabs(hi[a] - eye[a]));
            nearSq += dNear * dNear;
            farSq += dFar * dFar;
        }
        const float pad = std::fabs(frame.nodalOffset) + std::fabs(frame.eyeOffset);
        farD = std::sqrt(farSq) + pad;
        nearD = std::fmax(std::sqrt(nearSq) - pad, frame.nearClip);
    } else {
        const float q[4] = {-frame.viewZ[0], -frame.viewZ[1], -frame.viewZ[2], -frame.viewZ[3]};
        const ValueRange r = boxRange(lo, hi, q);
        nearD = std::fmax(r.min, frame.nearClip);
        farD = r.max;
    }
    *nearOut = nearD;
    *farOut = std::fmax(farD, nearD + 0.001f);
}

// Orthographic view of a directional light, fitted around the box.
void directionalView(TLV3 dir, const float lo[3], const float hi[3], int32_t n, int32_t s, ShadowView& v) {
    const TLV3 centre{(lo[0] + hi[0]) * 0.5f, (lo[1] + hi[1]) * 0.5f, (lo[2] + hi[2]) * 0.5f};
    const LightBasis basis = lightBasis(dir);
    setRowThrough(v.rowX, basis.right, centre);
    setRowThrough(v.rowY, basis.up, centre);
    setRowThrough(v.rowZ, dir, centre);
    const ValueRange x = boxRange(lo, hi, v.rowX);
    const ValueRange y = boxRange(lo, hi, v.rowY);
    const ValueRange z = boxRange(lo, hi, v.rowZ);
    const float halfX = std::fmax(std::fmax(std::fabs(x.min), std::fabs(x.max)), 0.001f) * 1.01f;
    const float halfY = std::fmax(std::fmax(std::fabs(y.min), std::fabs(y.max)), 0.001f) * 1.01f;
    v.ortho = 1;
    v.scaleX = 1.0f / halfX;
    v.scaleY = 1.0f / halfY;
    v.near = 0.0f;
    v.logDepth = 0;
    v.depthOrigin = z.min;
    v.depthScale = static_cast<float>(s) / std::fmax(z.max - z.min, 0.001f);
    v.texelArea = (2.0f * halfX / static_cast<float>(n)) * (2.0f * halfY / static_cast<float>(n));
}

// Perspective view from a light's position along dir with half field of view halfFov; depth slices
// follow the logarithm of the distance, so near texels get fine slices.
void perspectiveView(TLV3 origin, TLV3 dir, float halfFov, const float lo[3], const float hi[3], int32_t n,
                     int32_t s, ShadowView& v) {
    const LightBasis basis = lightBasis(dir);
    setRowThrough(v.rowX, basis.right, origin);
    setRowThrough(v.rowY, basis.up, origin);
    setRowThrough(v.rowZ, dir, origin);
    const float scale = 1.0f / std::tan(halfFov);
    const TLV3 diagonal{hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
    const float nearMin = std::fmax(length(diagonal) * 0.001f, 0.001f);
    const ValueRange z = boxRange(lo, hi, v.rowZ);
    const float z0 = std::fmax(z.min, nearMin);
    const float z1 = std::fmax(z.max, z0 + nearMin);
    v.ortho = 0;
    v.scaleX = scale;
    v.scaleY = scale;
    v.near = nearMin;
    v.logDepth = 1;
    v.depthOrigin = z0;
    v.depthScale = static_cast<float>(s) / std::fmax(std::log(z1 / z0), 0.001f);
    const float texel = 2.0f / (static_cast<float>(n) * scale);
    v.texelArea = texel * texel;
}

}  // namespace

LightBasis lightBasis(TLV3 dir) {
    const TLV3 h = std::fabs(dir.y) > 0.95f ? TLV3{1.0f, 0.0f, 0.0f} : TLV3{0.0f, 1.0f, 0.0f};
    LightBasis b;
    b.right = normalized(cross(h, dir));
    b.up = normalized(cross(dir, b.right));
    return b;
}

ValueRange boxRange(const float lo[3], const float hi[3], const float row[4]) {
    ValueRange r{0.0f, 0.0f};
    for (int c = 0; c < 8; ++c) {
        const TLV3 corner{(c & 1) ? hi[0] : lo[0], (c & 2) ? hi[1] : lo[1], (c & 4) ? hi[2] : lo[2]};
        const float v = rowDot(row, corner);
        if (c == 0 || v < r.min) r.min = v;
        if (c == 0 || v > r.max) r.max = v;
    }
    return r;
}

uint64_t buildLitConstants(const TLCamera* camera, const TLRenderSettings* settings, const TLFrame* frame,
                              const TLLight* lights, int32_t lightCount, const float lo[3], const float hi[3],
                              float particleCrossSection, LitConstants* out) {
    const int32_t n = settings->shadowMapSize > 8 ? settings->shadowMapSize : 512;
    const int32_t s = settings->shadowSlices > 1 ? settings->shadowSlices : 64;

    // Each pass deposits one particle's cross-section in all: jitterCount + 1 copies of `samples`
    // samples in the camera passes, the copies alone in the shadow maps.
    const uint32_t copies = static_cast<uint32_t>(frame->jitterCount) + 1u;
    out->copyCrossSection = (particleCrossSection > 0.0f ? particleCrossSection : 0.0f) / static_cast<float>(copies);
    out->sampleCrossSection = out->copyCrossSection / static_cast<float>(frame->samples);

    out->ambient = settings->ambient;
    for (int c = 0; c < 3; ++c) out->baseLight[c] = settings->baseLight[c];
    const float g = settings->anisotropy;
    out->anisotropy = g > -0.95f ? (g < 0.95f ? g : 0.95f) : -0.95f;
    out->eye[0] = camera->eye.x;
    out->eye[1] = camera->eye.y;
    out->eye[2] = camera->eye.z;
    out->depthSlices = settings->depthSlices > 1 ? settings->depthSlices : 32;

    float nearD, farD;
    cameraDepthRange(*camera, *frame, lo, hi, &nearD, &farD);
    out->depthNear = nearD;
    out->depthScale = static_cast<float>(out->depthSlices) / (farD - nearD);

    out->lightCount = 0;
    out->shadowViewCount = 0;
    uint64_t offset = 0;
    const int32_t count = lights ? std::min(lightCount, kMaxLitLights) : 0;
    if (count <= 0) return 0;
    const uint64_t viewFloats = mulSat(mulSat(static_cast<uint64_t>(s), static_cast<uint64_t>(n)),
                                       static_cast<uint64_t>(n));

    for (int32_t l = 0; l < count; ++l) {
        const TLLight& in = lights[l];
        LitLight& light = out->lights[out->lightCount++];
        light.kind = in.kind;
        const TLV3 dir = normalized(vec(in.direction));
        for (int c = 0; c < 3; ++c) {
            light.position[c] = in.position[c];
            light.color[c] = in.color[c];
        }
        light.direction[0] = dir.x;
        light.direction[1] = dir.y;
        light.direction[2] = dir.z;
        light.falloff = in.falloff;
        light.range = in.range;
        light.innerRange = in.innerRange;
        const float outerHalf = std::fmin(std::fmax(in.outerAngle, 0.1f), 175.0f) * 0.5f * kPi / 180.0f;
        const float innerHalf = std::fmin(std::fmax(in.innerAngle, 0.0f), in.outerAngle) * 0.5f * kPi / 180.0f;
        light.cosOuter = std::cos(outerHalf);
        light.cosInner = std::cos(innerHalf);
        light.firstView = out->shadowViewCount;
        light.viewCount = 0;
        if (in.castShadows == 0) continue;

        const TLV3 position = vec(in.position);
        const int faces = in.kind == TL_LIGHT_DIRECTIONAL || in.kind == TL_LIGHT_SPOT ? 1 : 6;
        for (int face = 0; face < faces; ++face) {
            ShadowView& v = out->shadowViews[out->shadowViewCount++];
            if (in.kind == TL_LIGHT_DIRECTIONAL) {
                directionalView(dir, lo, hi, n, s, v);
            } else if (in.kind == TL_LIGHT_SPOT) {
                perspectiveView(position, dir, std::fmin(outerHalf * 1.05f, kMaxSpotHalfFov), lo, hi, n, s, v);
            } else {
                static const TLV3 kFaceDirs[6] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
                perspectiveView(position, kFaceDirs[face], kPi / 4.0f, lo, hi, n, s, v);
            }
            v.resolution = n;
            v.slices = s;
            v.mapOffset = offset;
            offset = addSat(offset, viewFloats);
        }
        light.viewCount = faces;
    }
    return offset;
}

}  // namespace tl
