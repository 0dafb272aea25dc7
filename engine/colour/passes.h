// The per-byte passes of the combiners and the RGB operations in two forms:
// on x86-64, AArch64 and in WebAssembly with its vectors, whole registers
// through one source of lane wrappers, built for SSE2 (kernels.cpp), AVX2
// (passes_avx2.cpp), NEON and WebAssembly's 128-bit vectors (kernels.cpp);
// everywhere, plain loops over 32-bit words of four bytes that compilers
// vectorize for the target's baseline units, which the plain C++ build runs
// and x86 runs when its units are capped at plain. kernels.cpp picks one set
// at run time.
//
// Every formula here is exact or rounds once, as its extended definition does:
// - a byte times a float32 factor rounded to float32 is single(byte * factor),
//   the product being exact in extended precision;
// - (a*b) * k: a*b < 2^16 is exact as a float, so the float product rounds
//   the exact a*b*k once; where an integer form (ProductShift) gives the
//   same byte for every a*b, checked for the call's k, it is used instead;
// - the weighted sum with fixed weights (FixedWeights) is a sum of four exact
//   float products, grouped so that both partial sums are exact too, and the
//   last float addition rounds the exact sum once;
// - comparisons of a*w1 with b*w2 in the same fixed form are exact.
//
// The functions have internal linkage: each file that includes this header
// gets its own copy for its own units, and no copy can stand in for another.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "engine/vectors.h"

#if TEX_X86_VECTORS
#include <immintrin.h>
#endif
#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif
// AArch64 always has NEON; the plain C++ build keeps to the word loops. The
// wrappers view a register's bytes as wider lanes in little-endian order.
#if defined(__aarch64__) && defined(__ARM_NEON) && defined(__BYTE_ORDER__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && !defined(TEX_PORTABLE_VECTORS)
#define TEX_NEON_LANES 1
#include <arm_neon.h>
#else
#define TEX_NEON_LANES 0
#endif

// Where the lane wrappers below are built.
#if TEX_X86_VECTORS || defined(__wasm_simd128__) || TEX_NEON_LANES
#define TEX_LANE_PASSES 1
#else
#define TEX_LANE_PASSES 0
#endif

namespace tex {

// The weights as sums of two parts, weight = high + low, where high is a
// multiple of 2^(15+E) below 2^(39+E) and low a multiple of 2^E below 2^(15+E)
// in magnitude, E >= -126 shared by both weights. A byte times either part
// is then an exact float32 (at most 23 significant bits, no underflow), and
// so are the sums a*high1 + b*high2 and a*low1 + b*low2 (below 2^24 units).
// The same parts as whole multiples, high = highMultiple * 2^(15+E) and low =
// lowMultiple * 2^E, for the integer forms: highScale = 2^(15+E), lowScale = 2^E.
struct FixedWeights {
    float high1, low1, high2, low2;
    int16_t highMultiple1, lowMultiple1, highMultiple2, lowMultiple2;
    float highScale, lowScale;
    // The weights as whole multiples of 2^E, and E.
    int32_t multiple1, multiple2;
    int exponent;

    // Both multiples below 2^15 in magnitude (the weights span at most 15
    // bits together): a*multiple1 + b*multiple2 is then one int16 pair
    // product below 2^24 in magnitude, exact as a float too, and the sum is
    // that whole number times 2^E.
    bool shortMultiples() const {
        return multiple1 > -32768 && multiple1 < 32768 && multiple2 > -32768 && multiple2 < 32768;
    }
};

// The product pass in integers: min(255, (p * multiplier) >> shift) for the
// product p = a*b, 17 <= shift <= 31, where that gives the byte of p * k for
// every p (found and checked for the call's k in kernels.cpp). As
// ((p * multiplier) >> 16) >> (shift - 16) it is one 16-bit high product and
// a shift, and below 2^15.
struct ProductShift {
    uint16_t multiplier;
    uint8_t shift;
};

// The scaling in integers, where it gives every byte of every channel c:
// min(255, (v * multiplier[c]) >> shift_c), 9 <= shift_c <= 16, computed as
// the 16-bit high product of v * pre[c], pre[c] = 2^(16 - shift_c) (below
// 2^16), and the multiplier, so that no shift by a count held in a variable
// is needed; below 2^15 (found and checked against the 256 bytes of each
// channel in kernels.cpp).
struct ScaleShift {
    uint16_t multiplier[3], pre[3];
};

// The low 8 bits of trunc(v * weight) for every byte v written as
// low8(+-((v * multiplier) >> shift)) with shift 8..23; found and checked
// against the 256 operands of the call (kernels.cpp).
struct ByteProduct {
    uint16_t multiplier;
    uint8_t shift;
    bool negate;
};

// The selections of positive weights by a threshold: b where b <= T(a) (the
// minimum: b*w2 <= a*w1) or a <= T(b) (the maximum: a*w1 <= b*w2), else a,
// for T(v) = (v * multiplier) >> shift, 8 <= shift <= 23, below 2^15; found
// and checked against the exact comparisons for every v (kernels.cpp).
struct SelectThreshold {
    uint16_t multiplier;
    uint8_t shift;
    bool above;
};

enum class BitCombine { Xor, Or, And };

// The function pointers of one set of passes; `count` bytes each.
struct ColourPasses {
    // out = saturateByte(single(in * factor[c])), factor[c] by channel, each
    // finite with |factor| <= 2^23.
    void (*scale)(const uint8_t* in, uint8_t* out, size_t count, const float (&factor)[3]);
    // out = clamp(in + offset[c], 0, 255), offsets already clamped to -255..255.
    void (*offset)(const uint8_t* in, uint8_t* out, size_t count, const int32_t (&offset)[3]);
    // out = saturateByte(single(a*b*k)) for 0 < k <= 2^15.
    void (*multiply)(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float k);
    // The same by its integer form.
    void (*multiplyShifted)(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const ProductShift& form);
    // out = saturateByte(single(a*w1 + b*w2)).
    void (*add)(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const FixedWeights& w);
    // out = b where b*w2 <= a*w1 (takeAbove false) or b*w2 >= a*w1 (true), else a.
    void (*select)(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const FixedWeights& w,
                   bool takeAbove);
    // The same by a threshold.
    void (*selectThreshold)(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const SelectThreshold& t);
    // out = p1(a) op p2(b), the operands as ByteProduct gives them.
    void (*bitwise)(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const ByteProduct& p1,
                    const ByteProduct& p2, BitCombine op);
    // The scaling by its integer form; null where scale runs as fast.
    void (*scaleShifted)(const uint8_t* in, uint8_t* out, size_t count, const ScaleShift& form);
};

ColourPasses colourPassesBaseline();
ColourPasses colourPassesAvx2();   // only where passes_avx2.cpp is built for x86-64
ColourPasses colourPassesPlain();  // the plain loops, for the target's baseline units

namespace {

// The byte of an int32 result: below 0 gives 0, above 255 gives 255.
inline uint8_t clampByte(int32_t i) { return uint8_t(i < 0 ? 0 : i > 255 ? 255 : i); }

// saturateByte of a float32 of any value: at or above 255 gives 255, at or
// below 0 and NaN give 0, anything between is truncated. The passes use it
// only for arguments outside the ranges below.
inline uint8_t byteOfFloat(float v) {
    const float c = v > 0.0f ? v : 0.0f;  // NaN fails the comparison
    const float d = c < 255.0f ? c : 255.0f;
    return uint8_t(int32_t(d));
}

// Channel patterns repeat every 3 bytes; passes run over blocks of 192 bytes
// (a whole number of pixels and of vectors of every width), with a pattern
// in an array. Each block is computed into a local array and then copied
// out: the destination may be a source, and a local array is known to be
// neither, so the compiler vectorizes the computing loop without checks.
constexpr size_t BLOCK = 192;

// Layers of this size or more are written with streaming stores where the
// units have them: the stores then skip reading the destination into the
// cache, which a layer this large would push the sources out of anyway.
constexpr size_t STREAM_BYTES = size_t(4) << 20;

inline void storeBlock(uint8_t* to, const uint8_t* block, bool stream) {
#if TEX_X86_VECTORS && defined(__AVX2__)
    if (stream) {
        for (size_t k = 0; k < BLOCK; k += 32)
            _mm256_stream_si256(reinterpret_cast<__m256i*>(to + k),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + k)));
        return;
    }
#elif TEX_X86_VECTORS
    if (stream) {
        for (size_t k = 0; k < BLOCK; k += 16)
            _mm_stream_si128(reinterpret_cast<__m128i*>(to + k),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + k)));
        return;
    }
#endif
    (void)stream;
    copyBlock<BLOCK>(to, block);
}

// out[i] = byte(i, j) for every i, with j = i mod 3 or, within a block, the
// index in the block (the same channel).
template <typename Byte>
inline void writeBlocks(uint8_t* out, size_t count, Byte byte) {
    size_t i = 0;
    bool stream = false;
#if TEX_X86_VECTORS
    if (count >= STREAM_BYTES) {
        // Whole pixels up to the first 64-byte boundary (at most 63 steps: 3 is odd).
        for (; (reinterpret_cast<uintptr_t>(out + i) & 63) != 0; i += 3)
            for (size_t c = 0; c < 3; ++c) out[i + c] = byte(i + c, c);
        stream = true;
    }
#endif
    alignas(32) uint8_t block[BLOCK];
    for (; i + BLOCK <= count; i += BLOCK) {
        for (size_t j = 0; j < BLOCK; ++j) block[j] = byte(i + j, j);
        storeBlock(out + i, block, stream);
    }
#if TEX_X86_VECTORS
    if (stream) _mm_sfence();
#endif
    for (size_t j = 0; i < count; ++i, j = j == 2 ? 0 : j + 1) out[i] = byte(i, j);
}

// The offset as a rise and a fall of 0..255, one of them 0: v + rise
// saturated at 255, then less the fall saturated at 0, each written as a
// byte minimum and a sum, which the compilers make saturating byte
// operations (or a minimum and an addition), 16 or 32 bytes at a time.
void offsetPass(const uint8_t* in, uint8_t* out, size_t count, const int32_t (&offset)[3]) {
    uint8_t rise[BLOCK], fall[BLOCK];
    for (size_t j = 0; j < BLOCK; ++j) {
        rise[j] = uint8_t(offset[j % 3] > 0 ? offset[j % 3] : 0);
        fall[j] = uint8_t(offset[j % 3] < 0 ? -offset[j % 3] : 0);
    }
    writeBlocks(out, count, [&](size_t i, size_t j) {
        const uint8_t v = in[i], room = uint8_t(255 - v);
        const uint8_t up = uint8_t(v + (rise[j] < room ? rise[j] : room));
        return uint8_t(up - (fall[j] < up ? fall[j] : up));
    });
}

// The byte formulas of the passes, one byte at a time: the plain passes, and
// the bytes the x86 passes leave before and after whole registers.
inline uint8_t scaleByte(uint8_t v, float factor) { return clampByte(int32_t(float(v) * factor)); }

inline uint8_t multiplyByte(uint8_t a, uint8_t b, float k) {
    return uint8_t(truncAtMost255(float(int32_t(a) * int32_t(b)) * k));
}

inline uint8_t shiftedByte(uint8_t a, uint8_t b, uint16_t multiplier, int rest) {
    const uint16_t high = uint16_t((uint32_t(uint16_t(a * b)) * multiplier) >> 16);
    const uint16_t q = uint16_t(high >> rest);
    return uint8_t(q < 255 ? q : 255);
}

// Passes that take a shift as a constant (the compilers vectorize shifts by
// a constant better), one function Pass<shift>::run of type Run for each
// shift first .. first + count - 1, indexed by shift - first.
template <typename Run, template <int> class Pass, int first, size_t... k>
constexpr std::array<Run, sizeof...(k)> runsByShift(std::index_sequence<k...>) {
    return {&Pass<first + int(k)>::run...};
}

// The shifted product, one function for each shift 17..31.
using ShiftedRun = void (*)(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, uint16_t multiplier);
template <template <int> class Pass>
void runShifted(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const ProductShift& form) {
    static constexpr auto byShift = runsByShift<ShiftedRun, Pass, 17>(std::make_index_sequence<15>());
    byShift[form.shift - 17](a, b, out, count, form.multiplier);
}

// A bitwise combination whose operands are computed apart: each into a
// local chunk by the pass of its own shift (Product<shift>::run, shifts
// 8..23), then the two chunks combined.
template <template <int> class Product>
void bitwiseByChunks(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const ByteProduct& p1,
                     const ByteProduct& p2, BitCombine op) {
    using ProductRun = void (*)(const uint8_t* in, uint8_t* out, size_t count, const ByteProduct& p);
    static constexpr auto byShift = runsByShift<ProductRun, Product, 8>(std::make_index_sequence<16>());
    constexpr size_t CHUNK = 4 * BLOCK;
    alignas(16) uint8_t x[CHUNK], y[CHUNK];
    for (size_t i = 0; i < count; i += CHUNK) {
        const size_t n = count - i < CHUNK ? count - i : CHUNK;
        byShift[p1.shift - 8](a + i, x, n, p1);
        byShift[p2.shift - 8](b + i, y, n, p2);
        uint8_t* to = out + i;
        switch (op) {
            case BitCombine::Xor: for (size_t j = 0; j < n; ++j) to[j] = x[j] ^ y[j]; break;
            case BitCombine::Or: for (size_t j = 0; j < n; ++j) to[j] = x[j] | y[j]; break;
            case BitCombine::And: for (size_t j = 0; j < n; ++j) to[j] = x[j] & y[j]; break;
        }
    }
}

inline uint8_t addByte(uint8_t a, uint8_t b, const FixedWeights& f) {
    const float x = a, y = b;
    return clampByte(int32_t((x * f.high1 + y * f.high2) + (x * f.low1 + y * f.low2)));
}

// b*w2 - a*w1 = (b*high2 - a*high1) + (b*low2 - a*low1), both differences
// exact; its sign is the comparison of the first with minus the second.
inline uint8_t selectByte(uint8_t a, uint8_t b, const FixedWeights& f, bool takeAbove) {
    const float x = a, y = b;
    const float left = y * f.high2 - x * f.high1, right = x * f.low1 - y * f.low2;
    return (takeAbove ? left >= right : left <= right) ? b : a;
}

inline uint8_t thresholdByte(uint8_t a, uint8_t b, const SelectThreshold& t) {
    const uint8_t x = t.above ? a : b, y = t.above ? b : a;  // x <= T(y) takes b
    return x <= (uint32_t(y) * t.multiplier) >> t.shift ? b : a;
}

inline uint8_t productByte(uint8_t v, const ByteProduct& p) {
    const uint32_t n = (uint32_t(v) * p.multiplier) >> p.shift;
    return uint8_t(p.negate ? 0u - n : n);
}

inline uint8_t combineBytes(uint8_t x, uint8_t y, BitCombine op) {
    return uint8_t(op == BitCombine::Xor ? x ^ y : op == BitCombine::Or ? x | y : x & y);
}

#if TEX_LANE_PASSES
namespace lanes {

// ---- Register lanes -------------------------------------------------------------
//
// The arithmetic passes on x86, AArch64 and in WebAssembly work on whole registers of bytes: each
// register is widened to 16- and 32-bit lanes by interleaving (with zero or
// with the other source), computed, and narrowed back by saturating packs,
// which undo the interleaving lane for lane (both work within 128-bit
// halves), so the bytes come back in their order. The saturating packs are
// the clamps to 0..255. The same source serves SSE2 (16 bytes), AVX2 (32),
// NEON (16) and WebAssembly (16), whose instructions each wrapper matches
// exactly for the values the passes give it.
#if defined(__wasm_simd128__)
using Lanes = v128_t;
using FloatLanes = v128_t;
constexpr size_t LANE_BYTES = 16;
inline Lanes loadLanes(const uint8_t* p) { return wasm_v128_load(p); }
inline void storeLanes(uint8_t* p, Lanes v) { wasm_v128_store(p, v); }
inline void storeInts(int32_t* p, Lanes v) { wasm_v128_store(p, v); }
inline Lanes zeroLanes() { return wasm_i32x4_splat(0); }
inline Lanes andLanes(Lanes a, Lanes b) { return wasm_v128_and(a, b); }
inline Lanes orLanes(Lanes a, Lanes b) { return wasm_v128_or(a, b); }
inline Lanes xorLanes(Lanes a, Lanes b) { return wasm_v128_xor(a, b); }
inline Lanes andNotLanes(Lanes a, Lanes b) { return wasm_v128_andnot(b, a); }  // ~a & b, as on x86
inline Lanes lanes32(int32_t v) { return wasm_i32x4_splat(v); }
inline Lanes lanes16(int16_t v) { return wasm_i16x8_splat(v); }
inline FloatLanes floatLanes(float v) { return wasm_f32x4_splat(v); }
inline FloatLanes loadFloatLanes(const float* p) { return wasm_v128_load(p); }
// The interleaves of x86: the low or high halves of a and b, alternately.
inline Lanes low8(Lanes a, Lanes b) {
    return wasm_i8x16_shuffle(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
}
inline Lanes high8(Lanes a, Lanes b) {
    return wasm_i8x16_shuffle(a, b, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
}
inline Lanes low16(Lanes a, Lanes b) { return wasm_i16x8_shuffle(a, b, 0, 8, 1, 9, 2, 10, 3, 11); }
inline Lanes high16(Lanes a, Lanes b) { return wasm_i16x8_shuffle(a, b, 4, 12, 5, 13, 6, 14, 7, 15); }
inline Lanes pairProducts(Lanes a, Lanes b) { return wasm_i32x4_dot_i16x8(a, b); }
inline Lanes mul16(Lanes a, Lanes b) { return wasm_i16x8_mul(a, b); }
inline Lanes shiftRight32(Lanes a, int n) { return wasm_i32x4_shr(a, uint32_t(n)); }
inline Lanes add32(Lanes a, Lanes b) { return wasm_i32x4_add(a, b); }
inline Lanes sub16(Lanes a, Lanes b) { return wasm_i16x8_sub(a, b); }
inline Lanes greater32(Lanes a, Lanes b) { return wasm_i32x4_gt(a, b); }
inline Lanes greater16(Lanes a, Lanes b) { return wasm_i16x8_gt(a, b); }
inline Lanes narrow32(Lanes a, Lanes b) { return wasm_i16x8_narrow_i32x4(a, b); }
inline Lanes narrow16(Lanes a, Lanes b) { return wasm_i8x16_narrow_i16x8(a, b); }
inline Lanes narrowBytes(Lanes a, Lanes b) { return wasm_u8x16_narrow_i16x8(a, b); }
inline FloatLanes toFloat(Lanes a) { return wasm_f32x4_convert_i32x4(a); }
// Saturating where x86 gives 0x80000000; the passes convert values below
// 2^31 in magnitude only, where both are the truncation.
inline Lanes truncated(FloatLanes a) { return wasm_i32x4_trunc_sat_f32x4(a); }
inline FloatLanes mulFloat(FloatLanes a, FloatLanes b) { return wasm_f32x4_mul(a, b); }
inline FloatLanes addFloat(FloatLanes a, FloatLanes b) { return wasm_f32x4_add(a, b); }
// (v * m) >> shift in 16-bit lanes, for results below 2^16: 32-bit products
// shifted by a constant (its compiler makes a shift by a count held in a
// variable one scalar shift per lane; there is no 16-bit high product).
template <int shift>
inline Lanes shiftedProducts(Lanes v, Lanes m) {
    return wasm_u16x8_narrow_i32x4(wasm_u32x4_shr(wasm_u32x4_extmul_low_u16x8(v, m), shift),
                                   wasm_u32x4_shr(wasm_u32x4_extmul_high_u16x8(v, m), shift));
}
#elif TEX_NEON_LANES
// NEON's registers are typed by their lanes; every wrapper views the bytes
// as the lanes it needs.
using Lanes = uint8x16_t;
using FloatLanes = float32x4_t;
constexpr size_t LANE_BYTES = 16;
inline int16x8_t s16(Lanes a) { return vreinterpretq_s16_u8(a); }
inline uint16x8_t u16(Lanes a) { return vreinterpretq_u16_u8(a); }
inline int32x4_t s32(Lanes a) { return vreinterpretq_s32_u8(a); }
inline Lanes bytesOf(int16x8_t a) { return vreinterpretq_u8_s16(a); }
inline Lanes bytesOf(uint16x8_t a) { return vreinterpretq_u8_u16(a); }
inline Lanes bytesOf(int32x4_t a) { return vreinterpretq_u8_s32(a); }
inline Lanes bytesOf(uint32x4_t a) { return vreinterpretq_u8_u32(a); }
inline Lanes bytesOf(int8x16_t a) { return vreinterpretq_u8_s8(a); }
inline Lanes loadLanes(const uint8_t* p) { return vld1q_u8(p); }
inline void storeLanes(uint8_t* p, Lanes v) { vst1q_u8(p, v); }
inline void storeInts(int32_t* p, Lanes v) { vst1q_s32(p, s32(v)); }
inline Lanes zeroLanes() { return vdupq_n_u8(0); }
inline Lanes andLanes(Lanes a, Lanes b) { return vandq_u8(a, b); }
inline Lanes orLanes(Lanes a, Lanes b) { return vorrq_u8(a, b); }
inline Lanes xorLanes(Lanes a, Lanes b) { return veorq_u8(a, b); }
inline Lanes andNotLanes(Lanes a, Lanes b) { return vbicq_u8(b, a); }  // ~a & b, as on x86
inline Lanes lanes32(int32_t v) { return bytesOf(vdupq_n_s32(v)); }
inline Lanes lanes16(int16_t v) { return bytesOf(vdupq_n_s16(v)); }
inline FloatLanes floatLanes(float v) { return vdupq_n_f32(v); }
inline FloatLanes loadFloatLanes(const float* p) { return vld1q_f32(p); }
// The interleaves of x86: the low or high halves of a and b, alternately.
inline Lanes low8(Lanes a, Lanes b) { return vzip1q_u8(a, b); }
inline Lanes high8(Lanes a, Lanes b) { return vzip2q_u8(a, b); }
inline Lanes low16(Lanes a, Lanes b) { return bytesOf(vzip1q_u16(u16(a), u16(b))); }
inline Lanes high16(Lanes a, Lanes b) { return bytesOf(vzip2q_u16(u16(a), u16(b))); }
// Products of the int16 lanes 0..3 and 4..7, each pair of neighbours added.
inline Lanes pairProducts(Lanes a, Lanes b) {
    return bytesOf(vpaddq_s32(vmull_s16(vget_low_s16(s16(a)), vget_low_s16(s16(b))), vmull_high_s16(s16(a), s16(b))));
}
inline Lanes mul16(Lanes a, Lanes b) { return bytesOf(vmulq_s16(s16(a), s16(b))); }
// The high halves of the 32-bit products, the odd 16-bit lanes of both.
inline Lanes mulHigh16(Lanes a, Lanes b) {
    const uint32x4_t low = vmull_u16(vget_low_u16(u16(a)), vget_low_u16(u16(b)));
    const uint32x4_t high = vmull_high_u16(u16(a), u16(b));
    return bytesOf(vuzp2q_u16(vreinterpretq_u16_u32(low), vreinterpretq_u16_u32(high)));
}
// A shift by a negative count shifts right; the passes shift by 0..31.
inline Lanes shiftRight16(Lanes a, int n) { return bytesOf(vshlq_u16(u16(a), vdupq_n_s16(int16_t(-n)))); }
inline Lanes shiftRight32(Lanes a, int n) { return bytesOf(vshlq_s32(s32(a), vdupq_n_s32(-n))); }
inline Lanes add32(Lanes a, Lanes b) { return bytesOf(vaddq_s32(s32(a), s32(b))); }
inline Lanes sub16(Lanes a, Lanes b) { return bytesOf(vsubq_s16(s16(a), s16(b))); }
inline Lanes greater32(Lanes a, Lanes b) { return bytesOf(vcgtq_s32(s32(a), s32(b))); }
inline Lanes greater16(Lanes a, Lanes b) { return bytesOf(vcgtq_s16(s16(a), s16(b))); }
// The saturating packs of x86: a's lanes narrowed, then b's.
inline Lanes narrow32(Lanes a, Lanes b) { return bytesOf(vqmovn_high_s32(vqmovn_s32(s32(a)), s32(b))); }
inline Lanes narrow16(Lanes a, Lanes b) { return bytesOf(vqmovn_high_s16(vqmovn_s16(s16(a)), s16(b))); }
inline Lanes narrowBytes(Lanes a, Lanes b) { return vqmovun_high_s16(vqmovun_s16(s16(a)), s16(b)); }
inline FloatLanes toFloat(Lanes a) { return vcvtq_f32_s32(s32(a)); }
// Saturating where x86 gives 0x80000000; the passes convert values below
// 2^31 in magnitude only, where both are the truncation.
inline Lanes truncated(FloatLanes a) { return bytesOf(vcvtq_s32_f32(a)); }
inline FloatLanes mulFloat(FloatLanes a, FloatLanes b) { return vmulq_f32(a, b); }
inline FloatLanes addFloat(FloatLanes a, FloatLanes b) { return vaddq_f32(a, b); }
#else
#if defined(__AVX2__)
using Lanes = __m256i;
using FloatLanes = __m256;
constexpr size_t LANE_BYTES = 32;
#define TEX_LANES(op) _mm256_##op
#define TEX_LANES_SI(op) _mm256_##op##_si256
#else
using Lanes = __m128i;
using FloatLanes = __m128;
constexpr size_t LANE_BYTES = 16;
#define TEX_LANES(op) _mm_##op
#define TEX_LANES_SI(op) _mm_##op##_si128
#endif
inline Lanes loadLanes(const uint8_t* p) { return TEX_LANES_SI(loadu)(reinterpret_cast<const Lanes*>(p)); }
inline void storeLanes(uint8_t* p, Lanes v) { TEX_LANES_SI(storeu)(reinterpret_cast<Lanes*>(p), v); }
inline void storeInts(int32_t* p, Lanes v) { TEX_LANES_SI(storeu)(reinterpret_cast<Lanes*>(p), v); }
inline Lanes zeroLanes() { return TEX_LANES_SI(setzero)(); }
inline Lanes andLanes(Lanes a, Lanes b) { return TEX_LANES_SI(and)(a, b); }
inline Lanes orLanes(Lanes a, Lanes b) { return TEX_LANES_SI(or)(a, b); }
inline Lanes xorLanes(Lanes a, Lanes b) { return TEX_LANES_SI(xor)(a, b); }
inline Lanes andNotLanes(Lanes a, Lanes b) { return TEX_LANES_SI(andnot)(a, b); }
inline Lanes lanes32(int32_t v) { return TEX_LANES(set1_epi32)(v); }
inline Lanes lanes16(int16_t v) { return TEX_LANES(set1_epi16)(v); }
inline FloatLanes floatLanes(float v) { return TEX_LANES(set1_ps)(v); }
inline FloatLanes loadFloatLanes(const float* p) { return TEX_LANES(loadu_ps)(p); }
inline Lanes low8(Lanes a, Lanes b) { return TEX_LANES(unpacklo_epi8)(a, b); }
inline Lanes high8(Lanes a, Lanes b) { return TEX_LANES(unpackhi_epi8)(a, b); }
inline Lanes low16(Lanes a, Lanes b) { return TEX_LANES(unpacklo_epi16)(a, b); }
inline Lanes high16(Lanes a, Lanes b) { return TEX_LANES(unpackhi_epi16)(a, b); }
inline Lanes pairProducts(Lanes a, Lanes b) { return TEX_LANES(madd_epi16)(a, b); }
inline Lanes mul16(Lanes a, Lanes b) { return TEX_LANES(mullo_epi16)(a, b); }
inline Lanes mulHigh16(Lanes a, Lanes b) { return TEX_LANES(mulhi_epu16)(a, b); }
inline Lanes shiftRight16(Lanes a, int n) { return TEX_LANES(srl_epi16)(a, _mm_cvtsi32_si128(n)); }
inline Lanes shiftRight32(Lanes a, int n) { return TEX_LANES(srai_epi32)(a, n); }
inline Lanes add32(Lanes a, Lanes b) { return TEX_LANES(add_epi32)(a, b); }
inline Lanes sub16(Lanes a, Lanes b) { return TEX_LANES(sub_epi16)(a, b); }
inline Lanes greater32(Lanes a, Lanes b) { return TEX_LANES(cmpgt_epi32)(a, b); }
inline Lanes greater16(Lanes a, Lanes b) { return TEX_LANES(cmpgt_epi16)(a, b); }
inline Lanes narrow32(Lanes a, Lanes b) { return TEX_LANES(packs_epi32)(a, b); }
inline Lanes narrow16(Lanes a, Lanes b) { return TEX_LANES(packs_epi16)(a, b); }
inline Lanes narrowBytes(Lanes a, Lanes b) { return TEX_LANES(packus_epi16)(a, b); }
inline FloatLanes toFloat(Lanes a) { return TEX_LANES(cvtepi32_ps)(a); }
inline Lanes truncated(FloatLanes a) { return TEX_LANES(cvttps_epi32)(a); }
inline FloatLanes mulFloat(FloatLanes a, FloatLanes b) { return TEX_LANES(mul_ps)(a, b); }
inline FloatLanes addFloat(FloatLanes a, FloatLanes b) { return TEX_LANES(add_ps)(a, b); }
#undef TEX_LANES
#undef TEX_LANES_SI
#endif

// Four registers of 32-bit lanes, one for each quarter of a register of
// bytes, and back: bytes(quarters(x)) == x.
struct Quarters {
    Lanes q[4];
};
inline Quarters quarters(Lanes x) {
    const Lanes z = zeroLanes(), w0 = low8(x, z), w1 = high8(x, z);
    return {{low16(w0, z), high16(w0, z), low16(w1, z), high16(w1, z)}};
}
inline Lanes bytes(const Quarters& r) { return narrowBytes(narrow32(r.q[0], r.q[1]), narrow32(r.q[2], r.q[3])); }

// The bytes of a and b at the same places interleaved into 16-bit pairs
// (a, b) across four registers, in the order quarters() gives.
inline Quarters pairs(Lanes a, Lanes b) {
    const Lanes z = zeroLanes(), p0 = low8(a, b), p1 = high8(a, b);
    return {{low8(p0, z), high8(p0, z), low8(p1, z), high8(p1, z)}};
}

// A pair of int16 weights (first, second) in every 32-bit lane, for pairProducts.
inline Lanes weightPair(int16_t first, int16_t second) {
    return lanes32(int32_t(uint32_t(uint16_t(first)) | uint32_t(uint16_t(second)) << 16));
}

// out[i] = vector(i) for whole registers and byte(i, i mod 3) in the tail.
// Every register is read before it is written, at the same place, so the
// destination may be a source. Ordinary stores: a pass repeated over large
// layers runs markedly faster with them than with streaming stores here,
// and a chain of different operations runs alike either way.
template <typename Vector, typename Byte>
inline void writeLanes(uint8_t* out, size_t count, Vector vector, Byte byte) {
    size_t i = 0;
    for (; i + LANE_BYTES <= count; i += LANE_BYTES) storeLanes(out + i, vector(i));
    for (size_t c = i % 3; i < count; ++i, c = c == 2 ? 0 : c + 1) out[i] = byte(i, c);
}

void scalePass(const uint8_t* in, uint8_t* out, size_t count, const float (&factor)[3]) {
    // The factor of every 32-bit lane, by the channel phase (start mod 3) of
    // the register: where quarters() puts each byte, from an index register.
    alignas(32) uint8_t index[LANE_BYTES];
    for (size_t j = 0; j < LANE_BYTES; ++j) index[j] = uint8_t(j);
    const Quarters place = quarters(loadLanes(index));
    FloatLanes pattern[3][4];
    for (int phase = 0; phase < 3; ++phase)
        for (int k = 0; k < 4; ++k) {
            int32_t at[LANE_BYTES / 4];
            float f[LANE_BYTES / 4];
            storeInts(at, place.q[k]);
            for (size_t l = 0; l < LANE_BYTES / 4; ++l) f[l] = factor[(phase + at[l]) % 3];
            pattern[phase][k] = loadFloatLanes(f);
        }
    writeLanes(
        out, count,
        [&](size_t i) {
            Quarters r = quarters(loadLanes(in + i));
            const FloatLanes* f = pattern[i % 3];
            for (int k = 0; k < 4; ++k) r.q[k] = truncated(mulFloat(toFloat(r.q[k]), f[k]));
            return bytes(r);
        },
        [&](size_t i, size_t c) { return scaleByte(in[i], factor[c]); });
}

// a*b < 2^16 in 16-bit lanes, then the float product with k in 32-bit lanes.
[[maybe_unused]] void multiplyPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float k) {
    const FloatLanes kk = floatLanes(k);
    writeLanes(
        out, count,
        [&](size_t i) {
            const Lanes x = loadLanes(a + i), y = loadLanes(b + i), z = zeroLanes();
            const Lanes p0 = mul16(low8(x, z), low8(y, z)), p1 = mul16(high8(x, z), high8(y, z));
            Quarters r{{low16(p0, z), high16(p0, z), low16(p1, z), high16(p1, z)}};
            for (int j = 0; j < 4; ++j) r.q[j] = truncated(mulFloat(toFloat(r.q[j]), kk));
            return bytes(r);
        },
        [&](size_t i, size_t) { return multiplyByte(a[i], b[i], k); });
}

#if defined(__wasm_simd128__)
// WebAssembly has no 16-bit high product: a*b times the multiplier in
// 32-bit lanes, shifted by a constant (its compiler makes a vector shift by
// a count held in a variable one scalar shift per lane), one function for
// each shift; below 2^15, so the packs clamp at 255 only.
template <int shift>
struct ShiftedLanes {
    static void run(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, uint16_t multiplier) {
        const Lanes m = lanes16(int16_t(multiplier));
        auto product = [&](Lanes p) { return shiftedProducts<shift>(p, m); };
        writeLanes(
            out, count,
            [&](size_t i) {
                const Lanes x = loadLanes(a + i), y = loadLanes(b + i), z = zeroLanes();
                return narrowBytes(product(mul16(low8(x, z), low8(y, z))), product(mul16(high8(x, z), high8(y, z))));
            },
            [&](size_t i, size_t) { return shiftedByte(a[i], b[i], multiplier, shift - 16); });
    }
};

void multiplyShiftedPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const ProductShift& form) {
    runShifted<ShiftedLanes>(a, b, out, count, form);
}
#else
// a*b in 16-bit lanes, its high product with the multiplier and the rest of
// the shift; below 2^15, so the pack to bytes clamps at 255 only.
[[maybe_unused]] void multiplyShiftedPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count,
                                          const ProductShift& form) {
    const uint16_t multiplier = form.multiplier;
    const int rest = form.shift - 16;
    const Lanes m = lanes16(int16_t(multiplier));
    writeLanes(
        out, count,
        [&](size_t i) {
            const Lanes x = loadLanes(a + i), y = loadLanes(b + i), z = zeroLanes();
            const Lanes p0 = mul16(low8(x, z), low8(y, z)), p1 = mul16(high8(x, z), high8(y, z));
            return narrowBytes(shiftRight16(mulHigh16(p0, m), rest), shiftRight16(mulHigh16(p1, m), rest));
        },
        [&](size_t i, size_t) { return shiftedByte(a[i], b[i], multiplier, rest); });
}
#endif

// The two partial sums as whole multiples, a*highMultiple1 + b*highMultiple2
// and the same of the low multiples, each one pair product of int16 lanes
// (below 2^24 in magnitude, exact as floats); scaled by their powers of two
// they are the two exact float partial sums of the plain form, and the one
// float addition rounds the sum as there.
void addPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const FixedWeights& w) {
    const FixedWeights f = w;
    const Lanes high = weightPair(f.highMultiple1, f.highMultiple2), low = weightPair(f.lowMultiple1, f.lowMultiple2);
    if (f.shortMultiples() && f.exponent <= 0) {
        // The sum is the whole pair product times 2^E. Its truncation clamped
        // to a byte is the whole number shifted right by -E: floor and
        // truncation differ only below 0, which clamps to 0 either way; below
        // 2^24, a shift by 31 gives 0 or -1 as any larger one would. Clang
        // makes four scalar shifts in WebAssembly of a vector shift by a count
        // held in a variable, so there the product by 2^E, exact as a float,
        // is truncated instead.
        // With E = 0 (whole weights: 1 and -1, 2 and 1...) the pair product
        // is the sum itself.
        const Lanes whole = weightPair(int16_t(f.multiple1), int16_t(f.multiple2));
        auto run = [&](auto scaled) {
            writeLanes(
                out, count,
                [&](size_t i) {
                    Quarters r = pairs(loadLanes(a + i), loadLanes(b + i));
                    for (int k = 0; k < 4; ++k) r.q[k] = scaled(pairProducts(r.q[k], whole));
                    return bytes(r);
                },
                [&](size_t i, size_t) { return addByte(a[i], b[i], f); });
        };
        if (f.exponent == 0) return run([](Lanes n) { return n; });
#if defined(__wasm_simd128__)
        const FloatLanes scale = floatLanes(f.lowScale);
        return run([&](Lanes n) { return truncated(mulFloat(toFloat(n), scale)); });
#else
        const int shift = -f.exponent < 31 ? -f.exponent : 31;
        return run([&](Lanes n) { return shiftRight32(n, shift); });
#endif
    }
    const FloatLanes highScale = floatLanes(f.highScale), lowScale = floatLanes(f.lowScale);
    writeLanes(
        out, count,
        [&](size_t i) {
            Quarters r = pairs(loadLanes(a + i), loadLanes(b + i));
            for (int k = 0; k < 4; ++k) {
                const FloatLanes h = mulFloat(toFloat(pairProducts(r.q[k], high)), highScale);
                const FloatLanes l = mulFloat(toFloat(pairProducts(r.q[k], low)), lowScale);
                r.q[k] = truncated(addFloat(h, l));
            }
            return bytes(r);
        },
        [&](size_t i, size_t) { return addByte(a[i], b[i], f); });
}

// b*w2 - a*w1 = (H * 2^15 + L) * 2^E with H = b*highMultiple2 - a*highMultiple1
// and L the same of the low multiples, both exact int32 pair products. Then
// H*2^15 + L >= 0 exactly when H + floor(L / 2^15) >= 0, and <= 0 exactly
// when H + ceil(L / 2^15) <= 0. The weights are negated for the products, so
// a first multiple of -2^15 has no int16 negation; the float form serves it.
void selectPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const FixedWeights& w,
                bool takeAbove) {
    const FixedWeights f = w;
    auto plain = [&](size_t i, size_t) { return selectByte(a[i], b[i], f, takeAbove); };
    if (f.highMultiple1 == INT16_MIN || f.lowMultiple1 == INT16_MIN) {
        for (size_t i = 0; i < count; ++i) out[i] = plain(i, 0);
        return;
    }
    const Lanes high = weightPair(int16_t(-f.highMultiple1), f.highMultiple2);
    const Lanes low = weightPair(int16_t(-f.lowMultiple1), f.lowMultiple2);
    // takeAbove: take b where H + floor(L/2^15) > -1; else where
    // 1 > H + ceil(L/2^15), ceil(L/2^15) = floor((L + 2^15 - 1) / 2^15).
    const Lanes round = lanes32(takeAbove ? 0 : 32767), minusOne = lanes32(-1), one = lanes32(1);
    auto run = [&](auto sum) {
        writeLanes(
            out, count,
            [&](size_t i) {
                const Lanes x = loadLanes(a + i), y = loadLanes(b + i);
                Quarters r = pairs(x, y);
                for (int k = 0; k < 4; ++k) {
                    const Lanes s = sum(r.q[k]);
                    r.q[k] = takeAbove ? greater32(s, minusOne) : greater32(one, s);
                }
                const Lanes take = narrow16(narrow32(r.q[0], r.q[1]), narrow32(r.q[2], r.q[3]));
                return orLanes(andLanes(take, y), andNotLanes(take, x));
            },
            plain);
    };
    // Short multiples: b*multiple2 - a*multiple1 is one exact pair product with the sign.
    if (f.shortMultiples()) {
        const Lanes whole = weightPair(int16_t(-f.multiple1), int16_t(f.multiple2));
        return run([&](Lanes q) { return pairProducts(q, whole); });
    }
    run([&](Lanes q) {
        return add32(pairProducts(q, high), shiftRight32(add32(pairProducts(q, low), round), 15));
    });
}

// The selection by a threshold in 16-bit lanes: x (b, or a for the
// maximum) beside T(y), a mask of the lanes where x <= T(y), which take b,
// packed to bytes (all ones or zero, which the signed pack keeps).
template <typename Limits>
inline void writeThresholdLanes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count,
                                const SelectThreshold& t, Limits limits) {
    const uint8_t* xs = t.above ? a : b;
    const uint8_t* ys = t.above ? b : a;
    writeLanes(
        out, count,
        [&](size_t i) {
            const Lanes x = loadLanes(xs + i), z = zeroLanes(), ones = lanes16(-1);
            Lanes limit[2];
            limits(loadLanes(ys + i), limit);
            auto take = [&](Lanes x16, Lanes t16) { return xorLanes(greater16(x16, t16), ones); };
            const Lanes mask = narrow16(take(low8(x, z), limit[0]), take(high8(x, z), limit[1]));
            return orLanes(andLanes(mask, loadLanes(b + i)), andNotLanes(mask, loadLanes(a + i)));
        },
        [&](size_t i, size_t) { return thresholdByte(a[i], b[i], t); });
}

#if defined(__wasm_simd128__)
// T(a) from 32-bit products shifted by a constant, one function for each
// shift 8..23 (no 16-bit high product, and shifts by a count held in a
// variable are lane by lane there).
template <int shift>
struct ThresholdLanes {
    static void run(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const SelectThreshold& t) {
        const Lanes m = lanes16(int16_t(t.multiplier));
        auto half = [&](Lanes v) { return shiftedProducts<shift>(v, m); };
        writeThresholdLanes(a, b, out, count, t, [&](Lanes y, Lanes (&limit)[2]) {
            limit[0] = half(wasm_u16x8_extend_low_u8x16(y));
            limit[1] = half(wasm_u16x8_extend_high_u8x16(y));
        });
    }
};

void selectThresholdPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const SelectThreshold& t) {
    using ThresholdRun = void (*)(const uint8_t*, const uint8_t*, uint8_t*, size_t, const SelectThreshold&);
    static constexpr auto byShift = runsByShift<ThresholdRun, ThresholdLanes, 8>(std::make_index_sequence<16>());
    byShift[t.shift - 8](a, b, out, count, t);
}
#else
// T(y): y * 256 in the high byte of a 16-bit lane, its high product with the
// multiplier is (y * multiplier) >> 8, shifted by the rest.
void selectThresholdPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const SelectThreshold& t) {
    const Lanes m = lanes16(int16_t(t.multiplier));
    const int rest = t.shift - 8;
    writeThresholdLanes(a, b, out, count, t, [&](Lanes y, Lanes (&limit)[2]) {
        const Lanes z = zeroLanes();
        limit[0] = shiftRight16(mulHigh16(low8(z, y), m), rest);
        limit[1] = shiftRight16(mulHigh16(high8(z, y), m), rest);
    });
}
#endif

#if defined(__wasm_simd128__)
// One operand low8(+-((v * multiplier) >> shift)) for every byte: v * multiplier
// (below 2^24) in 32-bit lanes shifted by a constant, one function for each
// shift 8..23 (WebAssembly has no 16-bit high product, and its compiler makes
// a vector shift by a count held in a variable one scalar shift per lane);
// below 2^16, so the pack to 16 bits keeps it and the mask takes its low byte.
template <int shift>
struct ProductLanes {
    static void run(const uint8_t* in, uint8_t* out, size_t count, const ByteProduct& p) {
        const Lanes m = lanes16(int16_t(p.multiplier)), low = lanes16(255), sign = wasm_i8x16_splat(p.negate ? -1 : 0);
        auto half = [&](Lanes v) { return andLanes(shiftedProducts<shift>(v, m), low); };
        writeLanes(
            out, count,
            [&](size_t i) {
                const Lanes v = loadLanes(in + i);
                const Lanes r = narrowBytes(half(wasm_u16x8_extend_low_u8x16(v)), half(wasm_u16x8_extend_high_u8x16(v)));
                return wasm_i8x16_sub(xorLanes(r, sign), sign);  // -r where negated: ~r + 1
            },
            [&](size_t i, size_t) { return productByte(in[i], p); });
    }
};

void bitwisePass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const ByteProduct& p1,
                 const ByteProduct& p2, BitCombine op) {
    bitwiseByChunks<ProductLanes>(a, b, out, count, p1, p2, op);
}
#else
// Both operands low8(+-((v * multiplier) >> shift)): v * 256 in the high byte
// of a 16-bit lane, its high product with the multiplier is (v * multiplier)
// >> 8, shifted by the rest; the negation in 16 bits has the same low byte.
inline Lanes productBytes(Lanes x, Lanes multiplier, int shift, Lanes sign) {
    const Lanes z = zeroLanes(), mask = lanes16(255);
    auto half = [&](Lanes v) {
        const Lanes p = shiftRight16(mulHigh16(v, multiplier), shift);
        return andLanes(sub16(xorLanes(p, sign), sign), mask);
    };
    return narrowBytes(half(low8(z, x)), half(high8(z, x)));
}

void bitwisePass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const ByteProduct& p1,
                 const ByteProduct& p2, BitCombine op) {
    const ByteProduct f1 = p1, f2 = p2;
    const Lanes m1 = lanes16(int16_t(f1.multiplier)), m2 = lanes16(int16_t(f2.multiplier));
    const Lanes s1 = lanes16(f1.negate ? -1 : 0), s2 = lanes16(f2.negate ? -1 : 0);
    const int shift1 = f1.shift - 8, shift2 = f2.shift - 8;
    auto run = [&](auto combine) {
        writeLanes(
            out, count,
            [&](size_t i) {
                return combine(productBytes(loadLanes(a + i), m1, shift1, s1),
                               productBytes(loadLanes(b + i), m2, shift2, s2));
            },
            [&](size_t i, size_t) { return combineBytes(productByte(a[i], f1), productByte(b[i], f2), op); });
    };
    switch (op) {
        case BitCombine::Xor: return run([](Lanes x, Lanes y) { return xorLanes(x, y); });
        case BitCombine::Or: return run([](Lanes x, Lanes y) { return orLanes(x, y); });
        case BitCombine::And: return run([](Lanes x, Lanes y) { return andLanes(x, y); });
    }
}
#endif

}  // namespace lanes
#endif

namespace words {

// ---- Plain word lanes -----------------------------------------------------------
//
// In the plain C++ build (and on x86 with TEX_VECTORS=plain) the passes are
// plain loops over 32-bit words of four bytes, which compilers vectorize with
// the units of the target: every value in a loop is 32 bits wide, the bytes
// are taken out of a word by shifts and masks and put back by shifts and ORs,
// and the clamps are integer masks, so no loop needs the widening, narrowing
// or selections that a vectorizer may do in long sequences. Lane k of a word is the byte that the
// shift 8k takes out, whatever the byte order of the machine; the channel of
// each lane comes from the bytes' places (wordPattern).

constexpr size_t WORDS = BLOCK / 4;

inline int32_t laneOf(uint32_t word, int k) { return int32_t((word >> (8 * k)) & 255u); }

// A truncated value of magnitude below 2^31 clamped to 0..255: t & ~(t >> 31)
// is 0 for t < 0 and t otherwise; (255 - v) >> 31 is all ones above 255.
inline uint32_t clampLane(int32_t t) {
    const int32_t v = t & ~(t >> 31);
    return uint32_t(v | ((255 - v) >> 31)) & 255u;
}

// The same for a value known not to be negative.
inline uint32_t clampLaneAbove(int32_t v) { return uint32_t(v | ((255 - v) >> 31)) & 255u; }

// Which byte of a block (0 .. BLOCK - 1) lane k of word l holds.
inline void wordPattern(uint8_t (&place)[4][WORDS]) {
    uint8_t index[BLOCK];
    for (size_t j = 0; j < BLOCK; ++j) index[j] = uint8_t(j);
    uint32_t words[WORDS];
    std::memcpy(words, index, BLOCK);
    for (int k = 0; k < 4; ++k)
        for (size_t l = 0; l < WORDS; ++l) place[k][l] = uint8_t(laneOf(words[l], k));
}

// Every whole block at i: its words of a (and b) in, fill(wa, wb, result) and
// the result out; the bytes after the blocks are byte(i, i mod 3). A block is
// read whole before it is written, so the destination may be a source.
template <typename Fill, typename Byte>
inline void writeWords(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, Fill fill, Byte byte) {
    size_t i = 0;
    for (; i + BLOCK <= count; i += BLOCK) {
        uint32_t wa[WORDS], wb[WORDS], result[WORDS];
        copyBlock<BLOCK>(wa, a + i);
        if (b) copyBlock<BLOCK>(wb, b + i);
        fill(wa, wb, result);
        copyBlock<BLOCK>(out + i, result);
    }
    for (size_t c = 0; i < count; ++i, c = c == 2 ? 0 : c + 1) out[i] = byte(i, c);
}

// Factors with |factor| <= 2^23: byte * factor is below 2^31 and converts.
void scalePass(const uint8_t* in, uint8_t* out, size_t count, const float (&factor)[3]) {
    uint8_t place[4][WORDS];
    wordPattern(place);
    float pattern[4][WORDS];
    for (int k = 0; k < 4; ++k)
        for (size_t l = 0; l < WORDS; ++l) pattern[k][l] = factor[place[k][l] % 3];
    // Without negative factors no product is below 0 (-0 truncates to 0).
    auto run = [&](auto clamp) {
        writeWords(
            in, nullptr, out, count,
            [&](const uint32_t* w, const uint32_t*, uint32_t* result) {
                for (size_t l = 0; l < WORDS; ++l) {
                    auto lane = [&](int k) { return clamp(int32_t(float(laneOf(w[l], k)) * pattern[k][l])) << (8 * k); };
                    result[l] = lane(0) | lane(1) | lane(2) | lane(3);
                }
            },
            [&](size_t i, size_t c) { return scaleByte(in[i], factor[c]); });
    };
    if (factor[0] >= 0.0f && factor[1] >= 0.0f && factor[2] >= 0.0f)
        run([](int32_t t) { return clampLaneAbove(t); });
    else
        run([](int32_t t) { return clampLane(t); });
}

// A loop over bytes with the channels' factors in arrays: the compilers
// vectorize the low and the high product and the clamp (signed, below 2^15)
// in 16-bit lanes, SSE2 included, in fewer steps than a float product per
// lane of words.
void scaleShiftedPass(const uint8_t* in, uint8_t* out, size_t count, const ScaleShift& form) {
    uint16_t multiplier[BLOCK], pre[BLOCK];
    for (size_t j = 0; j < BLOCK; ++j) multiplier[j] = form.multiplier[j % 3], pre[j] = form.pre[j % 3];
    writeBlocks(out, count, [&](size_t i, size_t j) {
        const uint16_t x = uint16_t(in[i] * pre[j]);
        const int16_t v = int16_t(uint16_t((uint32_t(x) * multiplier[j]) >> 16));
        return uint8_t(v > 255 ? 255 : v);
    });
}

// 0 < k <= 2^15: a*b*k is below 2^31 and not negative. A loop over bytes:
// the word form is no faster here with GCC for SSE2, and slower in
// WebAssembly, whose units widen a*b and narrow the clamped result in one
// instruction each.
void multiplyPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float k) {
    writeBlocks(out, count, [&](size_t i, size_t) { return multiplyByte(a[i], b[i], k); });
}

// Bytes too, with the rest of the shift a constant: the compilers vectorize
// the high product and a shift by a constant in 16-bit lanes, but widen a
// shift by a count held in a variable to 32 bits.
template <int shift>
struct ShiftedBytes {
    static void run(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, uint16_t multiplier) {
        writeBlocks(out, count, [&](size_t i, size_t) { return shiftedByte(a[i], b[i], multiplier, shift - 16); });
    }
};

void multiplyShiftedPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const ProductShift& form) {
    runShifted<ShiftedBytes>(a, b, out, count, form);
}

// Weights that are small multiples of 2^E, E = -shift: with |multiple1| +
// |multiple2| <= 128 the sum a*multiple1 + b*multiple2 lies within 2^15 in
// magnitude, so a loop over bytes in 16-bit integers gives it, which the
// compilers vectorize with 16-bit products, a shift by a constant (one
// function for each) and the clamp as a minimum and a maximum, SSE2
// included. The arithmetic shift is the truncation of sum * 2^E wherever the
// clamp keeps it: floor and truncation differ only below 0.
template <int shift>
struct SmallSumBytes {
    static void run(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, int16_t m1, int16_t m2) {
        writeBlocks(out, count, [&](size_t i, size_t) {
            const int16_t sum = int16_t(int16_t(a[i] * m1) + int16_t(b[i] * m2));
            const int16_t v = int16_t(sum >> shift);
            return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
        });
    }
};

// The weighted sum is below 2^31 in magnitude (FixedWeights) and converts.
void addPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const FixedWeights& w) {
    const FixedWeights f = w;
    const int32_t magnitude1 = f.multiple1 < 0 ? -f.multiple1 : f.multiple1;
    const int32_t magnitude2 = f.multiple2 < 0 ? -f.multiple2 : f.multiple2;
    if (f.shortMultiples() && magnitude1 + magnitude2 <= 128 && f.exponent <= 0 && f.exponent >= -15) {
        using SmallSumRun = void (*)(const uint8_t*, const uint8_t*, uint8_t*, size_t, int16_t, int16_t);
        static constexpr auto byShift = runsByShift<SmallSumRun, SmallSumBytes, 0>(std::make_index_sequence<16>());
        return byShift[-f.exponent](a, b, out, count, int16_t(f.multiple1), int16_t(f.multiple2));
    }
    if (f.shortMultiples()) {
        // x * w1 + y * w2 is then the exact sum, w = high + low exactly.
        const float w1 = f.high1 + f.low1, w2 = f.high2 + f.low2;
        return writeWords(
            a, b, out, count,
            [&](const uint32_t* wa, const uint32_t* wb, uint32_t* result) {
                for (size_t l = 0; l < WORDS; ++l) {
                    auto lane = [&](int k) {
                        const float x = float(laneOf(wa[l], k)), y = float(laneOf(wb[l], k));
                        return clampLane(int32_t(x * w1 + y * w2)) << (8 * k);
                    };
                    result[l] = lane(0) | lane(1) | lane(2) | lane(3);
                }
            },
            [&](size_t i, size_t) { return addByte(a[i], b[i], f); });
    }
    // Without negative parts no sum is below 0 (-0 truncates to 0).
    auto run = [&](auto clamp) {
        writeWords(
            a, b, out, count,
            [&](const uint32_t* wa, const uint32_t* wb, uint32_t* result) {
                for (size_t l = 0; l < WORDS; ++l) {
                    auto lane = [&](int k) {
                        const float x = float(laneOf(wa[l], k)), y = float(laneOf(wb[l], k));
                        return clamp(int32_t((x * f.high1 + y * f.high2) + (x * f.low1 + y * f.low2))) << (8 * k);
                    };
                    result[l] = lane(0) | lane(1) | lane(2) | lane(3);
                }
            },
            [&](size_t i, size_t) { return addByte(a[i], b[i], f); });
    };
    if (f.high1 >= 0.0f && f.high2 >= 0.0f && f.low1 >= 0.0f && f.low2 >= 0.0f)
        run([](int32_t t) { return clampLaneAbove(t); });
    else
        run([](int32_t t) { return clampLane(t); });
}

// The comparison of selectByte as a mask of the lanes that take b.
template <bool takeAbove>
void selectWords(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const FixedWeights& f) {
    writeWords(
        a, b, out, count,
        [&](const uint32_t* wa, const uint32_t* wb, uint32_t* result) {
            for (size_t l = 0; l < WORDS; ++l) {
                auto lane = [&](int k) {
                    const float x = float(laneOf(wa[l], k)), y = float(laneOf(wb[l], k));
                    const float left = y * f.high2 - x * f.high1, right = x * f.low1 - y * f.low2;
                    return (0u - uint32_t(takeAbove ? left >= right : left <= right)) & (255u << (8 * k));
                };
                const uint32_t take = lane(0) | lane(1) | lane(2) | lane(3);
                result[l] = (wb[l] & take) | (wa[l] & ~take);
            }
        },
        [&](size_t i, size_t) { return selectByte(a[i], b[i], f, takeAbove); });
}

void selectPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const FixedWeights& w,
                bool takeAbove) {
    const FixedWeights f = w;
    if (takeAbove)
        selectWords<true>(a, b, out, count, f);
    else
        selectWords<false>(a, b, out, count, f);
}

// x <= T(y) as x <= y * multiplier * 2^-shift in float: the product is
// exact (below 2^24 times a power of two) and x is whole, so no floor is
// needed; a mask of the lanes that take b, as selectWords makes.
void selectThresholdPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const SelectThreshold& t) {
    const SelectThreshold form = t;
    const float factor = float(form.multiplier) / float(uint32_t(1) << form.shift);  // exact: a power of two
    writeWords(
        a, b, out, count,
        [&](const uint32_t* wa, const uint32_t* wb, uint32_t* result) {
            const uint32_t* wx = form.above ? wa : wb;
            const uint32_t* wy = form.above ? wb : wa;
            for (size_t l = 0; l < WORDS; ++l) {
                auto lane = [&](int k) {
                    const bool holds = float(laneOf(wx[l], k)) <= float(laneOf(wy[l], k)) * factor;
                    return (0u - uint32_t(holds)) & (255u << (8 * k));
                };
                const uint32_t take = lane(0) | lane(1) | lane(2) | lane(3);
                result[l] = (wb[l] & take) | (wa[l] & ~take);
            }
        },
        [&](size_t i, size_t) { return thresholdByte(a[i], b[i], form); });
}

// Each operand low8(+-((v * multiplier) >> shift)) in a loop over bytes of
// its own, into a local chunk, then the two chunks combined. (v * 256) times
// the multiplier, high 16 bits, is (v * multiplier) >> 8 exactly; the rest of
// the shift is a constant (one function for each shift 8..23), and the
// negation -r is (r ^ 255) + 1 on the byte. The compilers vectorize all of it
// in 16-bit lanes, SSE2 included, in fewer steps than a float product per
// lane of words.
template <int shift>
struct ProductBytes {
    static void run(const uint8_t* in, uint8_t* out, size_t count, const ByteProduct& p) {
        const uint32_t m = p.multiplier;
        const uint8_t sign = p.negate ? 255 : 0;
        for (size_t i = 0; i < count; ++i) {
            const uint16_t high = uint16_t((uint32_t(uint16_t(in[i] << 8)) * m) >> 16);
            out[i] = uint8_t((uint8_t(high >> (shift - 8)) ^ sign) - sign);
        }
    }
};

void bitwisePass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const ByteProduct& p1,
                 const ByteProduct& p2, BitCombine op) {
    bitwiseByChunks<ProductBytes>(a, b, out, count, p1, p2, op);
}
}  // namespace words

// The passes for the units this file is compiled for, and the plain ones.
[[maybe_unused]] ColourPasses passesOfThisFile() {
#if TEX_NEON_LANES
    // GCC makes the products' byte loops shorter for NEON than their lane forms.
    return {lanes::scalePass,  offsetPass,         words::multiplyPass,
            words::multiplyShiftedPass, lanes::addPass, lanes::selectPass,
            lanes::selectThresholdPass, lanes::bitwisePass, nullptr};
#elif TEX_LANE_PASSES
    using namespace lanes;
    return {scalePass,  offsetPass, multiplyPass, multiplyShiftedPass, addPass, selectPass, selectThresholdPass,
            bitwisePass, nullptr};
#else
    using namespace words;
    return {scalePass,  offsetPass, multiplyPass, multiplyShiftedPass, addPass, selectPass, selectThresholdPass,
            bitwisePass, scaleShiftedPass};
#endif
}

[[maybe_unused]] ColourPasses plainPassesOfThisFile() {
    using namespace words;
    return {scalePass,  offsetPass, multiplyPass, multiplyShiftedPass, addPass, selectPass, selectThresholdPass,
            bitwisePass, scaleShiftedPass};
}

}  // namespace

}  // namespace tex
