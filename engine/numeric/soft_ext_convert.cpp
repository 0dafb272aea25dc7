// SoftExt conversions to and from float, double and the integer types.
//
// In: exact (every float, double and integer of 64 bits or fewer is an
// extended value); a signalling NaN comes in quieted, its payload kept in the
// top bits. Out to float and double: rounded once to nearest, ties to even,
// with the binary format's subnormals and overflow to infinity; a NaN keeps
// its sign and the top bits of its payload and comes out quiet. Out to
// integers: see soft_ext.h.
#include <cstring>

#include "engine/numeric/soft_ext.h"
#include "engine/numeric/soft_ext_internal.h"

namespace tex {

using namespace softext;

namespace {

// A binary interchange format: significand bits with the hidden one,
// exponent bias, widest exponent field.
struct Format {
    int precision;
    int32_t bias;
    uint64_t maxExponent;
};
constexpr Format FLOAT{24, 127, 0xFF};
constexpr Format DOUBLE{53, 1023, 0x7FF};

// The extended value of a format's bit pattern (sign, exponent, fraction).
SoftExt fromBinary(const Format& f, bool negative, uint64_t exponent, uint64_t fraction) {
    const uint16_t sign = negative ? 0x8000 : 0;
    const int fractionBits = f.precision - 1;
    if (exponent == f.maxExponent) {
        if (fraction == 0) return SoftExt::fromBits(uint16_t(sign | 0x7FFF), INTEGER_BIT);
        return SoftExt::fromBits(uint16_t(sign | 0x7FFF), INTEGER_BIT | QUIET_BIT | (fraction << (63 - fractionBits)));
    }
    if (exponent == 0) {
        if (fraction == 0) return SoftExt::fromBits(sign, 0);
        const int shift = wide::leadingZeros(fraction);  // subnormal: normalise
        return SoftExt::fromBits(uint16_t(sign | (BIAS - f.bias + 1 - (shift - (63 - fractionBits)))),
                                 fraction << shift);
    }
    return SoftExt::fromBits(uint16_t(sign | (int32_t(exponent) - f.bias + BIAS)),
                             INTEGER_BIT | (fraction << (63 - fractionBits)));
}

// The bit pattern of x rounded to the format.
uint64_t toBinary(const Format& f, SoftExt x) {
    Unpacked a = unpack(x);
    const int fractionBits = f.precision - 1;
    const uint64_t sign = uint64_t(a.negative) << (fractionBits + (f.maxExponent == 0xFF ? 8 : 11));
    const uint64_t infinityBits = sign | (f.maxExponent << fractionBits);
    if (a.kind == Kind::Invalid) return (uint64_t(1) << (fractionBits + (f.maxExponent == 0xFF ? 8 : 11))) |
                                       infinityBits | (uint64_t(1) << (fractionBits - 1));
    if (a.kind == Kind::Infinity) return infinityBits;
    if (a.kind == Kind::NaN)
        return infinityBits | (uint64_t(1) << (fractionBits - 1)) | ((a.significand << 1) >> (64 - fractionBits));
    if (a.significand == 0) return sign;
    normalise(a);
    // The unbiased exponent, and the exponent of the result's last bit:
    // fixed at the format's smallest exponent for subnormal results.
    const int32_t e = a.exponent - BIAS;
    const int32_t minExponent = 1 - f.bias;
    const int32_t quantum = (e > minExponent ? e : minExponent) - fractionBits;
    uint64_t hi = a.significand, lo = 0;
    const int32_t shift = quantum - e + 63;  // at least 64 - precision
    wide::shiftRightSticky(hi, lo, shift > 130 ? 130 : int(shift));
    if (lo > INTEGER_BIT || (lo == INTEGER_BIT && (hi & 1))) ++hi;
    // hi * 2^quantum, hi at most 2^precision (a carry out of the top).
    const uint64_t hidden = uint64_t(1) << fractionBits;
    if (hi < hidden) return sign | hi;  // subnormal or zero
    int32_t biased = quantum + fractionBits + f.bias;
    if (hi >> f.precision) {
        hi >>= 1;
        ++biased;
    }
    if (uint64_t(biased) >= f.maxExponent) return infinityBits;
    return sign | (uint64_t(biased) << fractionBits) | (hi - hidden);
}

}  // namespace

SoftExt::SoftExt(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    *this = fromBinary(FLOAT, bits >> 31, (bits >> 23) & 0xFF, bits & 0x7FFFFF);
}

SoftExt::SoftExt(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    *this = fromBinary(DOUBLE, bits >> 63, (bits >> 52) & 0x7FF, bits & 0xFFFFFFFFFFFFFull);
}

SoftExt::operator float() const {
    const uint32_t bits = uint32_t(toBinary(FLOAT, *this));
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

SoftExt::operator double() const {
    const uint64_t bits = toBinary(DOUBLE, *this);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

SoftExt::operator bool() const { return softCompare(*this, SoftExt(0)) != 0; }

// Truncation to a `bits`-wide two's-complement integer, or the indefinite
// pattern 100...0 (sign-extended in the result word).
int64_t SoftExt::toSigned(int bits) const {
    const Unpacked a = unpack(*this);
    const int64_t indefinite = bits == 64 ? INT64_MIN : -(int64_t(1) << (bits - 1));
    if (a.kind != Kind::Finite) return indefinite;
    const int32_t e = a.exponent - BIAS;  // subnormals: far below 0
    if (e < 0 || a.significand == 0) return 0;
    if (e >= 63) return (a.negative && e == 63 && a.significand == INTEGER_BIT && bits == 64) ? INT64_MIN : indefinite;
    const uint64_t magnitude = a.significand >> (63 - e);
    const uint64_t limit = uint64_t(1) << (bits - 1);  // |minimum|
    if (a.negative ? magnitude > limit : magnitude >= limit) return indefinite;
    return a.negative ? int64_t(0 - magnitude) : int64_t(magnitude);
}

uint64_t SoftExt::toUnsigned(int bits) const {
    const Unpacked a = unpack(*this);
    const uint64_t indefinite = uint64_t(1) << (bits - 1);
    if (a.kind != Kind::Finite) return indefinite;
    const int32_t e = a.exponent - BIAS;
    if (e < 0 || a.significand == 0) return 0;  // below 1 in magnitude, either sign
    if (a.negative || e >= bits) return indefinite;
    return a.significand >> (63 - e);
}

}  // namespace tex
