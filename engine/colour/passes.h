// The per-byte passes of the combiners and the RGB operations, written once
// as plain loops over float32 and integer values that compilers turn into
// vector code for whatever units a file is compiled for. kernels.cpp builds
// them for the target's baseline (SSE2 on x86-64, NEON, WebAssembly SIMD or
// scalar), passes_avx2.cpp for AVX2; kernels.cpp picks one at run time.
//
// Every formula here is exact or rounds once, as its extended definition does:
// - a byte times a float32 factor rounded to float32 is single(byte * factor),
//   the product being exact in extended precision;
// - (a*b) * k: a*b < 2^16 is exact as a float, so the float product rounds
//   the exact a*b*k once;
// - the weighted sum with fixed weights (FixedWeights) is a sum of four exact
//   float products, grouped so that both partial sums are exact too, and the
//   last float addition rounds the exact sum once;
// - comparisons of a*w1 with b*w2 in the same fixed form are exact.
//
// The functions have internal linkage: each file that includes this header
// gets its own copy for its own units, and no copy can stand in for another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/vectors.h"

#if TEX_X86_VECTORS
#include <immintrin.h>
#endif

namespace tex {

// The weights as sums of two parts, weight = high + low, where high is a
// multiple of 2^(15+E) below 2^(39+E) and low a multiple of 2^E below 2^(15+E)
// in magnitude, E >= -126 shared by both weights. A byte times either part
// is then an exact float32 (at most 23 significant bits, no underflow), and
// so are the sums a*high1 + b*high2 and a*low1 + b*low2 (below 2^24 units).
struct FixedWeights {
    float high1, low1, high2, low2;
};

// The function pointers of one set of passes; `count` bytes each.
struct ColourPasses {
    // out = saturateByte(single(in * factor[c])), factor[c] by channel, each
    // finite with |factor| <= 2^23.
    void (*scale)(const uint8_t* in, uint8_t* out, size_t count, const float (&factor)[3]);
    // out = clamp(in + offset[c], 0, 255), offsets already clamped to -255..255.
    void (*offset)(const uint8_t* in, uint8_t* out, size_t count, const int32_t (&offset)[3]);
    // out = saturateByte(single(a*b*k)) for 0 < k <= 2^15.
    void (*multiply)(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float k);
    // out = saturateByte(single(a*w1 + b*w2)).
    void (*add)(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const FixedWeights& w);
    // out = b where b*w2 <= a*w1 (takeAbove false) or b*w2 >= a*w1 (true), else a.
    void (*select)(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const FixedWeights& w,
                   bool takeAbove);
};

ColourPasses colourPassesBaseline();
ColourPasses colourPassesAvx2();  // only where passes_avx2.cpp is built for x86-64

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
    std::memcpy(to, block, BLOCK);
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

// Factors with |factor| <= 2^23: byte * factor is below 2^31 and converts.
void scalePass(const uint8_t* in, uint8_t* out, size_t count, const float (&factor)[3]) {
    float pattern[BLOCK];
    for (size_t j = 0; j < BLOCK; ++j) pattern[j] = factor[j % 3];
    writeBlocks(out, count, [&](size_t i, size_t j) { return clampByte(int32_t(float(in[i]) * pattern[j])); });
}

void offsetPass(const uint8_t* in, uint8_t* out, size_t count, const int32_t (&offset)[3]) {
    int16_t pattern[BLOCK];
    for (size_t j = 0; j < BLOCK; ++j) pattern[j] = int16_t(offset[j % 3]);
    writeBlocks(out, count, [&](size_t i, size_t j) {
        const int16_t s = int16_t(in[i] + pattern[j]);
        return uint8_t(s < 0 ? 0 : s > 255 ? 255 : s);
    });
}

// 0 < k <= 2^15: a*b*k is below 2^31 and not negative.
void multiplyPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float k) {
    writeBlocks(out, count, [&](size_t i, size_t) {
        const int32_t v = int32_t(float(int32_t(a[i]) * int32_t(b[i])) * k);
        return uint8_t(v > 255 ? 255 : v);
    });
}

// The weighted sum is below 2^31 in magnitude (FixedWeights) and converts.
void addPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const FixedWeights& w) {
    const FixedWeights f = w;
    writeBlocks(out, count, [&](size_t i, size_t) {
        const float x = a[i], y = b[i];
        return clampByte(int32_t((x * f.high1 + y * f.high2) + (x * f.low1 + y * f.low2)));
    });
}

// b*w2 - a*w1 = (b*high2 - a*high1) + (b*low2 - a*low1), both differences
// exact; its sign is the comparison of the first with minus the second.
void selectPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const FixedWeights& w,
                bool takeAbove) {
    const FixedWeights f = w;
    if (takeAbove)
        writeBlocks(out, count, [&](size_t i, size_t) {
            const float x = a[i], y = b[i];
            return y * f.high2 - x * f.high1 >= x * f.low1 - y * f.low2 ? b[i] : a[i];
        });
    else
        writeBlocks(out, count, [&](size_t i, size_t) {
            const float x = a[i], y = b[i];
            return y * f.high2 - x * f.high1 <= x * f.low1 - y * f.low2 ? b[i] : a[i];
        });
}

[[maybe_unused]] ColourPasses passesOfThisFile() {
    return {scalePass, offsetPass, multiplyPass, addPass, selectPass};
}

}  // namespace

}  // namespace tex
