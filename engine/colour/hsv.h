// The HSV conversions of byte pixels as the HSV operations use them, with
// the bits of rgbToHsv and hsvToRgb and fewer extended-precision steps.
#pragma once

#include "engine/internal.h"

namespace tex {

// The conversions below give the bits of rgbToHsv and hsvToRgb for byte
// channels with fewer extended-precision steps. A single +, -, * or / of two
// float32 values rounded to extended precision and then to float32 equals the
// float32 operation itself (double rounding is harmless when the wider format
// has at least 2 * 24 + 2 bits), so such steps run in float32. The hue
// quotients of green and blue, single(x / delta + 2) and single(x / delta + 4),
// equal the float32 quotients (x + 2 * delta) / delta and (x + 4 * delta) /
// delta for every x in -delta..delta and delta in 1..255 (checked over all of
// them in the tests). hsvToRgb's products with an extended constant and with
// 1 - s stay in extended precision.

// wrapHue's result, stepping once where one step of 360 is all it takes.
inline float wrapHueFast(float h) {
    if (h >= 0.0f && h < 360.0f) return h;
    if (h < 0.0f && h >= -360.0f) {
        const float r = h + 360.0f;
        return r >= 360.0f ? 0.0f : r;
    }
    if (h >= 360.0f && h < 720.0f) return h - 360.0f;  // exact
    return wrapHue(h);
}

inline void hsvOfBytes(Pixel p, float& h, float& s, float& v) {
    const float r = p.red, g = p.green, b = p.blue;
    float m = g >= r ? g : r;
    if (b > m) m = b;
    float n = g <= r ? g : r;
    if (b < n) n = b;
    v = m;
    if (m == n) {  // grey or black: (m - n) / m is 0 or there is no maximum
        s = 0.0f;
        h = -1.0f;
        return;
    }
    const float delta = m - n;
    s = delta / m;
    float hue;
    if (r == m)
        hue = (g - b) / delta;
    else if (g == m)
        hue = (b - r + 2.0f * delta) / delta;
    else
        hue = (r - g + 4.0f * delta) / delta;
    h = wrapHueFast(hue * 60.0f);
}

// Clamps saturation and value, converts back and truncates to bytes. After the
// clamps every result lies in 0..255; NaN (from NaN arguments) gives 0.
inline Pixel bytesOfHsv(float h, float s, float v) {
    if (s > 1.0f) s = 1.0f;
    if (s < 0.0f) s = 0.0f;
    if (v > 255.0f) v = 255.0f;
    if (v < 0.0f) v = 0.0f;
    const uint8_t value = uint8_t(truncInt32(v));
    if (s == 0.0f) return {value, value, value};
    h = wrapHueFast(h);
    const long double product = static_cast<long double>(h) * 0.016666667L;
    const float hs = static_cast<float>(product);
    const int32_t sector = static_cast<int32_t>(product);
    const float f = hs - float(sector);  // exact
    const long double lv = v, ls = s;
    const uint8_t low = uint8_t(truncInt32(static_cast<float>(lv * (1.0L - ls))));
    // Odd sectors fall (q), even ones rise (t); each pixel needs only one.
    const uint8_t edge = uint8_t(truncInt32(static_cast<float>(
        sector & 1 ? lv * (1.0L - ls * f) : lv * (1.0L - ls * (1.0L - static_cast<long double>(f))))));
    switch (sector) {
        case 0: return {value, edge, low};
        case 1: return {edge, value, low};
        case 2: return {low, value, edge};
        case 3: return {low, edge, value};
        case 4: return {edge, low, value};
        default: return {value, low, edge};
    }
}

}  // namespace tex
