// Fast forms of the cosine-weighted sampler and of the transcendental values
// the distortions round to float32, shared by the distortion family.
//
// Each returns the same bits as the plain long double formula. A value is
// first computed in double precision with a known error bound; it is used
// only when every number within that bound of it rounds to the same float32
// (or truncates to the same integer), and otherwise the plain formula runs.
// Every bound below is the double computation's own error plus the long
// double formula's (1 ulp of the long double library result, 2^-63
// relative, measured far smaller than the margins used here), rounded up
// generously.
#pragma once

#include <emmintrin.h>

#include "engine/internal.h"

namespace tex::distort {

// Rounds v to float32 into out when every value within err of v rounds alike
// (rounding is monotonic, so checking both ends suffices). NaN never does.
inline bool roundsAlike(double v, double err, float& out) {
    const float lo = static_cast<float>(v - err), hi = static_cast<float>(v + err);
    out = lo;
    return lo == hi;
}

// The blend weight single((1 - cos(f * pi)) * 0.5) as written.
inline float plainWeight(float f) {
    return static_cast<float>((1.0L - cosl(static_cast<long double>(f) * PI_F)) * 0.5L);
}

// The same weight. With t = |f| * pi (exact in double: 24-bit by 24-bit),
// (1 - cos t) / 2 is the series sum over n >= 1 of (-1)^(n+1) t^2n / (2 (2n)!),
// summed to n = 11 for t <= pi/2, where the first omitted term is below 2^-64
// and Horner's rounding adds at most about 2^-49.5. Beyond pi/2 the weight is
// 1 - w(pi - t), pi - t formed from a two-part pi. The bound used, 2^-46,
// leaves a margin of 8 over both errors together.
inline float fastWeight(float f) {
    if (f == 0.0f) return 0.0f;  // cos 0 is exactly 1
    const double t = std::fabs(static_cast<double>(f)) * static_cast<double>(PI_F);
    const bool far = t > 1.5707963267948966;
    const double u = far ? (3.141592653589793 - t) + 1.2246467991473532e-16 : t;
    const double s = u * u;
    double p = 1.0 / 2248001455555215360000.0;
    p = p * s - 1.0 / 4865804016353280000.0;
    p = p * s + 1.0 / 12804747411456000.0;
    p = p * s - 1.0 / 41845579776000.0;
    p = p * s + 1.0 / 174356582400.0;
    p = p * s - 1.0 / 958003200.0;
    p = p * s + 1.0 / 7257600.0;
    p = p * s - 1.0 / 80640.0;
    p = p * s + 1.0 / 1440.0;
    p = p * s - 1.0 / 48.0;
    p = p * s + 0.25;
    double w = p * s;
    if (far) w = 1.0 - w;
    float result;
    if (roundsAlike(w, 0x1p-46, result)) return result;
    return plainWeight(f);
}

// One channel of the blend: the low byte of trunc(c0 w0 + c1 w1 + c2 w2 + c3 w3).
// Each product is exact in double; the three additions err by at most
// 3 * 2^-46 for sums below 256, so the double sum truncates like the long
// double one unless it lies within 2^-42 of a whole number.
inline uint8_t blendChannel(uint8_t c0, uint8_t c1, uint8_t c2, uint8_t c3, float w0, float w1, float w2, float w3) {
    const double sum = double(c0) * w0 + double(c1) * w1 + double(c2) * w2 + double(c3) * w3;
    const int32_t lo = static_cast<int32_t>(sum - 0x1p-42), hi = static_cast<int32_t>(sum + 0x1p-42);
    if (lo == hi) return static_cast<uint8_t>(lo);
    const long double w[4] = {w0, w1, w2, w3};
    return static_cast<uint8_t>(truncInt32(c0 * w[0] + c1 * w[1] + c2 * w[2] + c3 * w[3]));
}

// fastWeight of two fractions at once, the two series sharing SSE2 lanes.
inline void fastWeightPair(float fx, float fy, float& wx, float& wy) {
    const __m128d absMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
    const __m128d f = _mm_cvtps_pd(_mm_set_ps(0.0f, 0.0f, fy, fx));
    const __m128d t = _mm_mul_pd(_mm_and_pd(f, absMask), _mm_set1_pd(static_cast<double>(PI_F)));
    const __m128d far = _mm_cmpgt_pd(t, _mm_set1_pd(1.5707963267948966));
    const __m128d reflected =
        _mm_add_pd(_mm_sub_pd(_mm_set1_pd(3.141592653589793), t), _mm_set1_pd(1.2246467991473532e-16));
    const __m128d u = _mm_or_pd(_mm_and_pd(far, reflected), _mm_andnot_pd(far, t));
    const __m128d s = _mm_mul_pd(u, u);
    auto step = [&](__m128d p, double c) { return _mm_add_pd(_mm_mul_pd(p, s), _mm_set1_pd(c)); };
    __m128d p = _mm_set1_pd(1.0 / 2248001455555215360000.0);
    p = step(p, -1.0 / 4865804016353280000.0);
    p = step(p, 1.0 / 12804747411456000.0);
    p = step(p, -1.0 / 41845579776000.0);
    p = step(p, 1.0 / 174356582400.0);
    p = step(p, -1.0 / 958003200.0);
    p = step(p, 1.0 / 7257600.0);
    p = step(p, -1.0 / 80640.0);
    p = step(p, 1.0 / 1440.0);
    p = step(p, -1.0 / 48.0);
    p = step(p, 0.25);
    __m128d w = _mm_mul_pd(p, s);
    w = _mm_or_pd(_mm_and_pd(far, _mm_sub_pd(_mm_set1_pd(1.0), w)), _mm_andnot_pd(far, w));
    const __m128d bound = _mm_set1_pd(0x1p-46);
    const __m128 lo = _mm_cvtpd_ps(_mm_sub_pd(w, bound)), hi = _mm_cvtpd_ps(_mm_add_pd(w, bound));
    const int alike = _mm_movemask_ps(_mm_cmpeq_ps(lo, hi));
    float result[4];
    _mm_storeu_ps(result, lo);
    wx = (alike & 1) ? result[0] : fastWeight(fx);
    wy = (alike & 2) ? result[1] : fastWeight(fy);
}

// The blend of four texels with float32 weights w0..w3, channel by channel.
// When every weight is 0 or at least 2^-30 it is a whole multiple of 2^-53:
// each product with a byte then has at most 61 significant bits and each
// partial sum at most 62, so the long double sum is exact and equals the
// integer sum of c * (w * 2^53), truncated by the shift. Otherwise each
// channel goes through blendChannel.
inline Pixel blendWeights(const Pixel& t0, const Pixel& t1, const Pixel& t2, const Pixel& t3, float w0, float w1,
                          float w2, float w3) {
    auto fits = [](float w) { return w == 0.0f || w >= 0x1p-30f; };
    if (fits(w0) && fits(w1) && fits(w2) && fits(w3)) {
        const int64_t q0 = static_cast<int64_t>(w0 * 0x1p53f), q1 = static_cast<int64_t>(w1 * 0x1p53f);
        const int64_t q2 = static_cast<int64_t>(w2 * 0x1p53f), q3 = static_cast<int64_t>(w3 * 0x1p53f);
        auto channel = [&](uint8_t c0, uint8_t c1, uint8_t c2, uint8_t c3) {
            return static_cast<uint8_t>((c0 * q0 + c1 * q1 + c2 * q2 + c3 * q3) >> 53);
        };
        return {channel(t0.red, t1.red, t2.red, t3.red), channel(t0.green, t1.green, t2.green, t3.green),
                channel(t0.blue, t1.blue, t2.blue, t3.blue)};
    }
    return {blendChannel(t0.red, t1.red, t2.red, t3.red, w0, w1, w2, w3),
            blendChannel(t0.green, t1.green, t2.green, t3.green, w0, w1, w2, w3),
            blendChannel(t0.blue, t1.blue, t2.blue, t3.blue, w0, w1, w2, w3)};
}

// blendTexels with the fast weights. single(1 - w) and single(a * b) of
// float32 operands are plain float32 operations: one correctly rounded step
// gives the same result as the exact long double value rounded once.
inline Pixel blendFast(const Pixel& t0, const Pixel& t1, const Pixel& t2, const Pixel& t3, float fx, float fy) {
    float wx, wy;
    fastWeightPair(fx, fy, wx, wy);
    const float ax = 1.0f - wx, ay = 1.0f - wy;
    return blendWeights(t0, t1, t2, t3, ax * ay, wx * ay, ax * wy, wx * wy);
}

// sampleLayer(layer, x, y) for a user or scratch layer that exists. For
// |c| < 2^31, c - trunc(c) is exact in float32, so the fraction needs no
// rounding; coordinates beyond that range (and NaN) go to sampleLayer.
inline Pixel sampleFast(int32_t layer, float x, float y) {
    if (!(std::fabs(x) < 2147483648.0f && std::fabs(y) < 2147483648.0f)) return sampleLayer(layer, x, y);
    const Pixel* pixels = layers[layer];
    const int32_t ix = static_cast<int32_t>(x), iy = static_cast<int32_t>(y);
    const float fx = x - static_cast<float>(ix), fy = y - static_cast<float>(iy);
    const size_t width = size_t(layerWidth);
    const size_t x0 = size_t(ix & widthMask), x1 = size_t((ix + 1) & widthMask);
    const Pixel* row0 = pixels + size_t(iy & heightMask) * width;
    if (fx == 0.0f && fy == 0.0f) return row0[x0];  // all weight on the first texel
    const Pixel* row1 = pixels + size_t((iy + 1) & heightMask) * width;
    return blendFast(row0[x0], row0[x1], row1[x0], row1[x1], fx, fy);
}

// One row's sample coordinates, filled by an operation and read by sampleRow.
extern float rowX[MAX_LAYER_SIDE], rowY[MAX_LAYER_SIDE];

// Asks for the cache lines of the two texel rows a sample at (x, y) reads.
inline void prefetchSample(const Pixel* pixels, float x, float y) {
    if (!(std::fabs(x) < 2147483648.0f && std::fabs(y) < 2147483648.0f)) return;
    const int32_t ix = static_cast<int32_t>(x), iy = static_cast<int32_t>(y);
    const size_t width = size_t(layerWidth), column = size_t(ix & widthMask);
    _mm_prefetch(reinterpret_cast<const char*>(pixels + size_t(iy & heightMask) * width + column), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(pixels + size_t((iy + 1) & heightMask) * width + column), _MM_HINT_T0);
}

// out[i] = sampleLayer(layer, rowX[i], rowY[i]) for i < count. Scattered
// samples wait on memory; asking for the texels a few samples ahead keeps
// several reads in flight. out must not be the layer read.
inline void sampleRow(int32_t layer, Pixel* out, int32_t count) {
    constexpr int32_t AHEAD = 16;
    const Pixel* pixels = layers[layer];
    for (int32_t i = 0; i < count; ++i) {
        if (i + AHEAD < count) prefetchSample(pixels, rowX[i + AHEAD], rowY[i + AHEAD]);
        out[i] = sampleFast(layer, rowX[i], rowY[i]);
    }
}

// single(sin(angle)) and single(cos(angle)). For |angle| <= 4096 the C
// library's double sine and cosine (within 1 ulp, 2^-53) and the long double
// ones (within 2^-63 even after argument reduction) differ by far less than
// the 2^-46 used.
inline void sinCosFast(float angle, float& sine, float& cosine) {
    if (std::fabs(angle) <= 4096.0f) {
        const double a = angle;
        if (roundsAlike(std::sin(a), 0x1p-46, sine) && roundsAlike(std::cos(a), 0x1p-46, cosine)) return;
    }
    sine = static_cast<float>(sinl(angle));
    cosine = static_cast<float>(cosl(angle));
}

// single(atan(z)) for a z that double holds exactly; both library arc
// tangents are within 1 ulp relative, far inside the 2^-46 relative bound.
inline float atanFast(double z) {
    const double a = std::atan(z);
    float result;
    if (roundsAlike(a, std::fabs(a) * 0x1p-46, result)) return result;
    return static_cast<float>(atanl(static_cast<long double>(z)));
}

// single(|cos(angle) * depth * inv|), the tunnel's source row. The double
// form errs by at most 1 ulp of the library cosine and two roundings, under
// 2^-50 relative, against the long double one's 2^-62: inside the 2^-46
// relative bound used.
inline float cosDepthFast(float angle, float depth, float inv) {
    const double v = std::fabs(std::cos(static_cast<double>(angle)) * depth * inv);
    float result;
    if (roundsAlike(v, v * 0x1p-46, result)) return result;
    return static_cast<float>(fabsl(cosl(angle) * depth * inv));
}

}  // namespace tex::distort
