// Reduction of a sine or cosine argument by quarter turns, exactly, in
// integer arithmetic (see sincos.h for the bounds).
//
// x = m * 2^(e - 63) with m a 64-bit integer. x * 2/pi is m times the bits of
// 2/pi; bits of 2/pi whose products with m are whole multiples of 4 do not
// change the quadrant or the fraction and are skipped, so a window of 320
// bits starting at bit e - 64 of 2/pi is enough for every exponent: the
// product m * window (384 bits) has its binary point at bit 318, the two bits
// above it give the quadrant and the 318 below the fraction, in error by less
// than 2^-255 (the bits of 2/pi beyond the window). The fraction is rounded to
// the nearest quadrant, normalised to 128 bits and multiplied by pi/2 (128
// bits), all in 64-bit words.
#include <iterator>

#include "engine/numeric/sincos.h"
#include "engine/numeric/tables.h"

namespace tex::numeric {

namespace {

constexpr int WINDOW = 5;  // 64-bit words of 2/pi per reduction

// Bit i (weight 2^-i, i >= 1) of 2/pi is bit 63 - (i - 1) % 64 of
// TWO_OVER_PI[(i - 1) / 64]; there are no bits at i < 1 (2/pi < 1).
uint64_t tableWord(int32_t index) {
    return index >= 0 && index < int32_t(std::size(tables::TWO_OVER_PI)) ? tables::TWO_OVER_PI[index] : 0;
}

// The 64 bits of 2/pi from bit `first` (weight 2^-first) on.
uint64_t bitsFrom(int32_t first) {
    const int32_t start = first - 1;  // 0-based position
    const int32_t word = start >= 0 ? start / 64 : -((63 - start) / 64);
    const int offset = int(start - word * 64);
    if (offset == 0) return tableWord(word);
    return (tableWord(word) << offset) | (tableWord(word + 1) >> (64 - offset));
}

}  // namespace

QuarterTurns reduceQuarterTurns(uint64_t m, int32_t e) {
    // The window, most significant word first, and m times it: product[0]
    // is the least significant of six words.
    uint64_t product[WINDOW + 1] = {};
    const int32_t first = e - 64;
    for (int k = 0; k < WINDOW; ++k) {
        uint64_t hi, lo;
        wide::multiply(m, bitsFrom(first + 64 * k), hi, lo);
        // word k of the window weighs 2^(64 * (WINDOW - 1 - k)) in the product
        const int at = WINDOW - 1 - k;
        uint64_t carry = 0;
        uint64_t sum = product[at] + lo;
        carry = sum < lo;
        product[at] = sum;
        sum = product[at + 1] + hi;
        const uint64_t carry2 = sum < hi;
        sum += carry;
        product[at + 1] = sum;
        carry = carry2 | (sum < carry);
        for (int j = at + 2; carry && j <= WINDOW; ++j) carry = ++product[j] == 0;
    }
    // The binary point lies at bit 318: bits 319 and 318 are the quadrant.
    // The fraction, shifted to fill five words (bit 317 becomes bit 319).
    QuarterTurns r;
    r.quadrant = int(product[4] >> 62);
    uint64_t f[WINDOW];
    for (int k = 0; k < WINDOW; ++k) f[k] = (product[k] << 2) | (k > 0 ? product[k - 1] >> 62 : 0);
    r.negative = (f[WINDOW - 1] >> 63) != 0;
    if (r.negative) {  // at least half a turn: the next quadrant, less (1 - fraction)
        r.quadrant = (r.quadrant + 1) & 3;
        uint64_t borrow = 0;
        for (int k = 0; k < WINDOW; ++k) {
            const uint64_t v = 0 - f[k] - borrow;
            borrow = (f[k] | borrow) != 0;
            f[k] = v;
        }
    }
    // Leading word and bit; 128 bits from there. The fraction is never 0
    // (pi is irrational) and never below 2^-77 (see sincos.h).
    int top = WINDOW - 1;
    while (top > 0 && f[top] == 0) --top;
    const int zeros = wide::leadingZeros(f[top] | (top == 0));
    auto word = [&](int k) { return k >= 0 ? f[k] : uint64_t(0); };
    const uint64_t a1 = zeros ? (f[top] << zeros) | (word(top - 1) >> (64 - zeros)) : f[top];
    const uint64_t a0 = zeros ? (word(top - 1) << zeros) | (word(top - 2) >> (64 - zeros)) : word(top - 1);
    // fraction = a1:a0 * 2^(L - 447) where L is the leading bit's position
    // (0-based) in the 320-bit fraction; fraction * pi/2 = 2 * fraction * pi/4,
    // the top 128 bits of a1:a0 * (pi/4 * 2^128) give it times 2^(L - 446).
    const int32_t leading = top * 64 + 63 - zeros;
    const uint64_t b1 = tables::PI_OVER_4[0], b0 = tables::PI_OVER_4[1];
    uint64_t h11, l11, h10, l10, h01, l01, h00, l00;
    wide::multiply(a1, b1, h11, l11);
    wide::multiply(a1, b0, h10, l10);
    wide::multiply(a0, b1, h01, l01);
    wide::multiply(a0, b0, h00, l00);
    // Sum the middle column (bits 64..127 of the 256-bit product) for its carries.
    uint64_t middle = h00 + l10;
    uint64_t carries = middle < h00;
    middle += l01;
    carries += middle < l01;
    uint64_t low = l11 + h10;
    uint64_t high = h11 + (low < l11);
    low += h01;
    high += low < h01;
    low += carries;
    high += low < carries;
    if (!(high >> 63)) {  // normalise: one bit up, the next bit from the middle column
        high = (high << 1) | (low >> 63);
        low = (low << 1) | (middle >> 63);
        r.scale = leading - 446 - 1;
    } else {
        r.scale = leading - 446;
    }
    r.hi = high;
    r.lo = low;
    return r;
}

}  // namespace tex::numeric
