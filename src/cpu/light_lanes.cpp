#include "cpu/light_lanes.h"

#include <cmath>
#include <cstring>

#include "cpu/simd.h"
#include "kernels/lit_shading.h"

namespace tl::cpu {
namespace {

// Eight lanes per vector: GCC compares wider vectors than the machine's lane by lane.
typedef float V8 __attribute__((vector_size(32)));
typedef int32_t V8I __attribute__((vector_size(32)));

TL_SIMD_INLINE V8 all(float v) { return V8{} + v; }
TL_SIMD_INLINE V8 pick(V8I mask, V8 a, V8 b) { return V8((V8I(a) & mask) | (V8I(b) & ~mask)); }
TL_SIMD_INLINE V8 sqrtLanes(V8 x) {
    for (int l = 0; l < 8; ++l) x[l] = std::sqrt(x[l]);
    return x;
}

// falloffAttenuation of mode `mode` at distances r.
TL_SIMD_INLINE V8 falloffLanes(int32_t mode, float R, float R0, V8 r) {
    const V8 eps = all(kLightEpsilon), one = all(1.0f);
    switch (mode) {
        case TL_FALLOFF_INVERSE_SQUARE:
        case TL_FALLOFF_INVERSE_SQUARE_CLAMPED: {
            if (!(R > 0.0f)) return one;
            const V8 r2 = r * r;
            const V8 a = all(R * R) / pick(r2 > eps, r2, eps);
            return mode == TL_FALLOFF_INVERSE_SQUARE_CLAMPED ? pick(a > one, one, a) : a;
        }
        case TL_FALLOFF_INVERSE:
        case TL_FALLOFF_INVERSE_CLAMPED: {
            if (!(R > 0.0f)) return one;
            const V8 a = all(R) / pick(r > eps, r, eps);
            return mode == TL_FALLOFF_INVERSE_CLAMPED ? pick(a > one, one, a) : a;
        }
        case TL_FALLOFF_LINEAR: {
            const float span = R - R0;
            const V8 a = (all(R) - r) / all(span > kLightEpsilon ? span : kLightEpsilon);
            return pick(r <= all(R0), one, pick(r >= all(R), V8{}, a));
        }
        case TL_FALLOFF_CUTOFF: return pick(r <= all(R), one, V8{});
        default: return one;
    }
}

// coneFactor at cosines c.
TL_SIMD_INLINE V8 coneLanes(V8 c, float cosInner, float cosOuter) {
    const float width = cosInner - cosOuter;
    if (width <= kLightEpsilon) return pick(c >= all(cosOuter), all(1.0f), V8{});
    V8 x = (c - all(cosOuter)) / all(width);
    x = pick(x > V8{}, x, V8{});
    x = pick(x < all(1.0f), x, all(1.0f));
    return x * x * (all(3.0f) - all(2.0f) * x);
}

}  // namespace

TL_SIMD_CLONES
void viewDirectionLanes(const LitConstants& vc, const float* px, const float* py, const float* pz, float* vx,
                        float* vy, float* vz) {
    for (int h = 0; h < simd::kLanes; h += 8) {
        V8 x, y, z;
        std::memcpy(&x, px + h, sizeof x);
        std::memcpy(&y, py + h, sizeof y);
        std::memcpy(&z, pz + h, sizeof z);
        x = all(vc.eye[0]) - x, y = all(vc.eye[1]) - y, z = all(vc.eye[2]) - z;
        const V8 len = sqrtLanes((x * x + y * y) + z * z);
        const V8I away = len > V8{};
        x = pick(away, x / len, V8{}), y = pick(away, y / len, V8{}), z = pick(away, z / len, V8{});
        std::memcpy(vx + h, &x, sizeof x);
        std::memcpy(vy + h, &y, sizeof y);
        std::memcpy(vz + h, &z, sizeof z);
    }
}

TL_SIMD_CLONES
void lightIntensityLanes(const LitConstants& vc, const LitLight& light, const float* px, const float* py,
                         const float* pz, const float* vx, const float* vy, const float* vz, float* intensity,
                         int32_t* reaches) {
    const float g = vc.anisotropy;
    for (int h = 0; h < simd::kLanes; h += 8) {
        V8 x, y, z;
        std::memcpy(&x, px + h, sizeof x);
        std::memcpy(&y, py + h, sizeof y);
        std::memcpy(&z, pz + h, sizeof z);
        V8 lx, ly, lz, k = all(1.0f);
        V8I reach = V8I{} - 1;
        if (light.kind == TL_LIGHT_DIRECTIONAL) {
            lx = all(-light.direction[0]), ly = all(-light.direction[1]), lz = all(-light.direction[2]);
        } else {
            const V8 dx = all(light.position[0]) - x, dy = all(light.position[1]) - y, dz = all(light.position[2]) - z;
            const V8 r = sqrtLanes((dx * dx + dy * dy) + dz * dz);
            reach = r > all(kLightEpsilon);
            lx = dx / r, ly = dy / r, lz = dz / r;
            k = falloffLanes(light.falloff, light.range, light.innerRange, r);
            if (light.kind == TL_LIGHT_SPOT) {
                const V8 c = -((lx * all(light.direction[0]) + ly * all(light.direction[1])) + lz * all(light.direction[2]));
                k = k * coneLanes(c, light.cosInner, light.cosOuter);
            }
        }
        reach &= k > V8{};
        if (!(absF(g) < 1e-4f)) {  // phaseFactor, exactly 1 otherwise
            V8 v[3];
            std::memcpy(&v[0], vx + h, sizeof v[0]);
            std::memcpy(&v[1], vy + h, sizeof v[1]);
            std::memcpy(&v[2], vz + h, sizeof v[2]);
            const V8 cosVL = (v[0] * lx + v[1] * ly) + v[2] * lz;
            const V8 q = all(1.0f + g * g) + all(2.0f * g) * cosVL;
            k = k * (all(1.0f - g * g) / (q * sqrtLanes(q)));
        }
        std::memcpy(intensity + h, &k, sizeof k);
        std::memcpy(reaches + h, &reach, sizeof reach);
    }
}

}  // namespace tl::cpu
