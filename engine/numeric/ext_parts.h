// Exact pieces the transcendental functions are built from, for either form
// of the extended type: constants from their bit patterns, powers of two,
// Veltkamp's split of a value into two halves whose products are exact, and
// the error-free sum of two values. Each uses the type's + - * only.
#pragma once

#include "engine/numeric/exact.h"

namespace tex::numeric {

template <typename T>
T constant(ExtBits b) {
    return fromBits<T>(b.signExponent, b.significand);
}

// 2^n for -16382 <= n <= 16383.
template <typename T>
T powerOfTwo(int32_t n) {
    return fromBits<T>(uint16_t(n + EXPONENT_BIAS), INTEGER_BIT);
}

// x = high + low exactly, high with at most 64 - s significant bits and low
// with at most s; for |x| far from overflow. With s = 32 both halves have 32
// bits, so the product of two halves is exact.
template <typename T>
void split(T x, int s, T& high, T& low) {
    const T c = x * (powerOfTwo<T>(s) + T(1));
    high = c - (c - x);
    low = x - high;
}

// s + e = a + b exactly, s the rounded sum; needs |a| >= |b| (or a zero).
template <typename T>
void fastTwoSum(T a, T b, T& s, T& e) {
    s = a + b;
    e = b - (s - a);
}

// The integer nearest to x (ties to even), for |x| < 2^62, both as a value
// and as an int64: adding 1.5 * 2^63 leaves the integer in the low bits of
// the significand, without a conversion (which on the x87 means switching
// the rounding mode).
template <typename T>
int64_t nearestInteger(T x, T& whole) {
    const T magic = fromBits<T>(EXPONENT_BIAS + 63, 0xC000000000000000ull);
    const T shifted = x + magic;
    whole = shifted - magic;
    return int64_t(bitsOf(shifted).significand - 0xC000000000000000ull);
}

// Horner's scheme: c[0] + z * (c[1] + z * (... + z * c[n - 1])).
template <typename T, int N>
T polynomial(T z, const ExtBits (&c)[N]) {
    T p = constant<T>(c[N - 1]);
    for (int k = N - 2; k >= 0; --k) p = p * z + constant<T>(c[k]);
    return p;
}

}  // namespace tex::numeric
