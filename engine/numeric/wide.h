// 64-bit words and their 128-bit products, quotients and bit counts, for
// the software extended type and the sine's argument reduction.
//
// With unsigned __int128 (GCC, Clang) the compiler does the work; elsewhere
// (MSVC, some 32-bit targets) the same results come from 32-bit pieces.
// Builtins are used only where the compiler is known to have them.
#pragma once

#include <cstdint>

namespace tex::wide {

// The plain forms, always compiled (the tests check the fast ones against them).
namespace portable {

constexpr int leadingZeros(uint64_t v) {
    int n = 0;
    if (!(v >> 32)) n += 32, v <<= 32;
    if (!(v >> 48)) n += 16, v <<= 16;
    if (!(v >> 56)) n += 8, v <<= 8;
    if (!(v >> 60)) n += 4, v <<= 4;
    if (!(v >> 62)) n += 2, v <<= 2;
    if (!(v >> 63)) n += 1;
    return n;
}

inline void multiply(uint64_t a, uint64_t b, uint64_t& hi, uint64_t& lo) {
    const uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32, b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
    const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
    lo = (middle << 32) | (p00 & 0xFFFFFFFFu);
    hi = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
}

inline uint64_t divide(uint64_t hi, uint64_t lo, uint64_t d, uint64_t& r) {
    // Long division in two 32-bit digits with a normalised divisor, each
    // digit estimated from the top two words and corrected at most twice.
    const int s = leadingZeros(d);
    d <<= s;
    const uint64_t d1 = d >> 32, d0 = d & 0xFFFFFFFFu;
    const uint64_t n32 = s == 0 ? hi : (hi << s) | (lo >> (64 - s));
    const uint64_t n10 = lo << s;
    const uint64_t n1 = n10 >> 32, n0 = n10 & 0xFFFFFFFFu;
    uint64_t q1 = n32 / d1, rhat = n32 - q1 * d1;
    while (q1 >> 32 || q1 * d0 > ((rhat << 32) | n1)) {
        --q1;
        rhat += d1;
        if (rhat >> 32) break;
    }
    const uint64_t n21 = (n32 << 32) + n1 - q1 * d;
    uint64_t q0 = n21 / d1;
    rhat = n21 - q0 * d1;
    while (q0 >> 32 || q0 * d0 > ((rhat << 32) | n0)) {
        --q0;
        rhat += d1;
        if (rhat >> 32) break;
    }
    r = ((n21 << 32) + n0 - q0 * d) >> s;
    return (q1 << 32) | q0;
}

}  // namespace portable

// Number of leading zero bits of a nonzero word.
constexpr int leadingZeros(uint64_t v) {
#if (defined(__GNUC__) || defined(__clang__)) && !defined(TEX_PLAIN_CXX)
    return __builtin_clzll(v);
#else
    return portable::leadingZeros(v);
#endif
}

// The 128-bit product a * b as hi:lo.
inline void multiply(uint64_t a, uint64_t b, uint64_t& hi, uint64_t& lo) {
#if defined(__SIZEOF_INT128__) && !defined(TEX_PLAIN_CXX)
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    hi = static_cast<uint64_t>(p >> 64);
    lo = static_cast<uint64_t>(p);
#else
    portable::multiply(a, b, hi, lo);
#endif
}

// q = hi:lo / d and r = hi:lo mod d, for hi < d (so that q fits in 64 bits).
inline uint64_t divide(uint64_t hi, uint64_t lo, uint64_t d, uint64_t& r) {
#if defined(__SIZEOF_INT128__) && !defined(TEX_PLAIN_CXX)
    const unsigned __int128 n = (static_cast<unsigned __int128>(hi) << 64) | lo;
    const uint64_t q = static_cast<uint64_t>(n / d);
    r = static_cast<uint64_t>(n - static_cast<unsigned __int128>(q) * d);
    return q;
#else
    return portable::divide(hi, lo, d, r);
#endif
}

// hi:lo >> n for 0 <= n, with every bit shifted out ORed into bit 0 of the
// result ("sticky"), so that rounding still sees that the value was inexact.
inline void shiftRightSticky(uint64_t& hi, uint64_t& lo, int n) {
    if (n == 0) return;
    if (n < 64) {
        const uint64_t lost = lo << (64 - n);
        lo = (lo >> n) | (hi << (64 - n)) | (lost != 0);
        hi >>= n;
    } else if (n < 128) {
        const uint64_t lost = (n == 64 ? 0 : hi << (128 - n)) | lo;
        lo = (n == 64 ? hi : hi >> (n - 64)) | (lost != 0);
        hi = 0;
    } else {
        lo = (hi | lo) != 0;
        hi = 0;
    }
}

}  // namespace tex::wide
