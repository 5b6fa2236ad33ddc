#include "cpu/projection_lanes.h"

#include <cmath>
#include <cstring>

#include "cpu/simd.h"

namespace tl::cpu {
namespace {

// Eight lanes per vector: GCC compares wider vectors than the machine's lane by lane.
typedef float V8 __attribute__((vector_size(32)));
typedef int32_t V8I __attribute__((vector_size(32)));
typedef uint32_t V8U __attribute__((vector_size(32)));

}  // namespace

template <bool kDepth>
TL_SIMD_INLINE void projectLanesImpl(const TLFrame& f, const float* px, const float* py, const float* pz, uint32_t* pixel,
                                     float* depth, float* footprint) {
    // Every operand a whole vector, for the same reason.
    auto all = [](float v) { return V8{} + v; };
    const V8 width = all(static_cast<float>(f.width)), height = all(static_cast<float>(f.height));
    const V8 half = all(0.5f), zero{};
    for (int h = 0; h < simd::kLanes; h += 8) {
        V8 x, y, z;
        std::memcpy(&x, px + h, sizeof x);
        std::memcpy(&y, py + h, sizeof y);
        std::memcpy(&z, pz + h, sizeof z);
        const V8 vx = ((all(f.viewX[0]) * x + all(f.viewX[1]) * y) + all(f.viewX[2]) * z) + all(f.viewX[3]);
        const V8 vy = ((all(f.viewY[0]) * x + all(f.viewY[1]) * y) + all(f.viewY[2]) * z) + all(f.viewY[3]);
        const V8 vz = ((all(f.viewZ[0]) * x + all(f.viewZ[1]) * y) + all(f.viewZ[2]) * z) + all(f.viewZ[3]);
        const V8 q = all(-1.0f) / vz;
        const V8 fx = ((vx * q * all(f.scaleX)) * half + half) * width;
        const V8 fy = (all(1.0f) - ((vy * q * all(f.scaleY)) * half + half)) * height;
        V8I in = ~(all(f.nearClip) >= zero - vz) & (fx >= zero) & (fy >= zero) & ~(fx >= width) & ~(fy >= height);
        // Lanes already out are converted from 0, so that no conversion sees a value out of range.
        const V8I ix = __builtin_convertvector(V8(V8I(fx) & in), V8I);
        const V8I iy = __builtin_convertvector(V8(V8I(fy) & in), V8I);
        in &= (ix < (V8I{} + f.width)) & (iy < (V8I{} + f.height));
        const V8U index = V8U(iy) * (V8U{} + static_cast<uint32_t>(f.width)) + V8U(ix);
        const V8U out = index | ~V8U(in);
        std::memcpy(pixel + h, &out, sizeof out);
        if constexpr (!kDepth) continue;
        // sampleDepth of the perspective camera: depth -z, footprint pixelArea z^2 (depth / |v|).
        const V8 d = -vz;
        const V8 squared = (vx * vx + vy * vy) + vz * vz;
        V8 length;
        for (int l = 0; l < 8; ++l) length[l] = std::sqrt(squared[l]);
        const V8 area = (all(f.pixelArea) * (vz * vz)) * (d / length);
        std::memcpy(depth + h, &d, sizeof d);
        std::memcpy(footprint + h, &area, sizeof area);
    }
}

TL_SIMD_CLONES
void projectLanes(const TLFrame& f, const float* px, const float* py, const float* pz, uint32_t* pixel) {
    projectLanesImpl<false>(f, px, py, pz, pixel, nullptr, nullptr);
}

TL_SIMD_CLONES
void projectLanes(const TLFrame& f, const float* px, const float* py, const float* pz, uint32_t* pixel, float* depth,
                  float* footprint) {
    projectLanesImpl<true>(f, px, py, pz, pixel, depth, footprint);
}

}  // namespace tl::cpu
