// Exponential of extended values, for either form of the type.
//
// Accuracy: within 0.52 units in the last place of the 64-bit significand
// for normal results (0.514 at most, measured against MPFR on 10^8 arguments
// by tests/numeric/ext_compare.cpp),
// and within 1 unit of a subnormal result, which is rounded a second time.
// exp(0) = 1; above 11357.3 (and +inf) the result is +inf, below -11400 (and
// -inf) +0, the same as rounding the true value would give. NaN gives NaN.
//
// Reduction: x = k ln2/64 + r with k the nearest integer to x 64/ln2, r
// formed from a 43-bit first part of ln2/64 (k times it is exact, and so is x
// minus it) and a 64-bit second part, |r| <= 0.0055 with an error below
// 2^-72 of the result. exp x = 2^(k div 64) * 2^((k mod 64)/64) * e^r, the
// middle factor a hi/lo pair from the table, e^r - 1 the Taylor series to
// r^8 (first omitted term below 2^-86). The table value plus its product
// with e^r - 1 is formed so that only the last addition rounds; the power of
// two is exact but where the result is subnormal.
#pragma once

#include "engine/numeric/ext_parts.h"
#include "engine/numeric/tables.h"

namespace tex::numeric {

template <typename T>
T exponential(T x) {
    if (isNaN(x)) return quieted(x);
    if (x > T(11357.3)) return fromBits<T>(0x7FFF, INTEGER_BIT);  // beyond the largest value
    if (x < T(-11400)) return T(0);                                 // below half the smallest subnormal
    T kt;
    const int64_t k = nearestInteger(x * constant<T>(tables::INV_LN2_64), kt);
    const T r = (x - kt * constant<T>(tables::LN2_64_HI)) - kt * constant<T>(tables::LN2_64_LO);
    const T p = r + r * r * polynomial<T, tables::EXPONENTIAL>(r);  // e^r - 1
    const int j = int(k & 63);
    const int64_t n = (k - j) / 64;
    const T* pair = &VALUES<T, tables::TWO_TO_J_64>[2 * j];
    const T hi = pair[0], lo = pair[1];
    const T y = hi + (lo + hi * p);
    if (n > 16383) return y * powerOfTwo<T>(16383) * powerOfTwo<T>(int32_t(n - 16383));  // overflows
    if (n < -16382) return y * powerOfTwo<T>(int32_t(n + 200)) * powerOfTwo<T>(-200);  // one rounding, subnormal
    return y * powerOfTwo<T>(int32_t(n));
}

}  // namespace tex::numeric
