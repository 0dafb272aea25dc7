// SoftExt: the x87's extended precision in portable integer arithmetic.
//
// A value is the 80-bit pattern itself: a sign, a 15-bit exponent biased by
// 16383 and a 64-bit significand whose top bit is the explicit integer bit.
// Exponent 0 holds zero and the subnormals (gradual underflow, weighted as
// exponent 1), exponent 32767 the infinities (significand 2^63) and NaN
// (quiet when bit 62 is set). Every operation rounds once to nearest, ties to
// even, and gives exactly the bits the x87 gives in 64-bit precision: the
// same subnormals, infinities and NaN. A NaN operand comes out quieted; of
// two NaNs a quiet one wins over a signalling one, then the larger
// significand, then the positive sign; an invalid operation (inf - inf,
// 0 * inf, 0 / 0, inf / inf, sqrt of a negative) gives the default NaN,
// sign set, significand 0xC000000000000000.
//
// Conversions from float, double and the integer types are exact and
// implicit, so that mixed expressions read as they do with long double.
// Conversions out are explicit: to float and double rounded as above, to an
// integer type truncated toward zero; a NaN, an infinity or a value whose
// truncation the type cannot hold gives the "integer indefinite", the
// pattern 100...0 of the type's width (the x87's answer for int32 and int64).
//
// Encodings no operation produces (unnormals, pseudo-NaN, pseudo-infinities)
// are treated as the x87 treats them, as invalid operands giving the default
// NaN (and unordered in comparisons); a pseudo-denormal counts as the
// subnormal-exponent value it spells. They are not otherwise tested.
#pragma once

#include <cstdint>
#include <type_traits>

#include "engine/numeric/wide.h"

namespace tex {

class SoftExt {
public:
    constexpr SoftExt() : significand_(0), signExponent_(0) {}
    constexpr SoftExt(int v) : SoftExt(fromSigned(v)) {}
    constexpr SoftExt(long v) : SoftExt(fromSigned(v)) {}
    constexpr SoftExt(long long v) : SoftExt(fromSigned(v)) {}
    constexpr SoftExt(unsigned v) : SoftExt(fromUnsigned(v, false)) {}
    constexpr SoftExt(unsigned long v) : SoftExt(fromUnsigned(v, false)) {}
    constexpr SoftExt(unsigned long long v) : SoftExt(fromUnsigned(v, false)) {}
    SoftExt(float v);
    SoftExt(double v);

    static constexpr SoftExt fromBits(uint16_t signExponent, uint64_t significand) {
        return SoftExt(significand, signExponent);
    }
    constexpr uint16_t signExponent() const { return signExponent_; }
    constexpr uint64_t significand() const { return significand_; }

    explicit operator float() const;
    explicit operator double() const;
    explicit operator bool() const;
    template <typename I, typename = std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>>>
    explicit operator I() const {
        constexpr int bits = int(sizeof(I) * 8);
        if constexpr (std::is_signed_v<I>) {
            return static_cast<I>(toSigned(bits));
        } else {
            return static_cast<I>(toUnsigned(bits));
        }
    }

    SoftExt operator-() const { return SoftExt(significand_, uint16_t(signExponent_ ^ 0x8000u)); }
    SoftExt operator+() const { return *this; }
    SoftExt& operator+=(SoftExt b);
    SoftExt& operator-=(SoftExt b);
    SoftExt& operator*=(SoftExt b);
    SoftExt& operator/=(SoftExt b);

private:
    constexpr SoftExt(uint64_t significand, uint16_t signExponent)
        : significand_(significand), signExponent_(signExponent) {}
    static constexpr SoftExt fromUnsigned(unsigned long long v, bool negative) {
        if (v == 0) return SoftExt(0, negative ? 0x8000 : 0);
        const int shift = wide::leadingZeros(v);
        return SoftExt(uint64_t(v) << shift, uint16_t((negative ? 0x8000 : 0) | (16383 + 63 - shift)));
    }
    static constexpr SoftExt fromSigned(long long v) {
        // The magnitude of INT64_MIN is 2^63, which unsigned arithmetic holds.
        return fromUnsigned(v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v), v < 0);
    }
    // Truncated to a two's-complement integer of `bits` bits (8 to 64), or
    // the indefinite pattern; the result in the low bits of the word.
    int64_t toSigned(int bits) const;
    uint64_t toUnsigned(int bits) const;

    uint64_t significand_;
    uint16_t signExponent_;
};

SoftExt operator+(SoftExt a, SoftExt b);
SoftExt operator-(SoftExt a, SoftExt b);
SoftExt operator*(SoftExt a, SoftExt b);
SoftExt operator/(SoftExt a, SoftExt b);
SoftExt softSqrt(SoftExt x);  // correctly rounded, as fsqrt

// -1, 0 or 1 as a < b, a == b, a > b; 2 when unordered (a NaN).
int softCompare(SoftExt a, SoftExt b);
inline bool operator==(SoftExt a, SoftExt b) { return softCompare(a, b) == 0; }
inline bool operator!=(SoftExt a, SoftExt b) { return softCompare(a, b) != 0; }
inline bool operator<(SoftExt a, SoftExt b) { return softCompare(a, b) == -1; }
inline bool operator>(SoftExt a, SoftExt b) { return softCompare(a, b) == 1; }
inline bool operator<=(SoftExt a, SoftExt b) { return unsigned(softCompare(a, b) + 1) <= 1u; }
inline bool operator>=(SoftExt a, SoftExt b) { return unsigned(softCompare(a, b)) <= 1u; }

inline SoftExt& SoftExt::operator+=(SoftExt b) { return *this = *this + b; }
inline SoftExt& SoftExt::operator-=(SoftExt b) { return *this = *this - b; }
inline SoftExt& SoftExt::operator*=(SoftExt b) { return *this = *this * b; }
inline SoftExt& SoftExt::operator/=(SoftExt b) { return *this = *this / b; }

}  // namespace tex
