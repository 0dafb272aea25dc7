// Arc tangent of extended values, for either form of the type.
//
// Accuracy: within 0.51 units in the last place of the 64-bit significand
// for every argument (one rounding of a result whose error before it is
// below 2^-70 relative); at most 0.503 ulp measured against MPFR on 10^8
// arguments of the engine's ranges (tests/numeric/ext_compare.cpp).
// atan(+-0) = +-0, atan(x) = x below 2^-32, atan(+-inf) = +-pi/2 rounded,
// NaN gives NaN (quieted).
//
// Reduction, exact or to 2^-85: with c = i/8 the nearest eighth (x < 2.0625)
// atan x = atan c + atan t, t = (x - c) / (1 + x c), and beyond it, with c
// the nearest eighth to 1/x, atan x = (pi/2 - atan c) - atan t,
// t = (1 - c x) / (x + c); either way |t| <= 1/16. The numerator is exact (or
// an exact pair), the denominator an exact pair d1 + d2 whose first part has
// at most 32 significant bits (x is split into a 23-bit and a 41-bit part),
// so the quotient's remainder n - t d1 is exact from Veltkamp halves of t.
// Kernel: the Taylor series of atan t to t^17, whose first omitted term is
// below 2^-76 of the result; atan c and pi/2 - atan c are hi/lo pairs, added
// with a fast two-sum so that only the last addition rounds.
#pragma once

#include "engine/numeric/ext_parts.h"
#include "engine/numeric/tables.h"

namespace tex::numeric {

// s + e = a + b exactly, whatever their sizes.
template <typename T>
void twoSum(T a, T b, T& s, T& e) {
    s = a + b;
    const T bv = s - a, av = s - bv;
    e = (a - av) + (b - bv);
}

// (nh + nl) / (d1 + d2) as th + tl, for d1 of at most 32 significant bits and
// |d2| < 2^-20 |d1|, nl tiny beside nh.
template <typename T>
void quotient(T nh, T nl, T d1, T d2, T& th, T& tl) {
    const T q = nh / d1;
    T q1, q2;
    split(q, 32, q1, q2);
    const T remainder = (nh - q1 * d1) - q2 * d1;  // exact: nh - q d1
    // q + (remainder + nl - q d2) / (d1 + d2) is the quotient to 2^-85.
    const T correction = (remainder + nl - q * d2) / (d1 + d2);
    fastTwoSum(q, correction, th, tl);
}

template <typename T>
T arcTangent(T x) {
    if (isNaN(x)) return quieted(x);
    const T ax = absolute(x);
    const bool negative = x < T(0);
    if (ax < T(0x1p-32)) return x;  // atan x = x once rounded; keeps +-0
    T result;
    if (ax >= T(0x1p66)) {
        result = constant<T>(tables::PI_OVER_2_HI);  // pi/2 - 1/x rounds to pi/2
    } else if (ax <= T(0.0625)) {
        const T z = ax * ax;
        result = ax + ax * z * polynomial<T, tables::ARC_TANGENT>(z);
    } else {
        const bool near = ax < T(2.0625);  // i <= 16
        int i;
        T c;
        if (near) {
            i = int(nearestInteger(ax * T(8), c));
        } else {  // the eighth nearest to 8 / x
            i = ax <= T(16.0 / 7) ? 4 : ax <= T(3.2) ? 3 : ax <= T(16.0 / 3) ? 2 : ax <= T(16) ? 1 : 0;
            c = T(i);
        }
        c = c * T(0.125);
        T xh, xl;
        split(ax, 41, xh, xl);
        T th, tl;
        if (near) {  // (x - c) / ((1 + xh c) + xl c)
            quotient(ax - c, T(0), T(1) + xh * c, xl * c, th, tl);
        } else {  // ((1 - xh c) - xl c) / ((xh + c) + xl)
            T nh, nl;
            twoSum(T(1) - xh * c, -(xl * c), nh, nl);
            quotient(nh, nl, xh + c, xl, th, tl);
        }
        const T z = th * th;
        const T tail = (tl - tl * z) + th * z * polynomial<T, tables::ARC_TANGENT>(z);
        const T* pair = near ? &VALUES<T, tables::ATAN_EIGHTHS>[2 * i] : &VALUES<T, tables::ACOT_EIGHTHS>[2 * i];
        const T hi = pair[0], lo = pair[1];
        T s, e;
        if (near) {
            fastTwoSum(hi, th, s, e);
            result = s + (e + (lo + tail));
        } else {
            fastTwoSum(hi, -th, s, e);
            result = s + (e + (lo - tail));
        }
    }
    return negative ? -result : result;
}

}  // namespace tex::numeric
