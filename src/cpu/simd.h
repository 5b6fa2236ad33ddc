// Sixteen-lane versions of the portable math (kernels/portable.h) for the CPU launchers, written with
// the compiler's vector extensions. The polynomials, constants and hash are the scalar functions' own
// templates, instantiated for vectors; only the range checks and rounding steps are written here, so
// a lane gives the very bits the scalar function gives (each operation rounded once by IEEE rules, no
// contraction into fused operations). Tests compare the two over millions of inputs.
//
// Sixteen lanes are two or more machine vectors, whose independent chains keep a core busy. The
// rounding trick below holds for |x| < 2^50, far beyond the angles and exponents passed here.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/hash.h"
#include "kernels/portable.h"
#include "kernels/sampling.h"

// Always inlined, so that each caller compiles them for its own target.
#define TL_SIMD_INLINE inline __attribute__((always_inline))

// The batch functions that call these helpers: compiled for AVX-512, AVX2 and the baseline, the best
// picked at run time. Clang cannot return these vectors from the AVX2 clone, so its builds compile the
// baseline only: the same bits, more slowly.
#if defined(__x86_64__) && !defined(__clang__)
#define TL_SIMD_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define TL_SIMD_CLONES
#endif

// Loops whose fmaF and fmaD should be one instruction instead of a library call: compiled with and
// without FMA, the right one picked at run time. A fused multiply-add rounds once either way, so both
// give the same bits; nothing else is contracted (-ffp-contract=off). Clang's builds (the thread
// sanitizer's among them, which cannot run the resolvers that pick a clone) compile the baseline only.
#if defined(__x86_64__) && !defined(__clang__)
#define TL_FMA_CLONES __attribute__((target_clones("fma", "default")))
#else
#define TL_FMA_CLONES
#endif

namespace tl::simd {

constexpr int kLanes = 16;
typedef double VD __attribute__((vector_size(128)));
typedef uint64_t VU __attribute__((vector_size(128)));
typedef int64_t VL __attribute__((vector_size(128)));
typedef float VF __attribute__((vector_size(64)));
typedef uint32_t VU32 __attribute__((vector_size(64)));
typedef int32_t VI32 __attribute__((vector_size(64)));

TL_SIMD_INLINE VD broadcast(double v) { return VD{} + v; }

// Comparisons in 16-byte pieces, which every x86-64 target compares whole: GCC compares vectors wider
// than the target's lane by lane. Comparisons are exact, so the masks are the same either way.
template <class Mask, class V, class Compare>
TL_SIMD_INLINE Mask piecewise(const V& a, const V& b, Compare compare) {
    static_assert(sizeof(V) == sizeof(Mask) && sizeof(V) % 16 == 0);
    Mask out;
    for (size_t k = 0; k < sizeof(V); k += 16) {
        typedef typename std::remove_reference<decltype(a[0])>::type Lane;
        typedef Lane Piece __attribute__((vector_size(16)));
        Piece x, y;
        std::memcpy(&x, reinterpret_cast<const char*>(&a) + k, 16);
        std::memcpy(&y, reinterpret_cast<const char*>(&b) + k, 16);
        const auto m = compare(x, y);
        std::memcpy(reinterpret_cast<char*>(&out) + k, &m, 16);
    }
    return out;
}
TL_SIMD_INLINE VL greater(const VD& a, const VD& b) {
    return piecewise<VL>(a, b, [](auto x, auto y) { return x > y; });
}
TL_SIMD_INLINE VL less(const VD& a, const VD& b) {
    return piecewise<VL>(a, b, [](auto x, auto y) { return x < y; });
}
TL_SIMD_INLINE VL equal(const VU& a, const VU& b) {
    return piecewise<VL>(a, b, [](auto x, auto y) { return x == y; });
}
TL_SIMD_INLINE VI32 greater(const VF& a, const VF& b) {
    return piecewise<VI32>(a, b, [](auto x, auto y) { return x > y; });
}
TL_SIMD_INLINE VI32 less(const VF& a, const VF& b) {
    return piecewise<VI32>(a, b, [](auto x, auto y) { return x < y; });
}
TL_SIMD_INLINE VI32 unequal(const VF& a, const VF& b) {
    return piecewise<VI32>(a, b, [](auto x, auto y) { return x != y; });
}
TL_SIMD_INLINE VU asBits(const VD& v) {
    VU u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}
TL_SIMD_INLINE VD asDouble(const VU& u) {
    VD v;
    std::memcpy(&v, &u, sizeof v);
    return v;
}
// Lane-wise choice: mask lanes are all ones (true) or zero.
TL_SIMD_INLINE VD select(const VL& mask, const VD& a, const VD& b) {
    return asDouble((asBits(a) & VU(mask)) | (asBits(b) & ~VU(mask)));
}

// 1.5 x 2^52: adding and subtracting it rounds to an integer, ties to even, as nearbyint does in the
// default rounding mode, for |x| < 2^51.
constexpr double kRoundMagic = 6755399441055744.0;
TL_SIMD_INLINE VD roundToInt(const VD& x) { return (x + kRoundMagic) - kRoundMagic; }
// The integer value of an integral double (|n| < 2^51), in two's complement.
TL_SIMD_INLINE VU integerBits(const VD& n) { return asBits(n + kRoundMagic) - asBits(broadcast(kRoundMagic)); }
// An integer (|k| < 2^51, two's complement) as a double.
TL_SIMD_INLINE VD toDouble(const VU& k) { return asDouble(asBits(broadcast(kRoundMagic)) + k) - kRoundMagic; }

TL_SIMD_INLINE VD widen(const VF& f) { return __builtin_convertvector(f, VD); }
TL_SIMD_INLINE VF narrow(const VD& d) { return __builtin_convertvector(d, VF); }

// detail::expD for lanes with finite z.
TL_SIMD_INLINE VD expD(const VD& z) {
    using namespace tl::detail;
    const VD n = roundToInt(z * kLog2E);
    const VD p = expSeries(reduced(z, n, kLn2Hi, kLn2Lo));
    // Lanes beyond +-200 compute a meaningless scale here and are replaced below.
    const VD scale = asDouble((integerBits(n) + 1023u) << 52);
    VD result = p * scale;
    result = select(greater(z, broadcast(200.0)), broadcast(1e300 * 1e10), result);
    return select(less(z, broadcast(-200.0)), broadcast(0.0), result);
}

// detail::logD for lanes holding positive normal doubles (every positive finite float widens to one).
TL_SIMD_INLINE VD logD(const VD& x) {
    using namespace tl::detail;
    const VU bits = asBits(x);
    const VU e = (bits >> 52) & 0x7FFu;
    VD m = asDouble((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
    VU k = e - 1023u;
    const VL above = greater(m, broadcast(kSqrtTwo));
    m = select(above, m * 0.5, m);
    k = k + (VU(above) & 1u);
    const VD lnm = logSeries((m - 1.0) / (m + 1.0));
    const VD kd = toDouble(k);
    return (kd * kLn2Hi + lnm) + kd * kLn2Lo;
}

// detail::sinCosD for finite lanes.
TL_SIMD_INLINE void sinCosD(const VD& x, VD* sOut, VD* cOut) {
    using namespace tl::detail;
    const VD n = roundToInt(x * kTwoOverPi);
    VD s, c;
    sinCosSeries(reduced(x, n, kPiHalfHi, kPiHalfLo), &s, &c);
    const VU q = integerBits(n) & 3u;
    const VL q1 = equal(q, VU{} + 1u), q2 = equal(q, VU{} + 2u), q3 = equal(q, VU{} + 3u);
    VD sv = select(q1, c, s);
    sv = select(q2, -s, sv);
    sv = select(q3, -c, sv);
    VD cv = select(q1, -s, c);
    cv = select(q2, -c, cv);
    cv = select(q3, s, cv);
    *sOut = sv;
    *cOut = cv;
}

TL_SIMD_INLINE VF selectF(const VI32& mask, const VF& a, const VF& b) {
    return VF((VI32(a) & mask) | (VI32(b) & ~mask));
}

// expF: a NaN lane passes through unchanged, as in the scalar function.
TL_SIMD_INLINE VF expF(const VF& x) {
    VF out = narrow(expD(widen(x)));
    out = selectF(greater(x, VF{} + 89.0f), VF{} + bitsFloat(0x7F800000u), out);
    out = selectF(less(x, VF{} - 104.0f), VF{}, out);
    return selectF(unequal(x, x), x, out);
}

TL_SIMD_INLINE VU32 nextState(const VU32& s) { return hashBits(s + kGoldenStep); }
TL_SIMD_INLINE VF uniform(const VU32& s) { return __builtin_convertvector(VI32(s >> 8), VF) * kUniformScale; }

// logF for lanes in (0, +inf): positive, finite, not NaN.
TL_SIMD_INLINE VF logPositiveF(const VF& x) { return narrow(logD(widen(x))); }

// sinCosF for finite lanes.
TL_SIMD_INLINE void sinCosF(const VF& x, VF* s, VF* c) {
    VD sd, cd;
    sinCosD(widen(x), &sd, &cd);
    *s = narrow(sd);
    *c = narrow(cd);
}

// copyJitter (kernels/sampling.h) of kLanes (particle, copy) pairs at once.
TL_SIMD_INLINE void copyJitterLanes(const uint64_t* particle, const uint32_t* copy, float sigma, float* x, float* y,
                            float* z) {
    VU32 lo, hi, k;
    for (int l = 0; l < kLanes; ++l) {
        lo[l] = static_cast<uint32_t>(particle[l]);
        hi[l] = static_cast<uint32_t>(particle[l] >> 32);
        k[l] = copy[l];
    }
    const VU32 s0 = copyJitterState(lo, hi, k);
    const VU32 s1 = nextState(s0);
    const VU32 s2 = nextState(s1);
    const VU32 s3 = nextState(s2);
    const VU32 s4 = nextState(s3);
    const VF floor = VF{} + kLogFloor;
    VF u1 = uniform(s1), u3 = uniform(s3);
    u1 = selectF(greater(u1, floor), u1, floor);
    u3 = selectF(greater(u3, floor), u3, floor);
    const VF u2 = uniform(s2), u4 = uniform(s4);
    const VF l1 = -2.0f * logPositiveF(u1);
    const VF l3 = -2.0f * logPositiveF(u3);
    VF rho1, rho2;
    for (int l = 0; l < kLanes; ++l) {
        rho1[l] = sqrtF(l1[l]);
        rho2[l] = sqrtF(l3[l]);
    }
    VF sin2, cos2, sin4, cos4;
    sinCosF(kTwoPi * u2, &sin2, &cos2);
    sinCosF(kTwoPi * u4, &sin4, &cos4);
    const VF a = sigma * rho1;
    const VF ox = a * cos2, oy = a * sin2, oz = sigma * rho2 * cos4;
    for (int l = 0; l < kLanes; ++l) {
        x[l] = ox[l];
        y[l] = oy[l];
        z[l] = oz[l];
    }
}

}  // namespace tl::simd
