// Exact pieces the transcendental functions are built from, for either form
// of the extended type: constants from their bit patterns, powers of two,
// Veltkamp's split of a value into two halves whose products are exact, and
// the error-free sum of two values. Each uses the type's + - * only.
#pragma once

#include <array>
#include <iterator>
#include <utility>

#include "engine/numeric/exact.h"

namespace tex::numeric {

template <typename T>
T constant(ExtBits b) {
    return fromBits<T>(b.signExponent, b.significand);
}

// The tables of tables.h as arrays of T, built at compile time (an indexed
// 80-bit pattern would otherwise be rebuilt in memory on every read).
template <typename T>
constexpr T compileTimeConstant(ExtBits b);
template <>
constexpr SoftExt compileTimeConstant<SoftExt>(ExtBits b) {
    return SoftExt::fromBits(b.signExponent, b.significand);
}
#if TEX_HAVE_X87
// The significand scaled by powers of two, exact for the tables' values.
template <>
constexpr long double compileTimeConstant<long double>(ExtBits b) {
    long double v = static_cast<long double>(b.significand);
    for (int32_t e = (b.signExponent & 0x7FFF) - EXPONENT_BIAS - 63; e != 0; e += e > 0 ? -1 : 1) v *= e > 0 ? 2.0L : 0.5L;
    return (b.signExponent & 0x8000) ? -v : v;
}
#endif
template <typename T, const auto& Table, size_t... I>
constexpr std::array<T, sizeof...(I)> convertTable(std::index_sequence<I...>) {
    return {{compileTimeConstant<T>(Table[I])...}};
}
template <typename T, const auto& Table>
inline constexpr std::array<T, std::size(Table)> VALUES = convertTable<T, Table>(std::make_index_sequence<std::size(Table)>());

// 2^n for -16382 <= n <= 16383.
template <typename T>
T powerOfTwo(int32_t n) {
    return fromBits<T>(uint16_t(n + EXPONENT_BIAS), INTEGER_BIT);
}
#if TEX_HAVE_X87
// Within double's range through a double, whose 8 bytes the x87 loads
// straight from the store that wrote them.
template <>
inline long double powerOfTwo<long double>(int32_t n) {
    if (n < -1022 || n > 1023) return fromBits<long double>(uint16_t(n + EXPONENT_BIAS), INTEGER_BIT);
    const uint64_t bits = uint64_t(n + 1023) << 52;
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}
#endif

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

// Horner's scheme on a table c of tables.h: c[0] + z * (c[1] + z * (... +
// z * c[n - 1])), unrolled so that each coefficient is a compile-time constant.
template <typename T, const auto& C, size_t... I>
T horner(T z, std::index_sequence<I...>) {
    constexpr size_t n = sizeof...(I) + 1;
    T p = VALUES<T, C>[n - 1];
    ((p = p * z + VALUES<T, C>[n - 2 - I]), ...);
    return p;
}
template <typename T, const auto& C>
T polynomial(T z) {
    return horner<T, C>(z, std::make_index_sequence<std::size(C) - 1>());
}

}  // namespace tex::numeric
