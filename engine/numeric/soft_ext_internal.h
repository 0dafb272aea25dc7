// SoftExt's unpacked form and its NaN rules, shared by its arithmetic and
// its conversions.
#pragma once

#include <cstdint>

#include "engine/numeric/soft_ext.h"

namespace tex::softext {

constexpr int32_t BIAS = 16383;
constexpr uint64_t INTEGER_BIT = 0x8000000000000000ull;
constexpr uint64_t QUIET_BIT = 0x4000000000000000ull;

// Invalid: the encodings no operation produces but a subnormal-exponent
// pseudo-denormal (unnormals, pseudo-NaN, pseudo-infinities).
enum class Kind { Finite, Infinity, NaN, Invalid };

// A finite value is (-1)^negative * significand * 2^(exponent - BIAS - 63);
// subnormals and zeros carry exponent 1 and a significand below 2^63.
struct Unpacked {
    Kind kind;
    bool negative;
    int32_t exponent;
    uint64_t significand;
};

inline Unpacked unpack(SoftExt x) {
    const int32_t e = x.signExponent() & 0x7FFF;
    const uint64_t m = x.significand();
    const bool negative = (x.signExponent() & 0x8000) != 0;
    if (e == 0x7FFF) {
        const Kind kind = !(m & INTEGER_BIT) ? Kind::Invalid : (m << 1) == 0 ? Kind::Infinity : Kind::NaN;
        return {kind, negative, e, m};
    }
    if (e == 0) return {Kind::Finite, negative, 1, m};
    return {(m & INTEGER_BIT) ? Kind::Finite : Kind::Invalid, negative, e, m};
}

// Shifts a nonzero subnormal significand up to bit 63, lowering the exponent
// below 1 as far as needed.
inline void normalise(Unpacked& a) {
    if (a.significand & INTEGER_BIT) return;
    const int shift = wide::leadingZeros(a.significand);
    a.significand <<= shift;
    a.exponent -= shift;
}

inline SoftExt defaultNaN() { return SoftExt::fromBits(0xFFFF, INTEGER_BIT | QUIET_BIT); }
inline SoftExt infinity(bool negative) { return SoftExt::fromBits(negative ? 0xFFFF : 0x7FFF, INTEGER_BIT); }
inline SoftExt quiet(SoftExt nan) { return SoftExt::fromBits(nan.signExponent(), nan.significand() | QUIET_BIT); }

// The NaN an operation on x and y returns when either is NaN: a quiet one
// before a signalling one, then the larger significand, then the positive
// sign; quieted.
inline SoftExt propagateNaN(SoftExt x, SoftExt y, Kind kx, Kind ky) {
    if (kx != Kind::NaN) return quiet(y);
    if (ky != Kind::NaN) return quiet(x);
    const bool qx = (x.significand() & QUIET_BIT) != 0, qy = (y.significand() & QUIET_BIT) != 0;
    if (qx != qy) return qx ? x : y;
    if (x.significand() != y.significand()) return quiet(x.significand() > y.significand() ? x : y);
    return quiet((x.signExponent() & 0x8000) ? y : x);
}

}  // namespace tex::softext
