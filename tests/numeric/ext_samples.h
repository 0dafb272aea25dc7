// Random extended values for the comparisons of SoftExt with the x87 and of
// the engine's functions with references: bit patterns of every canonical
// class, weighted towards the edges (zeros, subnormals, the smallest and
// largest normals, infinities, quiet and signalling NaN with payloads, short
// significands whose products and sums fall on halfway cases, exponents close
// to each other for cancellation).
#pragma once

#include <cstdint>
#include <cstring>

#include "engine/numeric/exact.h"

namespace textest {

// xorshift128+: fast, and the same sequence everywhere.
class Random {
public:
    explicit Random(uint64_t seed) : a_(seed * 0x9E3779B97F4A7C15ull + 1), b_(seed ^ 0xD1B54A32D192ED03ull) {
        for (int i = 0; i < 8; ++i) next();
    }
    uint64_t next() {
        uint64_t x = a_;
        const uint64_t y = b_;
        a_ = y;
        x ^= x << 23;
        b_ = x ^ y ^ (x >> 17) ^ (y >> 26);
        return b_ + y;
    }
    uint32_t below(uint32_t n) { return uint32_t((next() >> 32) * n >> 32); }

private:
    uint64_t a_, b_;
};

using Bits = tex::numeric::ExtBits;

// A 64-bit significand with its integer bit: random, short (few significant
// bits, so that exact results and halfway cases occur), all ones or a power
// of two.
inline uint64_t randomSignificand(Random& r) {
    const uint64_t top = 0x8000000000000000ull;
    switch (r.below(8)) {
        case 0: return ~0ull;
        case 1: return top;
        case 2: case 3: {
            const uint32_t length = 1 + r.below(40);
            return top | ((r.next() >> (64 - length)) << (63 - length));
        }
        default: return top | r.next();
    }
}

// Any canonical extended value; `near` (when given) pulls the exponent close
// to another operand's.
inline Bits randomBits(Random& r, const Bits* near = nullptr) {
    const uint16_t sign = r.below(2) ? 0x8000 : 0;
    const uint64_t m = randomSignificand(r), top = 0x8000000000000000ull;
    const uint32_t pick = r.below(32);
    if (near && pick < 12) {
        const int32_t e = (near->signExponent & 0x7FFF) + int32_t(r.below(5)) - 2 + (pick < 2 ? int32_t(r.below(140)) - 70 : 0);
        if (e >= 1 && e <= 0x7FFE) return {uint16_t(sign | e), m};
    }
    switch (pick) {
        case 12: return {sign, 0};                                                   // zero
        case 13: case 14: return {sign, m >> (1 + r.below(63))};                     // subnormal
        case 15: return {uint16_t(sign | (1 + r.below(3))), m};                      // smallest normals
        case 16: return {uint16_t(sign | (0x7FFE - r.below(3))), m};                 // largest
        case 17: return {uint16_t(sign | 0x7FFF), top};                              // infinity
        case 18: return {uint16_t(sign | 0x7FFF), top | 0x4000000000000000ull | (r.next() >> (2 + r.below(62)))};  // quiet NaN
        case 19: return {uint16_t(sign | 0x7FFF), top | (r.next() >> (2 + r.below(62))) | 1};  // signalling NaN
        case 20: case 21: case 22: return {uint16_t(sign | (16383 - 80 + r.below(160))), m};  // near 1
        default: return {uint16_t(sign | (1 + r.below(0x7FFE))), m};
    }
}

}  // namespace textest
