// Routines shared by the operation families; not part of the public interface.
//
// Numeric conventions: an expression the engine evaluates "in extended
// precision" is written with ext operands (engine/numeric/ext.h) and converted
// to float once (static_cast<float>), which rounds to nearest, ties to even. Conversions to
// integers go through the helpers below so that no value, however large or
// NaN, is ever undefined behaviour.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/engine.h"
#include "engine/numeric/ext.h"
#include "engine/vectors.h"

#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

namespace tex {

// pi as the float32 nearest to it, used as a factor in extended precision.
constexpr float PI_F = 3.14159274101257324f;

// Decimal constants of the formulas as extended values; no double holds them.
// Where ext is the x87 type the compiler reads the decimal literal (rounding
// it as the x87 would) and folds it into the code; elsewhere the 80-bit
// pattern of that rounding is given (a test checks that the two agree).
#if TEX_EXT_IS_LONG_DOUBLE
#define TEX_EXT_CONSTANT(name, literal, signExponent, significand) constexpr ext name = literal;
#else
#define TEX_EXT_CONSTANT(name, literal, signExponent, significand) \
    inline const ext name = extFromBits(signExponent, significand);
#endif
TEX_EXT_CONSTANT(SIXTIETH, 0.016666667L, 0x3FF9, 0x888888B658A848F0)
TEX_EXT_CONSTANT(THIRD, 0.333333L, 0x3FFD, 0xAAAA9F7B5AEA3162)
TEX_EXT_CONSTANT(BYTE_UNIT, 0.00392156862745L, 0x3FF7, 0x80808080805D2DFB)
TEX_EXT_CONSTANT(BLOB_C1, 2.444444L, 0x4000, 0x9C71C53F39D1B2E6)
TEX_EXT_CONSTANT(BLOB_C2, 1.888888L, 0x3FFF, 0xF1C714FCE746CB96)
TEX_EXT_CONSTANT(BLOB_C3, 0.444444L, 0x3FFD, 0xE38E29F9CE8D972D)
TEX_EXT_CONSTANT(BLOB_BRIGHTNESS_BASE, 0.1L, 0x3FFB, 0xCCCCCCCCCCCCCCCD)
#undef TEX_EXT_CONSTANT

// fastSqrt, inline for loops that should vectorise: halves the exponent by
// halving the offset from 1.0's pattern, sign-extended.
inline float fastSqrtInline(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int32_t offset = int32_t(bits - 0x3F800000u) >> 1;
    bits = uint32_t(offset) + 0x3F800000u;
    float root;
    std::memcpy(&root, &bits, sizeof root);
    return root;
}

// Truncation toward zero to int32: NaN gives 0, values beyond the range clamp.
inline int32_t truncInt32(ext v) {
    if (!(v == v)) return 0;
    if (v >= ext(2147483647.0)) return INT32_MAX;
    if (v <= -ext(2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The default rule for colour results: at or above 255 gives 255, at or below
// 0 (and NaN) gives 0, anything between is truncated.
inline uint8_t saturateByte(ext v) {
    if (v >= ext(255.0)) return 255;
    if (!(v > ext(0.0))) return 0;
    return static_cast<uint8_t>(static_cast<int32_t>(v));
}

// Asks for the cache line at p ahead of its use (for writing with `write`);
// nothing where the compiler has no way to say so.
inline void prefetch(const void* p, bool write = false) {
#if (defined(__GNUC__) || defined(__clang__)) && !defined(TEX_PLAIN_CXX)
    if (write)
        __builtin_prefetch(p, 1);
    else
        __builtin_prefetch(p);
#else
    (void)p, (void)write;
#endif
}

// True when every index names a user layer and the buffers exist.
template <typename... L>
inline bool validLayers(L... index) {
    return layers[SCRATCH_LAYER] != nullptr && ((index >= 0 && index < LAYER_COUNT) && ...);
}

// out[x] = {grey[x], grey[x], grey[x]} for x < count. In WebAssembly 16
// pixels at a time by three byte shuffles: its compiler stores such pixels a
// byte at a time.
inline void writeGreys(const uint8_t* grey, Pixel* out, size_t count) {
    size_t x = 0;
#if defined(__wasm_simd128__)
    auto* bytes = reinterpret_cast<uint8_t*>(out);
    for (; x + 16 <= count; x += 16) {
        const v128_t g = wasm_v128_load(grey + x);
        uint8_t* to = bytes + 3 * x;
        wasm_v128_store(to, wasm_i8x16_shuffle(g, g, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5));
        wasm_v128_store(to + 16, wasm_i8x16_shuffle(g, g, 5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10));
        wasm_v128_store(to + 32,
                        wasm_i8x16_shuffle(g, g, 10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15));
    }
#endif
    for (; x < count; ++x) out[x] = {grey[x], grey[x], grey[x]};
}

inline size_t layerPixels() { return size_t(layerWidth) * size_t(layerHeight); }
inline size_t layerBytes() { return layerPixels() * sizeof(Pixel); }

inline Pixel& pixelAt(int32_t layer, int32_t x, int32_t y) {
    return layers[layer][size_t(y) * size_t(layerWidth) + size_t(x)];
}

// Copies a whole layer; used to stage a source or a result in the scratch layer.
inline void copyLayer(int32_t from, int32_t to) {
    if (from != to) std::memcpy(layers[to], layers[from], layerBytes());
}

}  // namespace tex

namespace tex {

// Brings a hue into [0, 360) as stepping by 360 would; non-finite hues give 0.
float wrapHue(float h);

// Writes every byte of dst as tables[channel][byte of src] (channels red,
// green, blue); dst may be src. The shared form of every per-byte operation.
void mapBytes(int32_t src, int32_t dst, const uint8_t (&tables)[3][256]);

// Replays the first min(count, MAX_OPS) records of a layer's program.
void replayProgram(int32_t layer);

}  // namespace tex
