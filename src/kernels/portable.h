// The few operations whose results differ between a GPU and a host compiler unless pinned down:
// the host-and-device function marker, float atomics, float-to-unsigned conversion and the math
// functions. Kernel code uses only these, so the CUDA and the CPU library compute the same bits.
//
// The transcendental functions evaluate in double precision with explicit range reduction and
// polynomials built from +, -, *, / only (both sides round these the same way), then round once to
// float: the result is the nearest float in all but extremely rare near-tie cases, and identical on
// both backends. They are not on the plain path's hot loop.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__CUDACC__)
#  include <cmath>
#  define TL_HD __host__ __device__ __forceinline__
#else
#  include <cmath>
#  define TL_HD inline
#endif

namespace tl {

TL_HD float fmaF(float a, float b, float c) {
#if defined(__CUDA_ARCH__)
    return __fmaf_rn(a, b, c);
#else
    return std::fma(a, b, c);
#endif
}

TL_HD float sqrtF(float x) {
#if defined(__CUDA_ARCH__)
    return __fsqrt_rn(x);
#else
    return std::sqrt(x);
#endif
}

TL_HD double sqrtD(double x) {
#if defined(__CUDA_ARCH__)
    return __dsqrt_rn(x);
#else
    return std::sqrt(x);
#endif
}

TL_HD double rintD(double x) {
#if defined(__CUDA_ARCH__)
    return rint(x);
#else
    return std::nearbyint(x);
#endif
}

TL_HD float floorF(float x) {
#if defined(__CUDA_ARCH__)
    return floorf(x);
#else
    return std::floor(x);
#endif
}

TL_HD bool isNaN(float x) { return x != x; }
TL_HD bool isNaND(double x) { return x != x; }

TL_HD uint32_t floatBits(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}
TL_HD float bitsFloat(uint32_t u) {
    float f;
    memcpy(&f, &u, 4);
    return f;
}
TL_HD uint64_t doubleBits(double d) {
    uint64_t u;
    memcpy(&u, &d, 8);
    return u;
}
TL_HD double bitsDouble(uint64_t u) {
    double d;
    memcpy(&d, &u, 8);
    return d;
}

// Float to unsigned 32-bit with truncation toward zero, as the GPU converts: NaN gives 0 and values
// outside the range saturate at 0 and 2^32 - 1. Never undefined behaviour.
TL_HD uint32_t floatToUint(float v) {
    if (!(v > 0.0f)) return 0u;
    if (v >= 4294967296.0f) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(v);
}

// Float to signed 32-bit with truncation, NaN to 0, saturating.
TL_HD int32_t floatToInt(float v) {
    if (isNaN(v)) return 0;
    if (v >= 2147483648.0f) return 2147483647;
    if (v <= -2147483648.0f) return -2147483647 - 1;
    return static_cast<int32_t>(v);
}

// A subnormal float becomes the zero of its sign.
TL_HD float flushSubnormal(float v) {
    const uint32_t bits = floatBits(v);
    return (bits & 0x7F800000u) == 0u ? bitsFloat(bits & 0x80000000u) : v;
}

// The sum that a GPU's float atomic on global memory stores: it works in flush-to-zero mode whatever
// the compiler's setting, so a subnormal input or result counts as zero. Every host addition that
// stands for such an atomic goes through this, so tiny deposits vanish on both backends alike.
TL_HD float atomicSum(float stored, float value) {
    return flushSubnormal(flushSubnormal(stored) + flushSubnormal(value));
}

TL_HD void atomicAddF(float* address, float value) {
#if defined(__CUDA_ARCH__)
    atomicAdd(address, value);
#else
    // Compare-and-swap on the float's bits, as a GPU's float atomic behaves.
    uint32_t* word = reinterpret_cast<uint32_t*>(address);
    uint32_t expected = __atomic_load_n(word, __ATOMIC_RELAXED);
    uint32_t desired;
    do {
        desired = floatBits(atomicSum(bitsFloat(expected), value));
    } while (!__atomic_compare_exchange_n(word, &expected, desired, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED));
#endif
}

TL_HD double fmaD(double a, double b, double c) {
#if defined(__CUDA_ARCH__)
    return __fma_rn(a, b, c);
#else
    return std::fma(a, b, c);
#endif
}

TL_HD void atomicAddD(double* address, double value) {
#if defined(__CUDA_ARCH__)
    atomicAdd(address, value);
#else
    uint64_t* word = reinterpret_cast<uint64_t*>(address);
    uint64_t expected = __atomic_load_n(word, __ATOMIC_RELAXED);
    uint64_t desired;
    do {
        desired = doubleBits(bitsDouble(expected) + value);
    } while (!__atomic_compare_exchange_n(word, &expected, desired, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED));
#endif
}

// Float minimum and maximum as integer atomics on the bit patterns: floats with a clear sign bit
// order like their bits read as signed integers, floats with the sign bit set in reverse of their
// bits read as unsigned integers (all above the non-negative patterns). The branch follows the sign
// bit, not v >= 0, so -0.0 (the smallest signed pattern) goes with the negatives and cannot replace a
// stored negative minimum. NaN stored values are never produced by the callers.
namespace detail {
#if !defined(__CUDA_ARCH__)
template <class Int, class Better>
inline void atomicKeep(uint32_t* word, uint32_t bits, Better better) {
    uint32_t expected = __atomic_load_n(word, __ATOMIC_RELAXED);
    while (better(static_cast<Int>(bits), static_cast<Int>(expected)) &&
           !__atomic_compare_exchange_n(word, &expected, bits, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}
#endif
}  // namespace detail

TL_HD void atomicMinF(float* address, float value) {
    const uint32_t bits = floatBits(value);
#if defined(__CUDA_ARCH__)
    if ((bits >> 31) == 0u) atomicMin(reinterpret_cast<int*>(address), static_cast<int>(bits));
    else atomicMax(reinterpret_cast<unsigned int*>(address), bits);
#else
    uint32_t* word = reinterpret_cast<uint32_t*>(address);
    if ((bits >> 31) == 0u) detail::atomicKeep<int32_t>(word, bits, [](int32_t a, int32_t b) { return a < b; });
    else detail::atomicKeep<uint32_t>(word, bits, [](uint32_t a, uint32_t b) { return a > b; });
#endif
}

TL_HD void atomicMaxF(float* address, float value) {
    const uint32_t bits = floatBits(value);
#if defined(__CUDA_ARCH__)
    if ((bits >> 31) == 0u) atomicMax(reinterpret_cast<int*>(address), static_cast<int>(bits));
    else atomicMin(reinterpret_cast<unsigned int*>(address), bits);
#else
    uint32_t* word = reinterpret_cast<uint32_t*>(address);
    if ((bits >> 31) == 0u) detail::atomicKeep<int32_t>(word, bits, [](int32_t a, int32_t b) { return a > b; });
    else detail::atomicKeep<uint32_t>(word, bits, [](uint32_t a, uint32_t b) { return a < b; });
#endif
}

namespace detail {

constexpr double kLn2Hi = 6.93147180369123816490e-01;  // upper bits of ln 2, exact products with n
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kPi = 3.14159265358979311600e+00;
constexpr double kPiHalf = 1.57079632679489655800e+00;
constexpr double kPiHalfHi = 1.57079632673412561417e+00;  // 33 bits: n * hi exact for |n| < 2^20
constexpr double kPiHalfLo = 6.07710050650619224932e-11;
constexpr double kPiQuarter = 7.85398163397448278999e-01;
constexpr double kLog2E = 1.44269504088896338700;
constexpr double kTwoOverPi = 0.63661977236758134308;
constexpr double kSqrtTwo = 1.41421356237309504880;

// The polynomial cores of the functions below, written once for T = double and for the vectors of
// doubles of the CPU library's batches (cpu/simd.h): both evaluate exactly these operations.

// x - n ln 2 (or x - n pi/2) in two steps, exact for the n the callers produce.
template <class T>
TL_HD T reduced(T x, T n, double hi, double lo) {
    return (x - n * hi) - n * lo;
}

// e^r for |r| <= 0.35: Taylor series to r^13, truncation error below 1e-16 relative.
template <class T>
TL_HD T expSeries(T r) {
    T p = T{} + 1.0 / 6227020800.0;
    p = p * r + 1.0 / 479001600.0;
    p = p * r + 1.0 / 39916800.0;
    p = p * r + 1.0 / 3628800.0;
    p = p * r + 1.0 / 362880.0;
    p = p * r + 1.0 / 40320.0;
    p = p * r + 1.0 / 5040.0;
    p = p * r + 1.0 / 720.0;
    p = p * r + 1.0 / 120.0;
    p = p * r + 1.0 / 24.0;
    p = p * r + 1.0 / 6.0;
    p = p * r + 0.5;
    p = p * r + 1.0;
    return p * r + 1.0;
}

// ln m for m in [sqrt(2)/2, sqrt(2)]: with t = (m - 1) / (m + 1), ln m = 2 t s(t^2).
template <class T>
TL_HD T logSeries(T t) {
    const T t2 = t * t;  // <= 0.1716
    T s = T{} + 1.0 / 23.0;
    s = s * t2 + 1.0 / 21.0;
    s = s * t2 + 1.0 / 19.0;
    s = s * t2 + 1.0 / 17.0;
    s = s * t2 + 1.0 / 15.0;
    s = s * t2 + 1.0 / 13.0;
    s = s * t2 + 1.0 / 11.0;
    s = s * t2 + 1.0 / 9.0;
    s = s * t2 + 1.0 / 7.0;
    s = s * t2 + 1.0 / 5.0;
    s = s * t2 + 1.0 / 3.0;
    s = s * t2 + 1.0;
    return 2.0 * t * s;
}

// sin r and cos r for |r| <= pi/4: Taylor series to r^15 and r^16.
template <class T>
TL_HD void sinCosSeries(T r, T* sOut, T* cOut) {
    const T r2 = r * r;
    T s = T{} - 1.0 / 1307674368000.0;
    s = s * r2 + 1.0 / 6227020800.0;
    s = s * r2 - 1.0 / 39916800.0;
    s = s * r2 + 1.0 / 362880.0;
    s = s * r2 - 1.0 / 5040.0;
    s = s * r2 + 1.0 / 120.0;
    s = s * r2 - 1.0 / 6.0;
    *sOut = r + r * r2 * s;
    T c = T{} + 1.0 / 20922789888000.0;
    c = c * r2 - 1.0 / 87178291200.0;
    c = c * r2 + 1.0 / 479001600.0;
    c = c * r2 - 1.0 / 3628800.0;
    c = c * r2 + 1.0 / 40320.0;
    c = c * r2 - 1.0 / 720.0;
    c = c * r2 + 1.0 / 24.0;
    c = c * r2 - 0.5;
    *cOut = 1.0 + r2 * c;
}

// 2^k as a double for -1022 <= k <= 1023.
TL_HD double pow2i(int k) { return bitsDouble(static_cast<uint64_t>(k + 1023) << 52); }

// e^z for finite z; saturates far outside the float range.
TL_HD double expD(double z) {
    if (z > 200.0) return 1e300 * 1e10;  // +inf
    if (z < -200.0) return 0.0;
    const double n = rintD(z * kLog2E);
    return expSeries(reduced(z, n, kLn2Hi, kLn2Lo)) * pow2i(static_cast<int>(n));
}

// ln x for finite x > 0 (double).
TL_HD double logD(double x) {
    uint64_t bits = doubleBits(x);
    int e = static_cast<int>((bits >> 52) & 0x7FF);
    int bias = 1023;
    if (e == 0) {  // subnormal double: scale up first
        x *= 18014398509481984.0;  // 2^54
        bits = doubleBits(x);
        e = static_cast<int>((bits >> 52) & 0x7FF);
        bias += 54;
    }
    double m = bitsDouble((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);  // [1, 2)
    int k = e - bias;
    if (m > kSqrtTwo) {
        m *= 0.5;
        k += 1;
    }
    const double lnm = logSeries((m - 1.0) / (m + 1.0));
    return (k * kLn2Hi + lnm) + k * kLn2Lo;
}

// sin and cos of a finite double; accurate for |x| below about 2^20 (beyond, the reduction loses bits).
TL_HD void sinCosD(double x, double* sOut, double* cOut) {
    const double n = rintD(x * kTwoOverPi);
    double s, c;
    sinCosSeries(reduced(x, n, kPiHalfHi, kPiHalfLo), &s, &c);
    int q = static_cast<int>(static_cast<int64_t>(n) & 3);
    double sv, cv;
    switch (q) {
        case 0: sv = s; cv = c; break;
        case 1: sv = c; cv = -s; break;
        case 2: sv = -s; cv = -c; break;
        default: sv = -c; cv = s; break;
    }
    *sOut = sv;
    *cOut = cv;
}

// atan of a double in [0, +inf].
TL_HD double atanPosD(double a) {
    double base = 0.0;
    bool inverted = false;
    if (a > 1.0) {
        a = 1.0 / a;
        inverted = true;
    }
    if (a > 0.41421356237309504880) {  // tan(pi/8): shift by pi/4
        a = (a - 1.0) / (a + 1.0);
        base = kPiQuarter;
    }
    double t2 = a * a;  // <= 0.1716
    double s = 1.0 / 27.0;
    s = -s * t2 + 1.0 / 25.0;
    s = -s * t2 + 1.0 / 23.0;
    s = -s * t2 + 1.0 / 21.0;
    s = -s * t2 + 1.0 / 19.0;
    s = -s * t2 + 1.0 / 17.0;
    s = -s * t2 + 1.0 / 15.0;
    s = -s * t2 + 1.0 / 13.0;
    s = -s * t2 + 1.0 / 11.0;
    s = -s * t2 + 1.0 / 9.0;
    s = -s * t2 + 1.0 / 7.0;
    s = -s * t2 + 1.0 / 5.0;
    s = -s * t2 + 1.0 / 3.0;
    s = -s * t2 + 1.0;
    double v = base + a * s;
    return inverted ? kPiHalf - v : v;
}

}  // namespace detail

// Single-precision math with the usual special cases, identical on both backends.

TL_HD float expF(float x) {
    if (isNaN(x)) return x;
    if (x > 89.0f) return bitsFloat(0x7F800000u);
    if (x < -104.0f) return 0.0f;
    return static_cast<float>(detail::expD(static_cast<double>(x)));
}

TL_HD float logF(float x) {
    if (isNaN(x)) return x;
    if (x < 0.0f) return bitsFloat(0x7FC00000u);
    if (x == 0.0f) return bitsFloat(0xFF800000u);
    if (x == bitsFloat(0x7F800000u)) return x;
    return static_cast<float>(detail::logD(static_cast<double>(x)));
}

// x^y with the C special cases for the values the library meets (a negative base with a
// non-integer exponent gives NaN; with an integer exponent the sign follows its parity).
TL_HD float powF(float x, float y) {
    if (y == 0.0f || x == 1.0f) return 1.0f;
    if (isNaN(x) || isNaN(y)) return bitsFloat(0x7FC00000u);
    const float inf = bitsFloat(0x7F800000u);
    float ax = x < 0.0f ? -x : x;
    bool negResult = false;
    if (x < 0.0f || (x == 0.0f && floatBits(x) != 0u)) {
        float yi = floorF(y);
        bool integer = (yi == y);
        if (!integer && ax != 0.0f && ax != inf) return bitsFloat(0x7FC00000u);
        if (integer && (y < 16777216.0f && y > -16777216.0f)) {
            int64_t yl = static_cast<int64_t>(y);
            negResult = (yl & 1) != 0;
        }
    }
    float r;
    if (ax == 0.0f) {
        r = y > 0.0f ? 0.0f : inf;
    } else if (ax == inf) {
        r = y > 0.0f ? inf : 0.0f;
    } else if (y == inf || y == -inf) {
        if (ax == 1.0f) r = 1.0f;
        else r = ((ax > 1.0f) == (y > 0.0f)) ? inf : 0.0f;
    } else {
        double z = static_cast<double>(y) * detail::logD(static_cast<double>(ax));
        r = z > 200.0 ? inf : (z < -200.0 ? 0.0f : static_cast<float>(detail::expD(z)));
    }
    return negResult ? -r : r;
}

TL_HD void sinCosF(float x, float* s, float* c) {
    if (isNaN(x) || x == bitsFloat(0x7F800000u) || x == bitsFloat(0xFF800000u)) {
        *s = *c = bitsFloat(0x7FC00000u);
        return;
    }
    double sd, cd;
    detail::sinCosD(static_cast<double>(x), &sd, &cd);
    *s = static_cast<float>(sd);
    *c = static_cast<float>(cd);
}
TL_HD float sinF(float x) {
    float s, c;
    sinCosF(x, &s, &c);
    return s;
}
TL_HD float cosF(float x) {
    float s, c;
    sinCosF(x, &s, &c);
    return c;
}

TL_HD float atanF(float x) {
    if (isNaN(x)) return x;
    double a = x < 0.0f ? -static_cast<double>(x) : static_cast<double>(x);
    double v = detail::atanPosD(a);
    return static_cast<float>(x < 0.0f ? -v : v);
}

// atan2 with the C conventions for zeros and infinities.
TL_HD float atan2F(float y, float x) {
    if (isNaN(x) || isNaN(y)) return bitsFloat(0x7FC00000u);
    const double pi = detail::kPi;
    bool yneg = (floatBits(y) >> 31) != 0;
    bool xneg = (floatBits(x) >> 31) != 0;
    double ay = yneg ? -static_cast<double>(y) : static_cast<double>(y);
    double ax = xneg ? -static_cast<double>(x) : static_cast<double>(x);
    const double inf = static_cast<double>(bitsFloat(0x7F800000u));
    double v;
    if (ay == 0.0) {
        v = xneg ? pi : 0.0;
    } else if (ax == 0.0) {
        v = detail::kPiHalf;
    } else if (ax == inf && ay == inf) {
        v = xneg ? 3.0 * detail::kPiQuarter : detail::kPiQuarter;
    } else if (ax == inf) {
        v = xneg ? pi : 0.0;
    } else if (ay == inf) {
        v = detail::kPiHalf;
    } else {
        double t = detail::atanPosD(ay / ax);
        v = xneg ? pi - t : t;
    }
    return static_cast<float>(yneg ? -v : v);
}

TL_HD float asinF(float x) {
    if (isNaN(x) || x > 1.0f || x < -1.0f) return bitsFloat(0x7FC00000u);
    double d = static_cast<double>(x);
    double c = sqrtD((1.0 - d) * (1.0 + d));
    double ad = d < 0.0 ? -d : d;
    double v = c == 0.0 ? detail::kPiHalf : detail::atanPosD(ad / c);
    return static_cast<float>(d < 0.0 ? -v : v);
}

}  // namespace tl
