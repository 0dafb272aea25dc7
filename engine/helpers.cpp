// Shared numeric and sampling helpers: the engine's random generator, the two
// approximate square roots, cosine-weighted resampling and the HSV
// conversions. Operations depend on their exact roundings, so each follows its
// formula step by step: ext for every extended intermediate, one
// conversion to float where a value is stored as float32.
#include "engine/internal.h"
#include "engine/threads.h"

namespace tex {

uint32_t nextRandom() {
    randomSeed *= RANDOM_MULTIPLIER;
    return randomSeed >> 16;
}

uint32_t intSqrt(uint32_t x) {
    if (x == 0) return 0;
    uint32_t g = x, prev = 0;
    for (;;) {
        // The sum is taken on 64 bits: on 32 bits it wraps for x = 2^32 - 1
        // only, where the first step would give 0 instead of a root.
        const uint32_t n = uint32_t((uint64_t(x / g) + g) >> 1);
        if (uint32_t(prev - n) <= 1) return n;
        prev = n;
        g = n;
    }
}

float fastSqrt(float x) { return fastSqrtInline(x); }

// Cosine weight of a fraction: single((1 - cos(f * pi)) * 0.5).
static float blendWeight(float f) { return static_cast<float>((ext(1.0) - extCos(ext(f) * PI_F)) * ext(0.5)); }

Pixel blendTexels(const Pixel texels[4], float fx, float fy) {
    const float wx = blendWeight(fx), wy = blendWeight(fy);
    const float ax = static_cast<float>(ext(1.0) - wx), ay = static_cast<float>(ext(1.0) - wy);
    const ext w0 = static_cast<float>(ext(ax) * ay);
    const ext w1 = static_cast<float>(ext(wx) * ay);
    const ext w2 = static_cast<float>(ext(ax) * wy);
    const ext w3 = static_cast<float>(ext(wx) * wy);
    // Truncated, never rounded; the low byte is kept.
    auto channel = [&](uint8_t c0, uint8_t c1, uint8_t c2, uint8_t c3) {
        return static_cast<uint8_t>(truncInt32(c0 * w0 + c1 * w1 + c2 * w2 + c3 * w3));
    };
    return {channel(texels[0].red, texels[1].red, texels[2].red, texels[3].red),
            channel(texels[0].green, texels[1].green, texels[2].green, texels[3].green),
            channel(texels[0].blue, texels[1].blue, texels[2].blue, texels[3].blue)};
}

// Splits a coordinate into trunc(c) and single(c - trunc(c)). Beyond the int32
// range every float32 is a whole number; its integer part is taken modulo
// 2^32, which the wrap masks (powers of two) reduce exactly as they would the
// true integer. NaN and infinities sample position 0.
static void splitCoordinate(float c, int32_t& whole, float& fraction) {
    if (std::fabs(c) < 2147483648.0f) {
        whole = static_cast<int32_t>(c);
        fraction = static_cast<float>(ext(c) - whole);
    } else if (std::isfinite(c)) {
        whole = static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(extFmod(c, ext(4294967296.0)))));
        fraction = 0.0f;
    } else {
        whole = 0;
        fraction = 0.0f;
    }
}

Pixel sampleLayer(int32_t layer, float x, float y) {
    if (layer < 0 || layer > SCRATCH_LAYER || !layers[layer]) return {0, 0, 0};
    int32_t ix, iy;
    float fx, fy;
    splitCoordinate(x, ix, fx);
    splitCoordinate(y, iy, fy);
    const int32_t x0 = ix & widthMask, x1 = int32_t(uint32_t(ix) + 1u) & widthMask;
    const int32_t y0 = iy & heightMask, y1 = int32_t(uint32_t(iy) + 1u) & heightMask;
    const Pixel texels[4] = {pixelAt(layer, x0, y0), pixelAt(layer, x1, y0), pixelAt(layer, x0, y1),
                             pixelAt(layer, x1, y1)};
    return blendTexels(texels, fx, fy);
}

float wrapHue(float h) {
    if (!std::isfinite(h)) return 0.0f;
    // For |h| < 2^27 every step of 360 but the last is exact, so the reduction
    // below gives the same bits as stepping by 360; beyond that, where stepping
    // would take ages or never end, it is the exact remainder.
    if (h < 0.0f) {
        const ext r = extFmod(h, ext(360.0));
        h = r < ext(0.0) ? static_cast<float>(r + ext(360.0)) : 0.0f;
    }
    if (h >= 360.0f) h = static_cast<float>(extFmod(h, ext(360.0)));
    return h;
}

void rgbToHsv(float r, float g, float b, float& h, float& s, float& v) {
    float m = g >= r ? g : r;
    if (b > m) m = b;
    float n = g <= r ? g : r;
    if (b < n) n = b;
    v = m;
    float saturation = 0.0f;
    if (m != 0.0f) saturation = static_cast<float>((ext(m) - n) / m);
    s = saturation;
    if (saturation == 0.0f) {
        h = -1.0f;
        return;
    }
    const float delta = static_cast<float>(ext(m) - n);
    const float dr = static_cast<float>(ext(m) - r);
    const float dg = static_cast<float>(ext(m) - g);
    const float db = static_cast<float>(ext(m) - b);
    float hue;
    if (r == m)
        hue = static_cast<float>((ext(db) - dg) / delta);
    else if (g == m)
        hue = static_cast<float>((ext(dr) - db) / delta + ext(2.0));
    else
        hue = static_cast<float>((ext(dg) - dr) / delta + ext(4.0));
    hue = static_cast<float>(ext(hue) * ext(60.0));
    h = wrapHue(hue);
}

void hsvToRgb(float h, float s, float v, float& r, float& g, float& b) {
    h = wrapHue(h);
    if (s == 0.0f) {
        r = g = b = v;
        return;
    }
    // 0.016666667 is slightly more than 1/60; the sector comes from the
    // unrounded product, the fraction from the rounded one.
    const ext product = ext(h) * SIXTIETH;
    const float hs = static_cast<float>(product);
    const int32_t sector = static_cast<int32_t>(product);  // 0..5: h is in [0, 360)
    const float f = static_cast<float>(ext(hs) - sector);
    const ext lv = v, ls = s;
    const float p = static_cast<float>(lv * (ext(1.0) - ls));
    const float q = static_cast<float>(lv * (ext(1.0) - ls * f));
    const float t = static_cast<float>(lv * (ext(1.0) - ls * (ext(1.0) - f)));
    switch (sector) {
        case 0: r = v, g = t, b = p; break;
        case 1: r = q, g = v, b = p; break;
        case 2: r = p, g = v, b = t; break;
        case 3: r = p, g = q, b = v; break;
        case 4: r = t, g = p, b = v; break;
        default: r = v, g = p, b = q; break;
    }
}

void mapBytes(int32_t src, int32_t dst, const uint8_t (&tables)[3][256]) {
    const Pixel* in = layers[src];
    Pixel* out = layers[dst];
    for (size_t i = 0, n = layerPixels(); i < n; ++i) {
        const Pixel p = in[i];
        out[i] = {tables[0][p.red], tables[1][p.green], tables[2][p.blue]};
    }
}

}  // namespace tex
