// The colour operations written the plain way: one pixel after another, every
// formula in extended precision exactly as the operations describe it, into
// a separate output. The engine's tables and wide passes are compared with
// these over all inputs where that is feasible.
#pragma once

#include <limits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/colour/kernels.h"
#include "engine/engine.h"

namespace colourref {

const float INF = std::numeric_limits<float>::infinity(), NaN = std::numeric_limits<float>::quiet_NaN();

using LD = tex::ext;
using tex::BYTE_UNIT;
using tex::extRint;
using tex::extSin;

// Both settings of the wide units that this machine can run; the default
// (wide where available) is restored by WideUnitsReset at the end of a test.
inline std::vector<bool> unitSettings() {
    std::vector<bool> settings{false};
    if (tex::setWideUnits(true)) settings.push_back(true);
    return settings;
}
struct WideUnitsReset {
    ~WideUnitsReset() { tex::setWideUnits(true); }
};

inline int32_t trunc32(LD v) {  // toward zero; NaN gives 0, beyond the range clamps
    if (v != v) return 0;
    if (v >= LD(2147483647.0)) return INT32_MAX;
    if (v <= -LD(2147483648.0)) return INT32_MIN;
    return int32_t(v);
}
inline uint8_t saturate(LD v) { return v >= LD(255.0) ? 255 : v > LD(0.0) ? uint8_t(int32_t(v)) : 0; }

// ---- Combiners: the byte for one pair ----
inline uint8_t add(uint8_t a, uint8_t b, float w1, float w2) { return saturate(float(a * LD(w1) + b * LD(w2))); }
inline float mulFactor(float w1, float w2) { return float(LD(w1) * LD(w2) * BYTE_UNIT); }
inline uint8_t mul(uint8_t a, uint8_t b, float k) { return saturate(float(LD(int32_t(a) * int32_t(b)) * k)); }
inline uint8_t min(uint8_t a, uint8_t b, float w1, float w2) { return b * LD(w2) <= a * LD(w1) ? b : a; }
inline uint8_t max(uint8_t a, uint8_t b, float w1, float w2) { return b * LD(w2) >= a * LD(w1) ? b : a; }
inline uint8_t bxor(uint8_t a, uint8_t b, float w1, float w2) {
    return uint8_t(trunc32(a * LD(w1)) ^ trunc32(b * LD(w2)));
}
inline uint8_t bor(uint8_t a, uint8_t b, float w1, float w2) {
    return uint8_t(trunc32(a * LD(w1)) | trunc32(b * LD(w2)));
}
inline uint8_t band(uint8_t a, uint8_t b, float w1, float w2) {
    return uint8_t(trunc32(a * LD(w1)) & trunc32(b * LD(w2)));
}

// The random scatter, as the plain round loop; returns the layer's bytes and
// leaves randomSeed where the operation leaves it.
inline std::vector<uint8_t> randCombine(int32_t src1, int32_t src2, float w1, float w2) {
    const size_t pixels = size_t(tex::layerWidth) * tex::layerHeight;
    std::vector<tex::Pixel> scratch(pixels, tex::Pixel{127, 127, 127});
    w1 = float(LD(w1) * LD(1.5));
    w2 = float(LD(w2) * LD(1.5));
    tex::randomSeed = 45390954u;
    const int64_t limit1 = int64_t(extRint(LD(pixels) * w1)), limit2 = int64_t(extRint(LD(pixels) * w2));
    int64_t count1 = 0, count2 = 0;
    auto put = [&](int32_t src, uint32_t x, uint32_t y) {
        const size_t i = size_t(y) * tex::layerWidth + x;
        scratch[i] = tex::layers[src][i];
    };
    while (count1 < limit1 || count2 < limit2) {
        if (count1 < limit1) {
            uint32_t x = (tex::nextRandom() >> 1) & tex::widthMask, y = tex::nextRandom() & tex::heightMask;
            put(src1, x, y);
            x = tex::nextRandom() & tex::widthMask;
            y = (tex::nextRandom() >> 2) & tex::heightMask;
            put(src1, x, y);
            ++count1;
        }
        if (count2 < limit2) {
            uint32_t y = (tex::nextRandom() >> 1) & tex::heightMask, x = tex::nextRandom() & tex::widthMask;
            put(src2, x, y);
            y = tex::nextRandom() & tex::heightMask;
            x = (tex::nextRandom() >> 2) & tex::widthMask;
            put(src2, x, y);
            ++count2;
        }
    }
    std::vector<uint8_t> bytes(pixels * 3);
    std::memcpy(bytes.data(), scratch.data(), bytes.size());
    return bytes;
}

// ---- Channels: one byte ----
inline uint8_t scaleRGB(uint8_t v, float factor) { return saturate(float(v * LD(factor))); }
inline uint8_t adjustRGB(uint8_t v, int32_t offset) {
    const int64_t sum = int64_t(v) + offset;
    return uint8_t(sum > 255 ? 255 : sum < 0 ? 0 : sum);
}
inline uint8_t sine(uint8_t v, float frequency) {
    const float f = float(LD(frequency) * LD(3.14159274101257324f));
    return uint8_t(trunc32((extSin(v * LD(f)) + LD(1.0)) * LD(127.5)));
}

// ---- HSV: one pixel, through the engine's conversions ----
inline tex::Pixel hsvPixel(tex::Pixel p, bool scale, float h, float s, float v) {
    float hue, sat, val;
    tex::rgbToHsv(p.red, p.green, p.blue, hue, sat, val);
    hue = float(scale ? LD(hue) * h : LD(hue) + h);
    sat = float(scale ? LD(sat) * s : LD(sat) + s);
    val = float(scale ? LD(val) * v : LD(val) + v);
    if (sat > 1.0f) sat = 1.0f;
    if (sat < 0.0f) sat = 0.0f;
    if (val > 255.0f) val = 255.0f;
    if (val < 0.0f) val = 0.0f;
    float r, g, b;
    tex::hsvToRgb(hue, sat, val, r, g, b);
    return {uint8_t(trunc32(r)), uint8_t(trunc32(g)), uint8_t(trunc32(b))};
}

// ---- Equalisation: the mapping of one channel from its histogram ----
inline void equalizeTable(const uint32_t (&counts)[256], bool stretch, size_t pixels, uint8_t (&map)[256]) {
    int low = 0, high = 255;
    while (low < 255 && counts[low] == 0) ++low;
    while (high > 0 && counts[high] == 0) --high;
    const float scale = stretch ? float(LD(high - low) / LD(pixels)) : float(LD(255.0) / LD(pixels));
    float accumulator = stretch ? float(low) : 0.0f;
    for (int v = 0; v < 256; ++v) {
        accumulator = float(counts[v] * LD(scale) + accumulator);
        map[v] = uint8_t(int32_t(std::nearbyint(accumulator)));
    }
}

}  // namespace colourref
