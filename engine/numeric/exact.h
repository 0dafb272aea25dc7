// The exact operations on extended values, written once for both forms of
// the type (the x87 long double where it exists, SoftExt everywhere) so that
// the tests can hold the two side by side: access to the 80-bit pattern,
// absolute value, square root, remainder and rounding to an integer.
//
// Each result is exact (the remainder, the integer) or correctly rounded (the
// square root), so it has one right answer, the x87's: fsqrt, fprem, frndint.
// The long double square root is the fsqrt instruction; the remainder and the
// integer are computed on the bit pattern for both forms.
#pragma once

#include <cstring>

#include "engine/numeric/ext.h"
#include "engine/numeric/soft_ext_internal.h"

namespace tex::numeric {

constexpr int32_t EXPONENT_BIAS = 16383;
constexpr uint64_t INTEGER_BIT = 0x8000000000000000ull;

struct ExtBits {
    uint16_t signExponent;
    uint64_t significand;
};

template <typename T>
T fromBits(uint16_t signExponent, uint64_t significand);

inline ExtBits bitsOf(SoftExt x) { return {x.signExponent(), x.significand()}; }
template <>
inline SoftExt fromBits<SoftExt>(uint16_t signExponent, uint64_t significand) {
    return SoftExt::fromBits(signExponent, significand);
}
inline SoftExt squareRoot(SoftExt x) { return softSqrt(x); }
inline SoftExt absolute(SoftExt x) { return SoftExt::fromBits(x.signExponent() & 0x7FFF, x.significand()); }

#if TEX_HAVE_X87
inline ExtBits bitsOf(long double x) {
    unsigned char bytes[sizeof(long double)];
    std::memcpy(bytes, &x, sizeof x);
    ExtBits b;
    std::memcpy(&b.significand, bytes, 8);
    std::memcpy(&b.signExponent, bytes + 8, 2);
    return b;
}
template <>
inline long double fromBits<long double>(uint16_t signExponent, uint64_t significand) {
    unsigned char bytes[sizeof(long double)] = {};
    std::memcpy(bytes, &significand, 8);
    std::memcpy(bytes + 8, &signExponent, 2);
    long double v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
}
inline long double squareRoot(long double x) {
    __asm__("fsqrt" : "+t"(x));
    return x;
}
inline long double absolute(long double x) { return __builtin_fabsl(x); }
#endif

template <typename T>
bool isNaN(T x) {
    return !(x == x);
}

// NaN results are built from bit patterns, never from an operation such as
// inf - inf: a compiler folding that operation on constants may choose
// another NaN than the processor.
template <typename T>
T defaultNaN() {
    return fromBits<T>(0xFFFF, 0xC000000000000000ull);
}
template <typename T>
T quieted(T nan) {
    const ExtBits b = bitsOf(nan);
    return fromBits<T>(b.signExponent, b.significand | softext::QUIET_BIT);
}
// The NaN an operation on x and y gives when either is NaN (soft_ext.h's rule).
template <typename T>
T propagatedNaN(T x, T y) {
    const ExtBits a = bitsOf(x), b = bitsOf(y);
    const SoftExt sx = SoftExt::fromBits(a.signExponent, a.significand), sy = SoftExt::fromBits(b.signExponent, b.significand);
    const SoftExt r = softext::propagateNaN(sx, sy, softext::unpack(sx).kind, softext::unpack(sy).kind);
    return fromBits<T>(r.signExponent(), r.significand());
}

template <typename T>
bool isFinite(T x) {
    return (bitsOf(x).signExponent & 0x7FFF) != 0x7FFF;
}

// (-1)^negative * significand * 2^(exponent - 63) for a value known to be
// representable (significand normalised, the exponent perhaps subnormal).
template <typename T>
T packExact(bool negative, int32_t exponent, uint64_t significand) {
    const uint16_t sign = negative ? 0x8000 : 0;
    int32_t biased = exponent + EXPONENT_BIAS;
    if (biased < 1) {
        significand >>= 1 - biased;
        biased = 0;
    }
    return fromBits<T>(uint16_t(sign | biased), significand);
}

// The nearest integer, halves to even; the sign of zero kept.
template <typename T>
T roundToInteger(T x) {
    const ExtBits b = bitsOf(x);
    const int32_t field = b.signExponent & 0x7FFF;
    const bool negative = (b.signExponent & 0x8000) != 0;
    if (field == 0x7FFF) return isNaN(x) ? quieted(x) : x;
    const int32_t e = field - EXPONENT_BIAS;
    if (e >= 63) return x;
    if (e < -1 || b.significand == 0) return fromBits<T>(negative ? 0x8000 : 0, 0);
    const int fraction = 63 - e;  // 1 to 64 bits below the point
    uint64_t whole = fraction == 64 ? 0 : b.significand >> fraction;
    const uint64_t rest = fraction == 64 ? b.significand : b.significand & ((uint64_t(1) << fraction) - 1);
    const uint64_t half = uint64_t(1) << (fraction - 1);
    whole += rest > half || (rest == half && (whole & 1));
    if (whole == 0) return fromBits<T>(negative ? 0x8000 : 0, 0);
    const T magnitude = T(static_cast<unsigned long long>(whole));
    return negative ? -magnitude : magnitude;
}

// x - trunc(x / y) * y, exactly, with the sign of x; as fprem.
template <typename T>
T remainder(T x, T y) {
    if (isNaN(x) || isNaN(y)) return propagatedNaN(x, y);
    const ExtBits bx = bitsOf(x), by = bitsOf(y);
    const bool negative = (bx.signExponent & 0x8000) != 0;
    if ((bx.signExponent & 0x7FFF) == 0x7FFF || by.significand == 0) return defaultNaN<T>();
    if ((by.signExponent & 0x7FFF) == 0x7FFF || bx.significand == 0) return x;
    // Normalised significands and unbiased exponents (subnormals below -16382).
    auto unpack = [](ExtBits b, uint64_t& m, int32_t& e) {
        const int32_t field = b.signExponent & 0x7FFF;
        e = (field == 0 ? 1 : field) - EXPONENT_BIAS;
        const int shift = wide::leadingZeros(b.significand);
        m = b.significand << shift;
        e -= shift;
    };
    uint64_t mx, my;
    int32_t ex, ey;
    unpack(bx, mx, ex);
    unpack(by, my, ey);
    if (ex < ey || (ex == ey && mx < my)) return x;
    // (mx * 2^(ex - ey)) mod my, up to 63 bits of the exponent difference per step.
    uint64_t r = mx >= my ? mx - my : mx;
    for (int32_t d = ex - ey; d > 0;) {
        const int k = d < 63 ? int(d) : 63;
        uint64_t next;
        wide::divide(r >> (64 - k), r << k, my, next);
        r = next;
        d -= k;
    }
    if (r == 0) return fromBits<T>(negative ? 0x8000 : 0, 0);
    const int shift = wide::leadingZeros(r);
    return packExact<T>(negative, ey - shift, r << shift);
}

}  // namespace tex::numeric
