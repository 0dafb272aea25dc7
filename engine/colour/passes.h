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
    // out = saturateByte(single(in * factor[c])), factor[c] by channel.
    void (*scale)(const uint8_t* in, uint8_t* out, size_t count, const float (&factor)[3]);
    // out = clamp(in + offset[c], 0, 255), offsets already clamped to -255..255.
    void (*offset)(const uint8_t* in, uint8_t* out, size_t count, const int32_t (&offset)[3]);
    // out = saturateByte(single(a*b*k)).
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

// saturateByte of a float32: at or above 255 gives 255, at or below 0 and
// NaN give 0, anything between is truncated. Written as two selections that
// compilers map to vector maximum and minimum.
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

// out[i] = byte(i, i % BLOCK) for every i.
template <typename Byte>
inline void writeBlocks(uint8_t* out, size_t count, Byte byte) {
    uint8_t block[BLOCK];
    size_t i = 0;
    for (; i + BLOCK <= count; i += BLOCK) {
        for (size_t j = 0; j < BLOCK; ++j) block[j] = byte(i + j, j);
        std::memcpy(out + i, block, BLOCK);
    }
    for (size_t j = 0; i < count; ++i, ++j) out[i] = byte(i, j);
}

void scalePass(const uint8_t* in, uint8_t* out, size_t count, const float (&factor)[3]) {
    float pattern[BLOCK];
    for (size_t j = 0; j < BLOCK; ++j) pattern[j] = factor[j % 3];
    writeBlocks(out, count, [&](size_t i, size_t j) { return byteOfFloat(float(in[i]) * pattern[j]); });
}

void offsetPass(const uint8_t* in, uint8_t* out, size_t count, const int32_t (&offset)[3]) {
    int16_t pattern[BLOCK];
    for (size_t j = 0; j < BLOCK; ++j) pattern[j] = int16_t(offset[j % 3]);
    writeBlocks(out, count, [&](size_t i, size_t j) {
        const int16_t s = int16_t(in[i] + pattern[j]);
        return uint8_t(s < 0 ? 0 : s > 255 ? 255 : s);
    });
}

void multiplyPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float k) {
    writeBlocks(out, count, [&](size_t i, size_t) { return byteOfFloat(float(int32_t(a[i]) * int32_t(b[i])) * k); });
}

void addPass(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const FixedWeights& w) {
    const FixedWeights f = w;
    writeBlocks(out, count, [&](size_t i, size_t) {
        const float x = a[i], y = b[i];
        return byteOfFloat((x * f.high1 + y * f.high2) + (x * f.low1 + y * f.low2));
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
