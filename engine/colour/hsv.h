// The HSV conversions of byte pixels as the HSV operations use them: the bits
// of rgbToHsv and hsvToRgb, with fewer extended-precision steps and without
// branches on the colour (which a processor cannot predict on varied images).
//
// A single +, -, * or / of two float32 values rounded to extended precision
// and then to float32 equals the float32 operation itself (double rounding is
// harmless when the wider format has at least 2 * 24 + 2 bits), so such steps
// run in float32. The hue quotients single(x / delta + 2) and
// single(x / delta + 4) of green and blue maxima equal the float32 quotients
// (x + 2 * delta) / delta and (x + 4 * delta) / delta for every x in
// -delta..delta and delta in 1..255 (the tests check all of them), so every
// sector takes one division of whole numbers. hsvToRgb's products with an
// extended constant and with 1 - s stay in extended precision.
#pragma once

#include <algorithm>

#include "engine/internal.h"

#if TEX_X86_VECTORS
#include <xmmintrin.h>
#endif

namespace tex {

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

// The channels of each sector 0..5, as indices into (v, p, q, t):
// (v,t,p) (q,v,p) (p,v,t) (p,q,v) (t,p,v) (v,p,q).
constexpr uint8_t HSV_SECTOR_ORDER[6][3] = {{0, 3, 1}, {2, 0, 1}, {1, 0, 3}, {1, 2, 0}, {3, 1, 0}, {0, 1, 2}};

inline void hsvOfBytes(Pixel p, float& h, float& s, float& v) {
    const int32_t r = p.red, g = p.green, b = p.blue;
    const int32_t m = std::max(std::max(r, g), b), n = std::min(std::min(r, g), b);
    v = float(m);
    if (m == n) {  // grey or black: (m - n) / m is 0 or there is no maximum
        s = 0.0f;
        h = -1.0f;
        return;
    }
    const int32_t delta = m - n;
    s = float(delta) / float(m);
    // Red wins a tie for the maximum, then green: hue = (x + k * delta) / delta.
    const bool redMax = r == m, greenMax = !redMax && g == m;
    const int32_t x = redMax ? g - b : greenMax ? b - r : r - g;
    const int32_t k = redMax ? 0 : greenMax ? 2 : 4;
    const float hue = float(x + k * delta) / float(delta) * 60.0f;
    // Only a red maximum gives a negative hue, above -60: one step of 360.
    h = hue + (hue < 0.0f ? 360.0f : 0.0f);
}

// A conversion result to a byte: truncation toward zero on the SSE unit (the
// extended truncation would switch the x87 rounding mode for every value);
// NaN and values beyond the int32 range convert to INT32_MIN and so give 0.
inline uint8_t truncatedByte(float x) {
#if TEX_X86_VECTORS
    const int32_t i = _mm_cvttss_si32(_mm_set_ss(x));
#else
    const int32_t i = x > -2147483648.0f && x < 2147483648.0f ? int32_t(x) : INT32_MIN;
#endif
    return uint8_t(std::min(std::max(i, 0), 255));
}

// Clamps saturation and value, converts back and truncates to bytes. After the
// clamps every result lies in 0..255; NaN (from NaN arguments) gives 0.
inline Pixel bytesOfHsv(float h, float s, float v) {
    if (s > 1.0f) s = 1.0f;
    if (s < 0.0f) s = 0.0f;
    if (v > 255.0f) v = 255.0f;
    if (v < 0.0f) v = 0.0f;
    uint8_t out[4];  // v, p, q, t
    out[0] = truncatedByte(v);
    if (s == 0.0f) return {out[0], out[0], out[0]};
    h = wrapHueFast(h);
    const ext product = ext(h) * SIXTIETH;
    const float hs = static_cast<float>(product);
    // trunc(product) from the rounded product: hs is at most one whole number
    // above it, when the rounding carries it up to that whole number.
    int32_t sector = static_cast<int32_t>(hs);              // 0 <= hs <= 6
    if (hs == float(sector) && sector > product) --sector;  // only where hs is whole
    const float f = hs - float(sector);                     // exact
    const ext lv = v, ls = s;
    out[1] = truncatedByte(static_cast<float>(lv * (ext(1.0) - ls)));
    out[2] = truncatedByte(static_cast<float>(lv * (ext(1.0) - ls * f)));
    out[3] = truncatedByte(static_cast<float>(lv * (ext(1.0) - ls * (ext(1.0) - ext(f)))));
    const uint8_t* order = HSV_SECTOR_ORDER[std::min(sector, 5)];
    return {out[order[0]], out[order[1]], out[order[2]]};
}

}  // namespace tex
