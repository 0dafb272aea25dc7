// SoftExt arithmetic: + - * /, square root and comparison, each rounded
// once as the x87 rounds in 64-bit precision (see soft_ext.h).
//
// Finite operands are unpacked to a sign, an exponent (subnormals weighted as
// exponent 1) and the 64-bit significand; the exact result, or its leading
// 128 bits with every lower bit ORed into the last ("sticky"), goes to
// roundPack, which normalises, denormalises below the smallest exponent and
// rounds to nearest, ties to even, in one step. Infinities, NaN and the
// encodings no operation produces take the branch in `special`.
#include "engine/numeric/soft_ext.h"

#include "engine/numeric/soft_ext_internal.h"

namespace tex {

using namespace softext;

namespace {

constexpr int32_t MAX_EXPONENT = 0x7FFF;

// (-1)^negative * hi:lo * 2^(exponent - 16383 - 127), that is hi read as a
// significand at the biased `exponent` with lo the bits below it, rounded to
// 64 bits. hi:lo need not be normalised: it is shifted left while the
// exponent stays above 1 and right (with sticky bits) while it is below 1;
// whatever is left with its top bit clear is subnormal.
SoftExt roundPack(bool negative, int32_t exponent, uint64_t hi, uint64_t lo) {
    const uint16_t sign = negative ? 0x8000 : 0;
    if (hi == 0 && lo == 0) return SoftExt::fromBits(sign, 0);
    if (!(hi >> 63) && exponent > 1) {
        const int zeros = hi ? wide::leadingZeros(hi) : 64 + wide::leadingZeros(lo);
        const int shift = zeros < exponent - 1 ? zeros : exponent - 1;
        if (shift >= 64) {
            hi = lo << (shift - 64);
            lo = 0;
        } else if (shift > 0) {
            hi = (hi << shift) | (lo >> (64 - shift));
            lo <<= shift;
        }
        exponent -= shift;
    }
    if (exponent < 1) {
        // Below the smallest exponent: shift into the subnormal position.
        const int64_t shift = int64_t(1) - exponent;
        wide::shiftRightSticky(hi, lo, shift > 130 ? 130 : int(shift));
        exponent = 1;
    }
    const bool up = lo > 0x8000000000000000ull || (lo == 0x8000000000000000ull && (hi & 1));
    if (up && ++hi == 0) {  // carried out of the top: 2^64 is 2^63 one exponent higher
        hi = 0x8000000000000000ull;
        ++exponent;
    }
    if (exponent >= MAX_EXPONENT) return SoftExt::fromBits(uint16_t(sign | MAX_EXPONENT), 0x8000000000000000ull);
    // A subnormal keeps exponent field 0; rounding up into bit 63 makes it
    // the smallest normal, exponent 1.
    return SoftExt::fromBits(uint16_t(sign | (hi >> 63 ? exponent : 0)), hi);
}

// The sum or difference of two finite canonical values, |a| >= |b| by
// (effective exponent, significand).
SoftExt addMagnitudes(const Unpacked& a, const Unpacked& b, bool negative, bool subtract) {
    uint64_t hi = b.significand, lo = 0;
    wide::shiftRightSticky(hi, lo, a.exponent - b.exponent > 130 ? 130 : a.exponent - b.exponent);
    int32_t exponent = a.exponent;
    if (!subtract) {
        uint64_t sum = a.significand + hi;
        if (sum < hi) {  // carry: one bit right, the lost bit into the sticky word
            lo = (lo >> 1) | (lo & 1) | (sum << 63);
            sum = (sum >> 1) | 0x8000000000000000ull;
            ++exponent;
        }
        return roundPack(negative, exponent, sum, lo);
    }
    // a.significand:0 - hi:lo, never negative.
    const uint64_t lowDifference = 0 - lo;
    const uint64_t highDifference = a.significand - hi - (lo != 0);
    // An exact zero difference is +0 when rounding to nearest.
    if (highDifference == 0 && lowDifference == 0) return SoftExt::fromBits(0, 0);
    return roundPack(negative, exponent, highDifference, lowDifference);
}

SoftExt add(SoftExt x, SoftExt y, bool negateY) {
    const Unpacked a = unpack(x), b = unpack(y);
    if (a.kind != Kind::Finite || b.kind != Kind::Finite) {
        if (a.kind == Kind::NaN || b.kind == Kind::NaN) return propagateNaN(x, y, a.kind, b.kind);
        if (a.kind == Kind::Invalid || b.kind == Kind::Invalid) return defaultNaN();
        const bool bNegative = b.negative != negateY;
        if (a.kind == Kind::Infinity && b.kind == Kind::Infinity)
            return a.negative == bNegative ? x : defaultNaN();
        if (a.kind == Kind::Infinity) return x;
        return negateY ? -y : y;
    }
    const bool bNegative = b.negative != negateY;
    const bool subtract = a.negative != bNegative;
    const bool aLarger = a.exponent > b.exponent || (a.exponent == b.exponent && a.significand >= b.significand);
    if (a.significand == 0 && b.significand == 0)  // zeros: -0 only from -0 + -0
        return SoftExt::fromBits(a.negative && bNegative ? 0x8000 : 0, 0);
    return aLarger ? addMagnitudes(a, b, a.negative, subtract) : addMagnitudes(b, a, bNegative, subtract);
}

// 128-bit helpers for the square root's digit recurrence.
struct U128 {
    uint64_t hi, lo;
};
inline bool lessThan(U128 a, U128 b) { return a.hi < b.hi || (a.hi == b.hi && a.lo < b.lo); }
inline U128 minus(U128 a, U128 b) { return {a.hi - b.hi - (a.lo < b.lo), a.lo - b.lo}; }
inline U128 plus(U128 a, U128 b) {
    const uint64_t lo = a.lo + b.lo;
    return {a.hi + b.hi + (lo < a.lo), lo};
}
inline U128 shiftRight(U128 a, int n) {  // 0 < n < 64
    return {a.hi >> n, (a.lo >> n) | (a.hi << (64 - n))};
}

}  // namespace

SoftExt operator+(SoftExt a, SoftExt b) { return add(a, b, false); }
SoftExt operator-(SoftExt a, SoftExt b) { return add(a, b, true); }

SoftExt operator*(SoftExt x, SoftExt y) {
    Unpacked a = unpack(x), b = unpack(y);
    const bool negative = a.negative != b.negative;
    if (a.kind != Kind::Finite || b.kind != Kind::Finite) {
        if (a.kind == Kind::NaN || b.kind == Kind::NaN) return propagateNaN(x, y, a.kind, b.kind);
        if (a.kind == Kind::Invalid || b.kind == Kind::Invalid) return defaultNaN();
        if ((a.kind == Kind::Finite && a.significand == 0) || (b.kind == Kind::Finite && b.significand == 0))
            return defaultNaN();  // 0 * inf
        return infinity(negative);
    }
    if (a.significand == 0 || b.significand == 0) return SoftExt::fromBits(negative ? 0x8000 : 0, 0);
    normalise(a);
    normalise(b);
    uint64_t hi, lo;
    wide::multiply(a.significand, b.significand, hi, lo);
    return roundPack(negative, a.exponent + b.exponent - BIAS + 1, hi, lo);
}

SoftExt operator/(SoftExt x, SoftExt y) {
    Unpacked a = unpack(x), b = unpack(y);
    const bool negative = a.negative != b.negative;
    if (a.kind != Kind::Finite || b.kind != Kind::Finite) {
        if (a.kind == Kind::NaN || b.kind == Kind::NaN) return propagateNaN(x, y, a.kind, b.kind);
        if (a.kind == Kind::Invalid || b.kind == Kind::Invalid) return defaultNaN();
        if (a.kind == Kind::Infinity && b.kind == Kind::Infinity) return defaultNaN();
        if (a.kind == Kind::Infinity) return infinity(negative);
        return SoftExt::fromBits(negative ? 0x8000 : 0, 0);  // finite / inf
    }
    if (b.significand == 0) return a.significand == 0 ? defaultNaN() : infinity(negative);
    if (a.significand == 0) return SoftExt::fromBits(negative ? 0x8000 : 0, 0);
    normalise(a);
    normalise(b);
    // 64 quotient bits, then one more and the sticky remainder.
    const bool atLeast = a.significand >= b.significand;
    uint64_t remainder;
    const uint64_t quotient = atLeast ? wide::divide(a.significand >> 1, a.significand << 63, b.significand, remainder)
                                      : wide::divide(a.significand, 0, b.significand, remainder);
    const bool nextBit = remainder >= b.significand - remainder;
    if (nextBit) remainder -= b.significand - remainder;
    const uint64_t lo = (uint64_t(nextBit) << 63) | (remainder != 0);
    return roundPack(negative, a.exponent - b.exponent + BIAS - (atLeast ? 0 : 1), quotient, lo);
}

SoftExt softSqrt(SoftExt x) {
    Unpacked a = unpack(x);
    if (a.kind == Kind::NaN) return quiet(x);
    if (a.kind == Kind::Invalid) return defaultNaN();
    if (a.kind == Kind::Finite && a.significand == 0) return x;  // sqrt(-0) is -0
    if (a.negative) return defaultNaN();
    if (a.kind == Kind::Infinity) return x;
    normalise(a);
    // The value is m * 2^(e - 63) with e the unbiased exponent; take the
    // integer root of m * 2^63 (e even) or m * 2^64 (e odd), 64 bits either way.
    const int32_t e = a.exponent - BIAS;
    const bool odd = (e & 1) != 0;
    U128 n = odd ? U128{a.significand, 0} : U128{a.significand >> 1, a.significand << 63};
    U128 root{0, 0}, bit{0x4000000000000000ull, 0};
    for (int i = 0; i < 64; ++i) {
        const U128 trial = plus(root, bit);
        if (!lessThan(n, trial)) {
            n = minus(n, trial);
            root = plus(shiftRight(root, 1), bit);
        } else {
            root = shiftRight(root, 1);
        }
        bit = shiftRight(bit, 2);
    }
    // n is now the remainder N - R^2. The true root exceeds R + 1/2 exactly
    // when the remainder exceeds R (never equal: no halfway cases).
    const uint64_t r = root.lo;
    const bool aboveHalf = n.hi != 0 || n.lo > r;
    const uint64_t lo = (uint64_t(aboveHalf) << 63) | (n.hi != 0 || n.lo != 0);
    return roundPack(false, (e - (odd ? 1 : 0)) / 2 + BIAS, r, lo);
}

int softCompare(SoftExt x, SoftExt y) {
    const Unpacked a = unpack(x), b = unpack(y);
    if (a.kind == Kind::NaN || b.kind == Kind::NaN || a.kind == Kind::Invalid || b.kind == Kind::Invalid) return 2;
    const bool aZero = a.kind == Kind::Finite && a.significand == 0;
    const bool bZero = b.kind == Kind::Finite && b.significand == 0;
    if (aZero && bZero) return 0;
    if (a.negative != b.negative) return a.negative ? -1 : 1;
    // Same sign: order the magnitudes (infinity as the largest exponent).
    const int32_t ea = a.kind == Kind::Infinity ? MAX_EXPONENT : a.exponent;
    const int32_t eb = b.kind == Kind::Infinity ? MAX_EXPONENT : b.exponent;
    int order = 0;
    if (ea != eb) order = ea < eb ? -1 : 1;
    else if (a.significand != b.significand) order = a.significand < b.significand ? -1 : 1;
    return a.negative ? -order : order;
}

}  // namespace tex
