// Routines shared by the operation families; not part of the public interface.
//
// Numeric conventions: an expression the engine evaluates "in extended
// precision" is written with long double operands and converted to float once
// (static_cast<float>), which rounds to nearest, ties to even. Conversions to
// integers go through the helpers below so that no value, however large or
// NaN, is ever undefined behaviour.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/engine.h"

#if !defined(__x86_64__) && !defined(__i386__)
#error "the texture engine needs the x87 80-bit long double: build with GCC or Clang (mingw-w64 included) on x86 or x86-64"
#endif
static_assert(LDBL_MANT_DIG == 64,
              "the texture engine needs a long double with a 64-bit mantissa (x87 extended precision): build with "
              "GCC or Clang on x86 or x86-64, mingw-w64 included; MSVC and other targets are not supported");

namespace tex {

// pi as the float32 nearest to it, used as a factor in extended precision.
constexpr float PI_F = 3.14159274101257324f;

// Truncation toward zero to int32: NaN gives 0, values beyond the range clamp.
inline int32_t truncInt32(long double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0L) return INT32_MAX;
    if (v <= -2147483648.0L) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The default rule for colour results: at or above 255 gives 255, at or below
// 0 (and NaN) gives 0, anything between is truncated.
inline uint8_t saturateByte(long double v) {
    if (v >= 255.0L) return 255;
    if (!(v > 0.0L)) return 0;
    return static_cast<uint8_t>(static_cast<int32_t>(v));
}

// True when every index names a user layer and the buffers exist.
template <typename... L>
inline bool validLayers(L... index) {
    return layers[SCRATCH_LAYER] != nullptr && ((index >= 0 && index < LAYER_COUNT) && ...);
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
