// Sine and cosine of extended values, for either form of the type.
//
// Accuracy: within 0.85 units in the last place of the 64-bit significand for
// every finite argument (the bound below); against MPFR, at most 0.80 ulp
// measured on 2 * 10^8 arguments of the engine's ranges
// (tests/numeric/ext_compare.cpp). Exact where the
// mathematics is: sin(+-0) = +-0, cos(0) = 1; sin x = x and cos x = 1 below
// 2^-32. NaN gives NaN (quieted), an infinity the default NaN.
//
// Reduction: |x| = (q + f) * pi/2 with q whole and |f| <= 1/2, in integer
// arithmetic on 320 bits of 2/pi chosen by the exponent (reduce.cpp): f is
// exact to 2^-255 for every extended argument, however large. No extended
// value comes closer to a multiple of pi/2 than |f| = 2^-76.2
// (tests/numeric/make_tables.py --closest), so r = f * pi/2, formed from the
// leading 128 bits of f and of pi/4, comes out as rh + rl with a relative
// error below 2^-124.
//
// Kernels, for |r| <= pi/4, in the type's own + - *: the Taylor series of
// sin to r^19 and of cos to r^20, whose first omitted terms are below 2^-72
// and 2^-77 of the result (alternating series: the error is below the first
// omitted term). sin r = rh + (rh^3 p(rh^2) + rl (1 - rh^2 / 2)): the tail is
// at most 0.114 of the result and carries about 3 roundings of 2^-64
// relative, at most 0.35 ulp of the result, plus the final rounding's 0.5.
// For cos r, 1 - r^2 / 2 is formed from Veltkamp halves of rh (a^2 exact)
// with the rounding error of 1 - a^2 / 2 recovered by a fast two-sum, so only
// the tail (at most 0.016 of the result) is inexact: about 0.55 ulp.
#pragma once

#include "engine/numeric/ext_parts.h"
#include "engine/numeric/tables.h"

namespace tex::numeric {

// |x| = (quadrant + 4k + f) * pi/2 with |f| <= 1/2: f * pi/2 is
// (-1)^negative * (hi * 2^64 + lo) * 2^scale, hi with its top bit set.
struct QuarterTurns {
    int quadrant;
    bool negative;
    uint64_t hi, lo;
    int32_t scale;
};
// For |x| = m * 2^(e - 63), m >= 2^63.
QuarterTurns reduceQuarterTurns(uint64_t m, int32_t e);

template <typename T>
T sineKernel(T rh, T rl) {
    const T z = rh * rh;
    const T p = polynomial<T, tables::SINE>(z);
    return rh + (rh * z * p + (rl - rl * z * T(0.5)));
}

template <typename T>
T cosineKernel(T rh, T rl) {
    T a, b;
    split(rh, 32, a, b);
    const T half = T(0.5), hz = a * a * half;  // exact
    T w, e;
    fastTwoSum(T(1), -hz, w, e);
    const T z = rh * rh;
    const T q = polynomial<T, tables::COSINE>(z);
    return w + (e - ((a * b + half * b * b) + rh * rl) + z * z * q);
}

// |x| as quarter turns q and a remainder rh + rl, for a finite x.
template <typename T>
int reduce(T ax, T& rh, T& rl) {
    if (ax < T(0.78515625)) {  // below pi/4 (201/256): no reduction
        rh = ax;
        rl = T(0);
        return 0;
    }
    const ExtBits b = bitsOf(ax);
    const QuarterTurns r = reduceQuarterTurns(b.significand, (b.signExponent & 0x7FFF) - EXPONENT_BIAS);
    rh = T(static_cast<unsigned long long>(r.hi)) * powerOfTwo<T>(r.scale + 64);
    rl = T(static_cast<unsigned long long>(r.lo)) * powerOfTwo<T>(r.scale);
    if (r.negative) {
        rh = -rh;
        rl = -rl;
    }
    return r.quadrant;
}

// sin (cosine false) or cos (cosine true) of x.
template <typename T>
T sineOrCosine(T x, bool cosine) {
    if (!isFinite(x)) return isNaN(x) ? quieted(x) : defaultNaN<T>();
    const T ax = absolute(x);
    if (ax < T(0x1p-32)) return cosine ? T(1) : x;  // sin x = x and cos x = 1 once rounded
    T rh, rl;
    int q = reduce(ax, rh, rl) + (cosine ? 1 : 0);
    T v = (q & 1) ? cosineKernel(rh, rl) : sineKernel(rh, rl);
    if (q & 2) v = -v;
    return (!cosine && x < T(0)) ? -v : v;
}

template <typename T>
T sine(T x) {
    return sineOrCosine(x, false);
}

template <typename T>
T cosine(T x) {
    return sineOrCosine(x, true);
}

}  // namespace tex::numeric
