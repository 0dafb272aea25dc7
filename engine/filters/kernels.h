// Row kernels of the 3x3 filters, written once over a small vector interface
// and compiled once per instruction set (kernels_sse2.cpp, kernels_avx2.cpp,
// kernels_avx512.cpp) and once in plain C++ (kernels_portable.cpp).
//
// Data layout: a row is width pixels of three bytes, so the same channel of
// the left and right neighbours lies 3 bytes before and after. A vector holds
// N consecutive bytes of a row, whatever channels they are; every lane is
// computed independently from the lanes at the same position in the nine
// neighbour vectors. Arithmetic that can exceed a byte runs on 16-bit lanes
// (all intermediate values stay within -1024..4080) and is packed back to
// bytes with unsigned saturation, which is exactly the clamp to 0..255 the
// filters apply.
//
// Everything here has internal linkage: this header is included by one file
// per instruction set, and nothing compiled for AVX2 or AVX-512 may be shared
// with code that runs without them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstring>

#include "engine/filters/frame.h"
#include "engine/vectors.h"

#if TEX_X86_VECTORS
#include <immintrin.h>
#endif

namespace tex {
namespace {

// The kernels must melt into the row loops: a call per vector would store
// and reload all nine neighbours.
#if (defined(__GNUC__) || defined(__clang__)) && !defined(TEX_PLAIN_CXX)
#define FORCE_INLINE inline __attribute__((always_inline))
#else
#define FORCE_INLINE inline
#endif

// ---- vector interfaces -------------------------------------------------------

// 16 bytes in plain C++ with exactly the lane rules of the SSE2 interface
// below: 16-bit lanes wrap, pack16 saturates to 0..255, pack32 to int16,
// squares sum as int32. Lanes are read and written in the machine's own byte
// order, consistently, so only the lane values matter.
struct Portable {
    struct R {
        alignas(16) uint8_t b[16];
    };
    struct F {
        float f[4];
    };
    static constexpr size_t N = 16;
    template <typename T>
    FORCE_INLINE static T lane(const R& r, int i) {
        T v;
        std::memcpy(&v, r.b + i * sizeof(T), sizeof(T));
        return v;
    }
    template <typename T>
    FORCE_INLINE static void setLane(R& r, int i, T v) {
        std::memcpy(r.b + i * sizeof(T), &v, sizeof(T));
    }
    template <typename Op>
    FORCE_INLINE static R each16(R a, R b, Op op) {
        R r;
        for (int i = 0; i < 8; ++i) setLane<int16_t>(r, i, int16_t(op(lane<int16_t>(a, i), lane<int16_t>(b, i))));
        return r;
    }
    FORCE_INLINE static R load(const uint8_t* p) {
        R r;
        std::memcpy(r.b, p, 16);
        return r;
    }
    FORCE_INLINE static void store(uint8_t* p, R v) { std::memcpy(p, v.b, 16); }
    FORCE_INLINE static R minU8(R a, R b) {
        for (int i = 0; i < 16; ++i) a.b[i] = a.b[i] < b.b[i] ? a.b[i] : b.b[i];
        return a;
    }
    FORCE_INLINE static R maxU8(R a, R b) {
        for (int i = 0; i < 16; ++i) a.b[i] = a.b[i] > b.b[i] ? a.b[i] : b.b[i];
        return a;
    }
    FORCE_INLINE static R low16(R v) {
        R r;
        for (int i = 0; i < 8; ++i) setLane<int16_t>(r, i, v.b[i]);
        return r;
    }
    FORCE_INLINE static R high16(R v) {
        R r;
        for (int i = 0; i < 8; ++i) setLane<int16_t>(r, i, v.b[8 + i]);
        return r;
    }
    FORCE_INLINE static uint8_t saturateU8(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }
    FORCE_INLINE static R pack16(R lo, R hi) {
        R r;
        for (int i = 0; i < 8; ++i) {
            r.b[i] = saturateU8(lane<int16_t>(lo, i));
            r.b[8 + i] = saturateU8(lane<int16_t>(hi, i));
        }
        return r;
    }
    // Sums and differences on 32 bits, cut to 16 as the vector units wrap.
    FORCE_INLINE static R add(R a, R b) {
        return each16(a, b, [](int x, int y) { return uint16_t(x + y); });
    }
    FORCE_INLINE static R sub(R a, R b) {
        return each16(a, b, [](int x, int y) { return uint16_t(x - y); });
    }
    FORCE_INLINE static R max16(R a, R b) {
        return each16(a, b, [](int x, int y) { return x > y ? x : y; });
    }
    FORCE_INLINE static R set16(int16_t v) {
        R r;
        for (int i = 0; i < 8; ++i) setLane<int16_t>(r, i, v);
        return r;
    }
    template <int S>
    FORCE_INLINE static R shl(R a) {
        for (int i = 0; i < 8; ++i) setLane<uint16_t>(a, i, uint16_t(lane<uint16_t>(a, i) << S));
        return a;
    }
    template <int S>
    FORCE_INLINE static R shr(R a) {
        for (int i = 0; i < 8; ++i) setLane<uint16_t>(a, i, uint16_t(lane<uint16_t>(a, i) >> S));
        return a;
    }
    FORCE_INLINE static R squares(R x, R y, int first) {
        R r;
        for (int i = 0; i < 4; ++i) {
            const int32_t a = lane<int16_t>(x, first + i), b = lane<int16_t>(y, first + i);
            setLane<int32_t>(r, i, int32_t(uint32_t(a * a) + uint32_t(b * b)));
        }
        return r;
    }
    FORCE_INLINE static R squaresLow(R x, R y) { return squares(x, y, 0); }
    FORCE_INLINE static R squaresHigh(R x, R y) { return squares(x, y, 4); }
    FORCE_INLINE static F toFloat(R v) {
        F r;
        for (int i = 0; i < 4; ++i) r.f[i] = float(lane<int32_t>(v, i));
        return r;
    }
    // The values here lie far inside the int32 range.
    FORCE_INLINE static R truncToInt(F v) {
        R r;
        for (int i = 0; i < 4; ++i) setLane<int32_t>(r, i, int32_t(v.f[i]));
        return r;
    }
    FORCE_INLINE static F minF(F a, F b) {
        for (int i = 0; i < 4; ++i) a.f[i] = a.f[i] < b.f[i] ? a.f[i] : b.f[i];
        return a;
    }
    FORCE_INLINE static F addF(F a, F b) {
        for (int i = 0; i < 4; ++i) a.f[i] += b.f[i];
        return a;
    }
    FORCE_INLINE static F mulF(F a, F b) {
        for (int i = 0; i < 4; ++i) a.f[i] *= b.f[i];
        return a;
    }
    FORCE_INLINE static F sqrtF(F v) {
        for (int i = 0; i < 4; ++i) v.f[i] = std::sqrt(v.f[i]);
        return v;
    }
    FORCE_INLINE static F setF(float v) { return F{{v, v, v, v}}; }
    FORCE_INLINE static int equalMask(F a, F b) {
        int mask = 0;
        for (int i = 0; i < 4; ++i) mask |= int(a.f[i] == b.f[i]) << i;
        return mask;
    }
    FORCE_INLINE static int16_t saturate16(int32_t v) { return int16_t(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }
    FORCE_INLINE static R pack32(R lo, R hi) {
        R r;
        for (int i = 0; i < 4; ++i) {
            setLane<int16_t>(r, i, saturate16(lane<int32_t>(lo, i)));
            setLane<int16_t>(r, 4 + i, saturate16(lane<int32_t>(hi, i)));
        }
        return r;
    }
};

#if TEX_X86_VECTORS
struct Sse2 {
    using R = __m128i;
    static constexpr size_t N = 16;
    FORCE_INLINE static R load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    FORCE_INLINE static void store(uint8_t* p, R v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    FORCE_INLINE static R minU8(R a, R b) { return _mm_min_epu8(a, b); }
    FORCE_INLINE static R maxU8(R a, R b) { return _mm_max_epu8(a, b); }
    // Bytes to 16-bit lanes (low and high halves of each 128-bit block) and
    // back: pack16 undoes the split lane for lane.
    FORCE_INLINE static R low16(R v) { return _mm_unpacklo_epi8(v, _mm_setzero_si128()); }
    FORCE_INLINE static R high16(R v) { return _mm_unpackhi_epi8(v, _mm_setzero_si128()); }
    FORCE_INLINE static R pack16(R lo, R hi) { return _mm_packus_epi16(lo, hi); }
    FORCE_INLINE static R add(R a, R b) { return _mm_add_epi16(a, b); }
    FORCE_INLINE static R sub(R a, R b) { return _mm_sub_epi16(a, b); }
    FORCE_INLINE static R max16(R a, R b) { return _mm_max_epi16(a, b); }
    FORCE_INLINE static R set16(int16_t v) { return _mm_set1_epi16(v); }
    template <int S> FORCE_INLINE static R shl(R a) { return _mm_slli_epi16(a, S); }
    template <int S> FORCE_INLINE static R shr(R a) { return _mm_srli_epi16(a, S); }
    // Lane-wise (x, y) pairs of 16-bit lanes to x*x + y*y on 32 bits.
    FORCE_INLINE static R squaresLow(R x, R y) { R p = _mm_unpacklo_epi16(x, y); return _mm_madd_epi16(p, p); }
    FORCE_INLINE static R squaresHigh(R x, R y) { R p = _mm_unpackhi_epi16(x, y); return _mm_madd_epi16(p, p); }
    using F = __m128;
    FORCE_INLINE static F toFloat(R v) { return _mm_cvtepi32_ps(v); }
    FORCE_INLINE static R truncToInt(F v) { return _mm_cvttps_epi32(v); }
    FORCE_INLINE static F minF(F a, F b) { return _mm_min_ps(a, b); }
    FORCE_INLINE static F addF(F a, F b) { return _mm_add_ps(a, b); }
    FORCE_INLINE static F mulF(F a, F b) { return _mm_mul_ps(a, b); }
    FORCE_INLINE static F sqrtF(F v) { return _mm_sqrt_ps(v); }
    FORCE_INLINE static F setF(float v) { return _mm_set1_ps(v); }
    FORCE_INLINE static int equalMask(F a, F b) { return _mm_movemask_ps(_mm_cmpeq_ps(a, b)); }
    FORCE_INLINE static R pack32(R lo, R hi) { return _mm_packs_epi32(lo, hi); }
};
#endif

// Present only in the file compiled for AVX2 (kernels_avx2.cpp).
#ifdef TEX_KERNELS_AVX2
struct Avx2 {
    using R = __m256i;
    static constexpr size_t N = 32;
    FORCE_INLINE static R load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    FORCE_INLINE static void store(uint8_t* p, R v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    FORCE_INLINE static R minU8(R a, R b) { return _mm256_min_epu8(a, b); }
    FORCE_INLINE static R maxU8(R a, R b) { return _mm256_max_epu8(a, b); }
    // The unpacks and the pack work within each 128-bit block, so pack16
    // still restores the original byte order.
    FORCE_INLINE static R low16(R v) { return _mm256_unpacklo_epi8(v, _mm256_setzero_si256()); }
    FORCE_INLINE static R high16(R v) { return _mm256_unpackhi_epi8(v, _mm256_setzero_si256()); }
    FORCE_INLINE static R pack16(R lo, R hi) { return _mm256_packus_epi16(lo, hi); }
    FORCE_INLINE static R add(R a, R b) { return _mm256_add_epi16(a, b); }
    FORCE_INLINE static R sub(R a, R b) { return _mm256_sub_epi16(a, b); }
    FORCE_INLINE static R max16(R a, R b) { return _mm256_max_epi16(a, b); }
    FORCE_INLINE static R set16(int16_t v) { return _mm256_set1_epi16(v); }
    template <int S> FORCE_INLINE static R shl(R a) { return _mm256_slli_epi16(a, S); }
    template <int S> FORCE_INLINE static R shr(R a) { return _mm256_srli_epi16(a, S); }
    FORCE_INLINE static R squaresLow(R x, R y) { R p = _mm256_unpacklo_epi16(x, y); return _mm256_madd_epi16(p, p); }
    FORCE_INLINE static R squaresHigh(R x, R y) { R p = _mm256_unpackhi_epi16(x, y); return _mm256_madd_epi16(p, p); }
    using F = __m256;
    FORCE_INLINE static F toFloat(R v) { return _mm256_cvtepi32_ps(v); }
    FORCE_INLINE static R truncToInt(F v) { return _mm256_cvttps_epi32(v); }
    FORCE_INLINE static F minF(F a, F b) { return _mm256_min_ps(a, b); }
    FORCE_INLINE static F addF(F a, F b) { return _mm256_add_ps(a, b); }
    FORCE_INLINE static F mulF(F a, F b) { return _mm256_mul_ps(a, b); }
    FORCE_INLINE static F sqrtF(F v) { return _mm256_sqrt_ps(v); }
    FORCE_INLINE static F setF(float v) { return _mm256_set1_ps(v); }
    FORCE_INLINE static int equalMask(F a, F b) { return _mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_EQ_OQ)); }
    FORCE_INLINE static R pack32(R lo, R hi) { return _mm256_packs_epi32(lo, hi); }
};
#endif

// Present only in the file compiled for AVX-512 (kernels_avx512.cpp).
#ifdef TEX_KERNELS_AVX512
struct Avx512 {
    using R = __m512i;
    static constexpr size_t N = 64;
    FORCE_INLINE static R load(const uint8_t* p) { return _mm512_loadu_si512(p); }
    FORCE_INLINE static void store(uint8_t* p, R v) { _mm512_storeu_si512(p, v); }
    FORCE_INLINE static R minU8(R a, R b) { return _mm512_min_epu8(a, b); }
    FORCE_INLINE static R maxU8(R a, R b) { return _mm512_max_epu8(a, b); }
    FORCE_INLINE static R low16(R v) { return _mm512_unpacklo_epi8(v, _mm512_setzero_si512()); }
    FORCE_INLINE static R high16(R v) { return _mm512_unpackhi_epi8(v, _mm512_setzero_si512()); }
    FORCE_INLINE static R pack16(R lo, R hi) { return _mm512_packus_epi16(lo, hi); }
    FORCE_INLINE static R add(R a, R b) { return _mm512_add_epi16(a, b); }
    FORCE_INLINE static R sub(R a, R b) { return _mm512_sub_epi16(a, b); }
    FORCE_INLINE static R max16(R a, R b) { return _mm512_max_epi16(a, b); }
    FORCE_INLINE static R set16(int16_t v) { return _mm512_set1_epi16(v); }
    template <int S> FORCE_INLINE static R shl(R a) { return _mm512_slli_epi16(a, S); }
    template <int S> FORCE_INLINE static R shr(R a) { return _mm512_srli_epi16(a, S); }
    FORCE_INLINE static R squaresLow(R x, R y) { R p = _mm512_unpacklo_epi16(x, y); return _mm512_madd_epi16(p, p); }
    FORCE_INLINE static R squaresHigh(R x, R y) { R p = _mm512_unpackhi_epi16(x, y); return _mm512_madd_epi16(p, p); }
    using F = __m512;
    FORCE_INLINE static F toFloat(R v) { return _mm512_cvtepi32_ps(v); }
    FORCE_INLINE static R truncToInt(F v) { return _mm512_cvttps_epi32(v); }
    FORCE_INLINE static F minF(F a, F b) { return _mm512_min_ps(a, b); }
    FORCE_INLINE static F addF(F a, F b) { return _mm512_add_ps(a, b); }
    FORCE_INLINE static F mulF(F a, F b) { return _mm512_mul_ps(a, b); }
    FORCE_INLINE static F sqrtF(F v) { return _mm512_sqrt_ps(v); }
    FORCE_INLINE static F setF(float v) { return _mm512_set1_ps(v); }
    FORCE_INLINE static int equalMask(F a, F b) { return int(_mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ)); }
    FORCE_INLINE static R pack32(R lo, R hi) { return _mm512_packs_epi32(lo, hi); }
};
#endif

// ---- kernels -----------------------------------------------------------------
// Each kernel maps the nine neighbour vectors n[0..8] (reading order: row
// above left, centre, right; own row; row below) to one vector of results.

// Kernels whose arithmetic needs more than a byte are a formula on 16-bit
// lanes, run on both halves of the neighbour bytes.
template <class V>
using Formula16 = typename V::R (*)(const typename V::R (&)[9]);

template <class V, Formula16<V> Formula>
FORCE_INLINE typename V::R wide(const typename V::R (&n)[9]) {
    typename V::R lo[9], hi[9];
    for (int k = 0; k < 9; ++k) {
        lo[k] = V::low16(n[k]);
        hi[k] = V::high16(n[k]);
    }
    return V::pack16(Formula(lo), Formula(hi));
}

// 1 2 1 / 2 4 2 / 1 2 1, divided by 16 rounding down.
template <class V>
FORCE_INLINE typename V::R blur16(const typename V::R (&w)[9]) {
    const auto corners = V::add(V::add(w[0], w[2]), V::add(w[6], w[8]));
    const auto edges = V::add(V::add(w[1], w[3]), V::add(w[5], w[7]));
    return V::template shr<4>(V::add(V::add(corners, V::template shl<1>(edges)), V::template shl<2>(w[4])));
}

// floor(5c/2) - floor(corners/8) - floor(edges/4), clamped by the pack.
template <class V>
FORCE_INLINE typename V::R sharpen16(const typename V::R (&w)[9]) {
    const auto corners = V::add(V::add(w[0], w[2]), V::add(w[6], w[8]));
    const auto edges = V::add(V::add(w[1], w[3]), V::add(w[5], w[7]));
    const auto centre = V::template shr<1>(V::add(w[4], V::template shl<2>(w[4])));
    return V::sub(V::sub(centre, V::template shr<3>(corners)), V::template shr<2>(edges));
}

// 2 |g| for a 1 2 1 difference g, 255 above 255 (by the pack).
template <class V>
FORCE_INLINE typename V::R twiceAbs(typename V::R g) {
    return V::template shl<1>(V::max16(g, V::sub(V::set16(0), g)));
}

template <class V>
FORCE_INLINE typename V::R edgeH16(const typename V::R (&w)[9]) {
    const auto above = V::add(V::add(w[0], w[2]), V::template shl<1>(w[1]));
    const auto below = V::add(V::add(w[6], w[8]), V::template shl<1>(w[7]));
    return twiceAbs<V>(V::sub(above, below));
}

template <class V>
FORCE_INLINE typename V::R edgeV16(const typename V::R (&w)[9]) {
    const auto left = V::add(V::add(w[0], w[6]), V::template shl<1>(w[3]));
    const auto right = V::add(V::add(w[2], w[8]), V::template shl<1>(w[5]));
    return twiceAbs<V>(V::sub(left, right));
}

// intSqrt of s = gx*gx + gy*gy on 32-bit lanes, for the lanes that matter: s
// is capped at 65536, where intSqrt is 256 and beyond which it stays above
// 255. Below the cap, the truncated float root of s + 1 is the floor of the
// root of s except when s + 1 is a square k*k (float holds these values and
// their roots exactly, and a root just below an integer k <= 257 is at least
// 1/514 below it, far more than half a float step), and there intSqrt is
// looked up.
template <class V>
FORCE_INLINE typename V::R embossRoot(typename V::R s) {
    const auto t = V::addF(V::minF(V::toFloat(s), V::setF(65536.0f)), V::setF(1.0f));
    auto root = V::truncToInt(V::sqrtF(t));
    const auto r = V::toFloat(root);
    if (const int squares = V::equalMask(V::mulF(r, r), t)) {
        constexpr size_t lanes = sizeof(root) / 4;
        int32_t value[lanes];
        V::store(reinterpret_cast<uint8_t*>(value), root);
        const uint16_t* table = rootsBelowSquares();
        for (size_t k = 0; k < lanes; ++k)
            if (squares & (1 << k)) value[k] = table[value[k]];
        root = V::load(reinterpret_cast<const uint8_t*>(value));
    }
    return root;
}

template <class V>
FORCE_INLINE typename V::R emboss16(const typename V::R (&w)[9]) {
    const auto bias = V::set16(128);
    const auto left = V::add(V::add(w[0], w[3]), w[6]), right = V::add(V::add(w[2], w[5]), w[8]);
    const auto above = V::add(V::add(w[0], w[1]), w[2]), below = V::add(V::add(w[6], w[7]), w[8]);
    const auto gx = V::sub(V::add(bias, right), left), gy = V::sub(V::add(bias, below), above);
    // Roots are at most 256, so the signed 32-to-16 pack keeps them.
    return V::pack32(embossRoot<V>(V::squaresLow(gx, gy)), embossRoot<V>(V::squaresHigh(gx, gy)));
}

// Median of nine: sort each column of three, then the median is the middle of
// (largest low, middle of middles, smallest high).
template <class V>
FORCE_INLINE void sort3(typename V::R& a, typename V::R& b, typename V::R& c) {
    const auto lo = V::minU8(a, b), hi = V::maxU8(a, b);
    a = V::minU8(lo, c);
    const auto mid = V::maxU8(lo, c);
    b = V::minU8(mid, hi);
    c = V::maxU8(mid, hi);
}

template <class V>
FORCE_INLINE typename V::R middle3(typename V::R a, typename V::R b, typename V::R c) {
    return V::maxU8(V::minU8(a, b), V::minU8(V::maxU8(a, b), c));
}

template <class V>
FORCE_INLINE typename V::R medianKernel(const typename V::R (&n)[9]) {
    typename V::R l0 = n[0], l1 = n[3], l2 = n[6], c0 = n[1], c1 = n[4], c2 = n[7], r0 = n[2], r1 = n[5], r2 = n[8];
    sort3<V>(l0, l1, l2);
    sort3<V>(c0, c1, c2);
    sort3<V>(r0, r1, r2);
    const auto lows = V::maxU8(V::maxU8(l0, c0), r0);
    const auto highs = V::minU8(V::minU8(l2, c2), r2);
    return middle3<V>(lows, middle3<V>(l1, c1, r1), highs);
}

// ---- row frame ---------------------------------------------------------------

template <class V, typename V::R (*Kernel)(const typename V::R (&)[9])>
FORCE_INLINE typename V::R runAt(const uint8_t* up, const uint8_t* own, const uint8_t* down) {
    const typename V::R n[9] = {V::load(up - 3),  V::load(up),  V::load(up + 3),   V::load(own - 3), V::load(own),
                                V::load(own + 3), V::load(down - 3), V::load(down), V::load(down + 3)};
    return Kernel(n);
}

// Computes out[0 .. count) of a run of whole vectors from the rows at their
// positions; the rows are valid from 3 bytes before to 3 bytes after the run.
template <class V>
using Interior = void (*)(const uint8_t* up, const uint8_t* own, const uint8_t* down, uint8_t* out, size_t count);

template <class V, typename V::R (*Kernel)(const typename V::R (&)[9])>
void eachVector(const uint8_t* up, const uint8_t* own, const uint8_t* down, uint8_t* out, size_t count) {
    for (size_t i = 0; i < count; i += V::N) V::store(out + i, runAt<V, Kernel>(up + i, own + i, down + i));
}

// The median over a run in two passes, so that each column is sorted once
// rather than once for each of the three pixels that use it: first the
// sorted columns (low, middle, high) of every position from 3 bytes before
// the run to 3 bytes after it, then their combination at offsets 0, 3 and 6.
template <class V>
void medianRun(const uint8_t* up, const uint8_t* own, const uint8_t* down, uint8_t* out, size_t count) {
    constexpr size_t N = V::N, CHUNK = 16 * N;
    alignas(64) uint8_t lo[CHUNK + N], mid[CHUNK + N], hi[CHUNK + N];
    for (size_t start = 0; start < count; start += CHUNK) {
        const size_t n = count - start < CHUNK ? count - start : CHUNK;
        auto sortColumn = [&](size_t k) {  // positions start - 3 + k onwards
            const ptrdiff_t p = ptrdiff_t(start + k) - 3;  // signed: 3 bytes before the run
            auto a = V::load(up + p), b = V::load(own + p), c = V::load(down + p);
            sort3<V>(a, b, c);
            V::store(lo + k, a);
            V::store(mid + k, b);
            V::store(hi + k, c);
        };
        for (size_t k = 0; k < n; k += N) sortColumn(k);
        sortColumn(n + 6 - N);  // the last 6 positions, overlapping the vector before
        for (size_t k = 0; k < n; k += N) {
            const auto lows = V::maxU8(V::maxU8(V::load(lo + k), V::load(lo + k + 3)), V::load(lo + k + 6));
            const auto highs = V::minU8(V::minU8(V::load(hi + k), V::load(hi + k + 3)), V::load(hi + k + 6));
            const auto middle = middle3<V>(V::load(mid + k), V::load(mid + k + 3), V::load(mid + k + 6));
            V::store(out + start + k, middle3<V>(lows, middle, highs));
        }
    }
}

// Bytes 3 .. rowBytes - 4 whose vectors lie inside the row are computed from
// the row directly; the rest, a run that wraps from the row's end to its first
// pixel, from copies of the bytes around it laid out without the wrap.
template <class V, typename V::R (*Kernel)(const typename V::R (&)[9]), Interior<V> Run = eachVector<V, Kernel>>
void filterRow(const uint8_t* up, const uint8_t* own, const uint8_t* down, uint8_t* out, size_t rowBytes) {
    constexpr size_t N = V::N;
    size_t i = 3;
    if (rowBytes >= N + 6) {
        const size_t vectors = (rowBytes - 6) / N * N;
        Run(up + i, own + i, down + i, out + i, vectors);
        i += vectors;
    }
    // At most N + 5 bytes remain (or the whole row when it is short). Their
    // copies run from 3 bytes before to 3 bytes after them; the vectors read
    // up to the next whole vector, which is zero.
    const size_t count = rowBytes + 3 - i, copied = count + 6, padded = (count + N - 1) / N * N + 6;
    alignas(64) uint8_t copies[3][3 * N], results[2 * N];
    const uint8_t* rows[3] = {up, own, down};
    for (int r = 0; r < 3; ++r) {
        if (i > 3) {
            // The run is the row's end followed by its first pixel.
            std::memcpy(copies[r], rows[r] + i - 3, count);
            std::memcpy(copies[r] + count, rows[r], 6);
        } else {
            // A short row: the copies may wrap around it more than once.
            for (size_t k = 0, from = 0; k < copied; ++k) {
                copies[r][k] = rows[r][from];
                if (++from == rowBytes) from = 0;
            }
        }
        std::memset(copies[r] + copied, 0, padded - copied);
    }
    for (size_t k = 0; k < count; k += N)
        V::store(results + k, runAt<V, Kernel>(copies[0] + 3 + k, copies[1] + 3 + k, copies[2] + 3 + k));
    if (i > 3) {
        std::memcpy(out + i, results, count - 3);
        std::memcpy(out, results + count - 3, 3);
    } else {
        for (size_t k = 0, to = 3 % rowBytes; k < count; ++k) {
            out[to] = results[k];
            if (++to == rowBytes) to = 0;
        }
    }
}

template <class V>
RowFilter rowFilterFor(Kernel3x3 kernel) {
    switch (kernel) {
        case KERNEL_BLUR: return filterRow<V, wide<V, blur16<V>>>;
        case KERNEL_SHARPEN: return filterRow<V, wide<V, sharpen16<V>>>;
        case KERNEL_EMBOSS: return filterRow<V, wide<V, emboss16<V>>>;
        case KERNEL_EDGE_H: return filterRow<V, wide<V, edgeH16<V>>>;
        case KERNEL_EDGE_V: return filterRow<V, wide<V, edgeV16<V>>>;
        case KERNEL_MEDIAN: return filterRow<V, medianKernel<V>, medianRun<V>>;
        default: return nullptr;
    }
}

#undef FORCE_INLINE

}  // namespace
}  // namespace tex
