// Fast forms of the cosine-weighted sampler and of the transcendental values
// the distortions round to float32, shared by the distortion family.
//
// Each returns the same bits as the plain ext formula. A value is
// first computed in double precision with a known error bound; it is used
// only when every number within that bound of it rounds to the same float32
// (or truncates to the same integer), and otherwise the plain formula runs.
// Every bound below is the double computation's own error (the C library's
// double functions within 1 ulp) plus the extended formula's (the engine's
// functions within 1 ulp of their 64-bit significand, 2^-63 relative), rounded
// up generously.
//
// single(a op b) for float32 a and b and op one of + - * / is the float32
// operation itself: rounding the exact value to 64 bits first and then to 24
// never differs from rounding it to 24 bits once, since 64 >= 2 * 24 + 2.
#pragma once

#include "engine/internal.h"
#include "engine/threads.h"


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
    return static_cast<float>((ext(1.0) - extCos(ext(f) * PI_F)) * ext(0.5));
}

// The same weight. With t = |f| * pi (exact in double: 24-bit by 24-bit),
// (1 - cos t) / 2 is the series sum over n >= 1 of (-1)^(n+1) t^2n / (2 (2n)!),
// summed to n = 11 for t <= pi/2, where the first omitted term is below 2^-64
// and Horner's rounding adds at most about 2^-49.5 of the weight. Beyond pi/2
// the weight is 1 - w(pi - t), pi - t formed from a two-part pi (the
// subtraction is exact), the complement adding one rounding of 2^-53.
// The extended weight errs by at most 2^-63 absolute: its cosine by 0.85
// units of 2^-64, 1 - cos exact or rounded once (2^-64 of a value below 2),
// the halving exact. The bound used, weightBound, 2^-46 of the weight plus
// 2^-60, leaves a margin of 8 over both; a relative bound, since small
// weights (fractions near 0) have small units in the last place.
// weightSeries is the series at t, written without branches so that loops
// over it vectorise.
TEX_ALWAYS_INLINE double weightSeries(double t) {
    const bool far = t > 1.5707963267948966;
    const double reflected = (3.141592653589793 - t) + 1.2246467991473532e-16;
    const double u = far ? reflected : t;
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
    const double near = p * s, complement = 1.0 - near;
    return far ? complement : near;
}

TEX_ALWAYS_INLINE double weightBound(double w) { return w * 0x1p-46 + 0x1p-60; }

inline float fastWeight(float f) {
    if (f == 0.0f) return 0.0f;  // cos 0 is exactly 1
    const double w = weightSeries(std::fabs(static_cast<double>(f)) * static_cast<double>(PI_F));
    float result;
    if (roundsAlike(w, weightBound(w), result)) return result;
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
    const ext w[4] = {w0, w1, w2, w3};
    return static_cast<uint8_t>(truncInt32(c0 * w[0] + c1 * w[1] + c2 * w[2] + c3 * w[3]));
}

// blendChannel for each channel (sampling.cpp): out of line, so that the
// rare calls leave the registers of blendWeights' callers' loops alone.
Pixel blendChannels(const Pixel& t0, const Pixel& t1, const Pixel& t2, const Pixel& t3, float w0, float w1, float w2,
                    float w3);

// The blend of four texels with float32 weights w0..w3, channel by channel.
// When every weight is 0 or at least 2^-30 it is a whole multiple of 2^-53:
// each product with a byte then has at most 61 significant bits and each
// partial sum at most 62, so the ext sum is exact and equals the
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
    return blendChannels(t0, t1, t2, t3, w0, w1, w2, w3);
}

// One row's sample coordinates, filled by an operation and read by
// sampleRow, and the whole parts and weights sampleRow derives from them.
constexpr int32_t ROW_ENTRIES = MAX_LAYER_SIDE + 4;
// One set per thread, so that bands of rows run side by side; the last three
// are the weight pass's own (sampling.cpp).
struct RowSamples {
    float x[ROW_ENTRIES], y[ROW_ENTRIES];
    int32_t wholeX[ROW_ENTRIES], wholeY[ROW_ENTRIES];
    float weightX[ROW_ENTRIES], weightY[ROW_ENTRIES];
    float fraction[ROW_ENTRIES];
    double series[ROW_ENTRIES];
    int32_t open[ROW_ENTRIES];
};
inline RowSamples& rowSamples() { return perThread<RowSamples>(); }

// The whole part sampleLayer takes for a coordinate beyond the int32 range:
// the float32 is a whole number, taken modulo 2^32 (exactly, through int64
// below 2^63; beyond, every float32 is a multiple of 2^40, so 0), and NaN or
// an infinity gives 0. Its fraction, and so its weight, is 0.
inline int32_t wholeBeyondRange(float c) {
    if (!(std::fabs(c) < 9223372036854775808.0f)) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(c))));
}

// The whole part and weight of one coordinate: trunc and the weight of the
// exact fraction c - trunc(c) (the float32 subtraction is exact for
// |c| < 2^31, the only coordinates it is used for).
inline void weighOne(float c, int32_t& whole, float& weight) {
    if (std::fabs(c) < 2147483648.0f) {
        whole = static_cast<int32_t>(c);
        weight = fastWeight(c - static_cast<float>(whole));
    } else {
        whole = wholeBeyondRange(c);
        weight = 0.0f;
    }
}

// weighOne for the coordinates c[from .. from + count - 1] of one axis into
// whole and weight at the same entries (sampling.cpp): the series of
// fastWeight in branch-free loops that vectorise (for AVX2 too where
// vectorUnits() says so), then weighOne for the few entries they leave open
// (beyond the int32 range or NaN, or not settled by the test).
void weighCoordinates(RowSamples& row, const float* c, int32_t* whole, float* weight, int32_t from, int32_t count);

// Both axes of a row, entries 0 .. count - 1.
inline void weighRow(RowSamples& row, int32_t count) {
    weighCoordinates(row, row.x, row.wholeX, row.weightX, 0, count);
    weighCoordinates(row, row.y, row.wholeY, row.weightY, 0, count);
}

// out[i] = single(offset + term[i]) for i < count, for a whole offset below
// 2^16 and terms known in double within error[i] of their extended value
// (sampling.cpp): the double sum rounds once (2^-53 of it) and the extended
// one once (2^-64 of it), so it is decided with the bound
// error[i] + 2^-52 |sum|. open[i] marks the sums left to the extended form
// (every one whose term or bound is not finite); returns their count, and
// counts the decisions.
uint32_t decideSums(double offset, const double* term, const double* error, float* out, int32_t* open, int32_t count);

// out[i] = sampleLayer(layer, rowX[i], rowY[i]) for i < count from the
// whole parts and weights weighRow has made of them: the texels and their
// blends. out must not be the layer read. For rows whose samples lie
// scattered over a large layer (the twirl's), asking for the texels of the
// sample 16 ahead keeps several reads from memory in flight; rows that read a
// narrow band gain nothing from it.
inline void sampleWeighed(const RowSamples& row, int32_t layer, Pixel* out, int32_t count, bool scattered = false) {
    const int32_t *rowWholeX = row.wholeX, *rowWholeY = row.wholeY;
    const float *rowWeightX = row.weightX, *rowWeightY = row.weightY;
    const Pixel* pixels = layers[layer];
    const size_t width = size_t(layerWidth);
    for (int32_t i = 0; i < count; ++i) {
        if (scattered && i + 16 < count) {
            const int32_t j = i + 16;
            const Pixel* p0 = pixels + size_t(rowWholeY[j] & heightMask) * width + size_t(rowWholeX[j] & widthMask);
            const Pixel* p1 = pixels + size_t((uint32_t(rowWholeY[j]) + 1u) & uint32_t(heightMask)) * width +
                              size_t(rowWholeX[j] & widthMask);
            prefetch(p0);
            prefetch(p1);
        }
        const uint32_t ix = uint32_t(rowWholeX[i]), iy = uint32_t(rowWholeY[i]);
        const size_t x0 = size_t(ix & uint32_t(widthMask)), x1 = size_t((ix + 1u) & uint32_t(widthMask));
        const Pixel* row0 = pixels + size_t(iy & uint32_t(heightMask)) * width;
        const float wx = rowWeightX[i], wy = rowWeightY[i];
        // Weights of 0 put everything on the first texel: c * 1 + 0 + 0 + 0.
        if (wx == 0.0f && wy == 0.0f) {
            out[i] = row0[x0];
            continue;
        }
        const Pixel* row1 = pixels + size_t((iy + 1u) & uint32_t(heightMask)) * width;
        const float ax = 1.0f - wx, ay = 1.0f - wy;
        out[i] = blendWeights(row0[x0], row0[x1], row1[x0], row1[x1], ax * ay, wx * ay, ax * wy, wx * wy);
    }
}

// out[i] = sampleLayer(layer, rowX[i], rowY[i]) for i < count, in two
// passes: the weights of the whole row, then the texels and their blends.
inline void sampleRow(int32_t layer, Pixel* out, int32_t count, bool scattered = false) {
    RowSamples& row = rowSamples();
    weighRow(row, count);
    sampleWeighed(row, layer, out, count, scattered);
}

// Series of sin r and cos r for |r| <= pi/4: to r^17 and r^18, the first
// omitted terms below 2^-64; Horner's rounding stays below 2^-50.
TEX_ALWAYS_INLINE double sineSeries(double r) {
    const double s = r * r;
    double p = 1.0 / 355687428096000.0;
    p = p * s - 1.0 / 1307674368000.0;
    p = p * s + 1.0 / 6227020800.0;
    p = p * s - 1.0 / 39916800.0;
    p = p * s + 1.0 / 362880.0;
    p = p * s - 1.0 / 5040.0;
    p = p * s + 1.0 / 120.0;
    p = p * s - 1.0 / 6.0;
    return (p * s + 1.0) * r;
}
TEX_ALWAYS_INLINE double cosineSeries(double r) {
    const double s = r * r;
    double p = -1.0 / 6402373705728000.0;
    p = p * s + 1.0 / 20922789888000.0;
    p = p * s - 1.0 / 87178291200.0;
    p = p * s + 1.0 / 479001600.0;
    p = p * s - 1.0 / 3628800.0;
    p = p * s + 1.0 / 40320.0;
    p = p * s - 1.0 / 720.0;
    p = p * s + 1.0 / 24.0;
    p = p * s - 0.5;
    return p * s + 1.0;
}

// single(sin(angle)) and single(cos(angle)). For |angle| <= 4096 the C
// library's double sine and cosine (within 1 ulp, 2^-53) and the extended
// ones (within 2^-63 after an exact argument reduction) differ by far less than
// the 2^-46 used.
inline void sinCosFast(float angle, float& sine, float& cosine) {
    if (std::fabs(angle) <= 4096.0f) {
        const double a = angle;
        if (roundsAlike(std::sin(a), 0x1p-46, sine) && roundsAlike(std::cos(a), 0x1p-46, cosine)) return;
    }
    sine = static_cast<float>(extSin(angle));
    cosine = static_cast<float>(extCos(angle));
}

// single(atan(z)) for a z that double holds exactly; both library arc
// tangents are within 1 ulp relative, far inside the 2^-46 relative bound.
inline float atanFast(double z) {
    const double a = std::atan(z);
    float result;
    if (roundsAlike(a, std::fabs(a) * 0x1p-46, result)) return result;
    return static_cast<float>(extAtan(ext(z)));
}

// atan z in double for any finite z, without branches so that loops over it
// vectorise. Reduction: t = |z|, or 1/|z| beyond 1 (atan |z| = pi/2 - atan t);
// then c, the quarter nearest t, and r = (t - c) / (1 + t c), |r| <= 1/8, so
// atan t = atan c + atan r, atan r the Taylor series to r^17 (the first
// omitted term below 2^-58 of r). Error, by summing the roundings: 1/|z|
// errs by 2^-53 of t, and atan's slope is at most 1; t - c is exact
// (Sterbenz: t lies within 1/8 of c >= 1/4), 1 + t c and the division add
// 3 roundings, r's error within 2^-51.4 of r, at most 2^-54.4; Horner's
// within 2^-56; atan c as a double 2^-54 of it; the sum 2^-53 of the
// result. For c = 0 only the series and the sum round. In all, 2^-51.3
// absolute, against a result of at least atan(1/8) > 2^-3.01 where c > 0:
// within 2^-48.3 relative, and 2^-52.5 where c = 0. The complement adds the
// rounding of pi/2 - b (b's error carried, the two-part pi/2 exact to 2^-107)
// against a result above pi/4: within 2^-50.5. The extended arc tangent errs
// by 0.51 ulp, 2^-63 relative; 2^-46 relative covers both with a margin over 4.
// (The largest error seen over 2 * 10^7 arguments of every size is 2^-51.6.)
// The sign is z's (atan(-0) = -0); NaN gives NaN, which no test settles. atanReduced takes 1 / |z| from the caller
// (infinite for 0, and then not used): a loop forming it beside the
// selection below would have the compiler move the division under a branch,
// and so not vectorise.
TEX_ALWAYS_INLINE double atanReduced(double z, double inverse) {
    const double az = std::fabs(z);
    const bool beyond = az > 1.0;
    const double t = beyond ? inverse : az;
    const double shift = 0x1.8p52;  // adding it rounds to a whole number
    const double i = (t * 4.0 + shift) - shift;  // 0..4, exactly
    const double c = i * 0.25;
    const double r = (t - c) / (1.0 + t * c);
    // atan c rounded to double, chosen step by step (a nested choice does not
    // vectorise).
    double atanC = i == 1.0 ? 0.24497866312686414 : 0.0;
    atanC = i == 2.0 ? 0.46364760900080609 : atanC;
    atanC = i == 3.0 ? 0.64350110879328437 : atanC;
    atanC = i == 4.0 ? 0.78539816339744828 : atanC;
    const double s = r * r;
    double p = 1.0 / 17.0;
    p = p * s - 1.0 / 15.0;
    p = p * s + 1.0 / 13.0;
    p = p * s - 1.0 / 11.0;
    p = p * s + 1.0 / 9.0;
    p = p * s - 1.0 / 7.0;
    p = p * s + 1.0 / 5.0;
    p = p * s - 1.0 / 3.0;
    const double b = atanC + (r + r * s * p);
    // (pi/2 - b) + its low part beyond 1, else (0 + b) + 0 = b: the choice is
    // of constants, so that the compiler does not move the complement under a
    // branch.
    const double base = beyond ? 1.5707963267948966 : 0.0, low = beyond ? 6.123233995736766e-17 : 0.0;
    const double a = (base + (beyond ? -b : b)) + low;
    return std::copysign(a, z);
}
TEX_ALWAYS_INLINE double atanInverse(double z) { return 1.0 / std::fabs(z); }
inline double atanDouble(double z) { return atanReduced(z, atanInverse(z)); }

// sin a and cos a in double for |a| <= 4096, without branches so that loops
// over it vectorise. q = nearest(a * 2/pi) (below 2^12), r = a - q pi/2 with
// pi/2 in three parts P1 + P2 + P3 (30, 30 and 53 bits, within 2^-117 of
// pi/2): q P1 and q P2 are exact, a - q P1 is exact (Sterbenz), and the last
// two subtractions and q P3 round to 2^-52 of r in all; q times the error of
// the split stays below 2^-100 absolute. |r| <= pi/4 (plus 2^-40 when the
// product a * 2/pi rounds across a half, which the series' margin covers);
// the series err by 2^-50 relative, so sine and cosine come within 2^-49.5
// of their value plus 2^-100, the quadrant's sign changes exact. The extended
// ones err by 2^-63 relative; sinCosBound covers both, with a margin of 4 on
// the relative part and 2 on the absolute one. (The largest error seen over
// 2 * 10^7 angles is 2^-51.3 relative.) The caller keeps |a| <= 4096 and
// not NaN, for which alone q's conversion to int32 is defined.
TEX_ALWAYS_INLINE void sinCosDouble(double a, double& sine, double& cosine) {
    const double shift = 0x1.8p52;  // adding it rounds to a whole number
    const double q = (a * 0.63661977236758138 + shift) - shift;
    const double r = ((a - q * 1.5707963276654482) - q * -8.705515692000731e-10) - q * -3.50343439808993e-19;
    const int32_t n = static_cast<int32_t>(q) & 3;
    const double s = sineSeries(r), c = cosineSeries(r);
    sine = n == 0 ? s : n == 1 ? c : n == 2 ? -s : -c;
    cosine = n == 0 ? c : n == 1 ? -s : n == 2 ? -c : s;
}
TEX_ALWAYS_INLINE double sinCosBound(double v) { return std::fabs(v) * 0x1p-47 + 0x1p-99; }

// single(k * angle + c) for float32 k and angle and a whole c: the product is
// exact in double, and the one rounding of the sum errs by 2^-53 of the
// result (2^-64 in ext), inside the 2^-50 relative bound used.
inline float scaledAngle(float k, float angle, int32_t c) {
    const double v = double(k) * angle + c;
    float result;
    if (roundsAlike(v, std::fabs(v) * 0x1p-50, result)) return result;
    return static_cast<float>(ext(k) * angle + c);
}

// pi/2 - a for 0 <= a <= 1.6, exact but for one rounding of the two-part pi/2.
TEX_ALWAYS_INLINE double cosineComplement(double a) { return (1.5707963267948966 - a) + 6.123233995736766e-17; }

// cos(a) for |a| <= 1.6 within 2^-50 relative: the cosine series to a^18
// up to pi/4, beyond that the sine series to r^17 of r = pi/2 - |a| (exact
// but for one rounding of the two-part pi/2), whose value keeps its relative
// accuracy near pi/2 where the cosine vanishes. The first omitted terms are
// below 2^-64; Horner's rounding stays below 2^-50.
inline double cosineSmall(double a) {
    a = std::fabs(a);
    if (a <= 0.78539816339744831) return cosineSeries(a);
    return sineSeries(cosineComplement(a));
}

// single(|cos(angle) * depth * inv|), the tunnel's source row. The double
// form errs by the cosine's 2^-50 and two roundings, under 2^-49 relative,
// against the extended one's 2^-62: inside the 2^-46 relative bound used.
inline float cosDepthFast(float angle, float depth, float inv) {
    const double c = std::fabs(angle) <= 1.6f ? cosineSmall(angle) : std::cos(double(angle));
    const double v = std::fabs(c * depth * inv);
    float result;
    if (roundsAlike(v, v * 0x1p-46, result)) return result;
    return static_cast<float>(extFabs(extCos(angle) * depth * inv));
}

// single(strength * d * d * k), the products taken left to right. In double
// the first product is exact and the other two err by 2^-53 each; the long
// double form by 2^-64 each: both lie well within 2^-50 relative.
inline float twistAngle(float strength, float d, float k) {
    const double v = double(strength) * d * d * k;
    float result;
    if (roundsAlike(v, std::fabs(v) * 0x1p-50, result)) return result;
    return static_cast<float>(ext(strength) * d * d * k);
}

// single(c + (a * b + e * f)) for float32 a, b, e, f with whole a and e of at
// most 16 bits: both products are exact in double, and the two roundings of
// the sums err by less than 2^-52 of the operands' magnitudes.
inline float rotatedCoordinate(int32_t c, float a, float b, float e, float f) {
    const double p = double(a) * b, q = double(e) * f;
    const double v = c + (p + q);
    float result;
    if (roundsAlike(v, (std::fabs(p) + std::fabs(q) + std::fabs(double(c))) * 0x1p-50, result)) return result;
    return static_cast<float>(c + (ext(a) * b + ext(e) * f));
}

}  // namespace tex::distort
