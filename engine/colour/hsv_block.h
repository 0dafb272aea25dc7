// The HSV operations' conversion of a block of pixels, written once as plain
// loops that compilers vectorize (built for the baseline units in
// kernels.cpp and for AVX2 in passes_avx2.cpp, like passes.h). Each lane
// gives the bits of the one-pixel form (hsv.h) or is marked for it.
//
// rgbToHsv and the scaling or offsets are float32 operations and run as
// such. hsvToRgb's extended-precision steps run in double and are decided
// (engine/numeric/decide.h); the bound of each, against the ext value:
// - X = h * 0.016666667: the constant rounded to double is within 2^-53 of
//   the ext one (relative), the double product rounds within 2^-53 and the
//   ext one within 2^-64, so |X - x| <= 2^-51 |X|. hs = single(x) and the
//   sector trunc(x) are decided with that bound.
// - f = hs - sector is exact in float32.
// - p = v(1 - s): v*s is exact in double; r = v - v*s rounds once and its
//   error e is exact (Fast2Sum, as |v| >= |v*s|), so r + e = v(1 - s). For
//   s >= 2^-40 the ext 1 - s is exact and the ext product is the 64-bit
//   rounding of v(1 - s), no farther from it than r is: |r - x| <= 2|e|,
//   which is 0 when r is exact. Smaller s adds v * 2^-62 (the ext 1 - s).
//   |e| is at most half an ulp of r <= v, 2^-53 v, so the bound is below
//   2^-50 v, that of q and t, and p takes their width where it is not 0.
// - q = v(1 - s*f): s*f is exact in both; 1 - s*f rounds within 2^-54
//   (double) and 2^-65 (ext), the products within 2^-53 and 2^-64 of v, so
//   |Q - x| <= 2^-52 v; taken as 2^-50 v.
// - t = v(1 - s(1 - f)): for f = 0 the ext steps are those of p, so t = p;
//   otherwise four roundings of at most 2^-53 v each (1 - f, the product
//   with s, 1 - that, the product with v) and the ext ones: 2^-50 v.
// - q and t are exact (bound 0) when every double step is: each difference
//   1 - y has no error (Fast2Sum, y <= 1) and the factor c of the product
//   v * c has at most 29 significant bits (then v * c fits 53). The ext
//   steps are then exact too. Results such as 28 * f, exact and on a float32
//   midpoint, are common and need this.
// Each byte is trunc of the float32 of its value, monotone in the value.
// The hue is wrapped in float32 arithmetic, exactly (wrappedHue). Lanes the
// block form does not take (hues of magnitude 2^26 or more, NaN arguments,
// undecided values) are marked for the one-pixel form.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/colour/hsv.h"
#include "engine/vectors.h"

#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

namespace tex {

// The change of an HSV operation: h, s and v scaled (scale) or offset.
struct HsvChange {
    bool scale;
    float h, s, v;
    double sixtieth;  // the constant 0.016666667 as ext holds it, rounded to double
};

constexpr size_t HSV_BLOCK = 64;  // pixels

// Converts count <= HSV_BLOCK pixels of 3 bytes from in to out (not the same
// memory); redo[j] = 1 where pixel j must be converted by the one-pixel form
// instead, else 0.
using HsvBlock = void (*)(const uint8_t* in, uint8_t* out, size_t count, const HsvChange& change, uint8_t* redo);

HsvBlock hsvBlockBaseline();
HsvBlock hsvBlockAvx2();  // only where passes_avx2.cpp is built for x86-64
HsvBlock hsvBlockAvx512();  // only where hsv_avx512.cpp is built for x86-64
HsvBlock hsvPixelByPixel();  // the same decisions with branches (hsvPixelsOf)

// Where the baseline units have no vectors the block's lanes run one by
// one, and the baseline form is the pixel-by-pixel one instead.
#if defined(__wasm__) && !defined(__wasm_simd128__)
#define TEX_HSV_PIXEL_BY_PIXEL 1
#else
#define TEX_HSV_PIXEL_BY_PIXEL 0
#endif

namespace {

// The loops below are free of branches so that compilers vectorize them on
// every unit, SSE2 included: every value and every comparison is computed
// and the results selected, each loop runs over the whole block (a short
// block is padded with black), and the values of one loop are all of one
// width: 32 bits (float, int32) for rgbToHsv, the clamps and the wrap,
// 64 bits (double) for the decided steps, which hand their results on as
// floats, and bytes for the final selection. SSE2 has no conversion of
// double to int32 that the vectorizers use, and no rounding instruction, so
// whole numbers in double come from adding and subtracting 1.5 * 2^52; its
// conversions between double and float they do use, and those give the
// float32 roundings (of hs, and of the ends of each byte's width, whose
// bytes the next loop takes at 32 bits).

// a where c is 1, b where c is 0, as a mask on the bits: GCC keeps loops
// with some selections of floats scalar on AVX2, and this form it takes.
TEX_ALWAYS_INLINE int32_t pick(int32_t c, int32_t a, int32_t b) {
    const uint32_t mask = 0u - uint32_t(c);
    return int32_t((uint32_t(a) & mask) | (uint32_t(b) & ~mask));
}
TEX_ALWAYS_INLINE uint8_t pick8(uint8_t c, uint8_t a, uint8_t b) {
    const uint8_t mask = uint8_t(0u - c);
    return uint8_t((a & mask) | (b & ~mask));
}
TEX_ALWAYS_INLINE float pick(int32_t c, float a, float b) {
    int32_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    const int32_t r = pick(c, x, y);
    float f;
    std::memcpy(&f, &r, sizeof f);
    return f;
}

// The whole number nearest y (halves to even) for |y| < 2^51, and the
// largest whole number at most y.
TEX_ALWAYS_INLINE double nearestWhole(double y) { return (y + 0x1.8p52) - 0x1.8p52; }
TEX_ALWAYS_INLINE double floorWhole(double y) {
    const double n = nearestWhole(y);
    return n - (n > y ? 1.0 : 0.0);
}

// The lower end y - w of a byte's width, at least 0: the value it holds is
// never negative, and a clamped end never truncates to a negative number.
TEX_ALWAYS_INLINE double lowerEnd(double y, double w) {
    const double below = y - w;
    return below > 0.0 ? below : 0.0;
}

// True when c (|c| <= 1) has at most 29 significant bits: the high part of
// Veltkamp's split by 2^24 + 1 is c rounded to 29 bits, so the low part is 0
// exactly then.
TEX_ALWAYS_INLINE bool shortSignificand(double c) {
    const double scaled = c * 0x1.000001p24, high = scaled - (scaled - c);
    return c - high == 0.0;
}

// 1 - y for 0 <= y <= 1 and whether it is exact (Fast2Sum's error is 0).
TEX_ALWAYS_INLINE double oneMinus(double y, bool& exact) {
    const double c = 1.0 - y;
    exact = (1.0 - c) - y == 0.0;
    return c;
}

// The hue wrapped as wrapHue does, for |h| < 2^26 (others give 0 and are
// redone). Below -360 or from 720 on, k = floor(h / 360) comes from the
// float quotient, off by at most one; h - 360 k is then exact in float (360 k
// is, and the difference is a multiple of h's unit, at least 2^-14 there,
// below 1024), and one step either way puts it right. Between, k is -1, 0 or
// 1 outright, and h + 360 is the one rounding wrapHue makes too. A rounding
// up to 360 gives 0, as in wrapHue. With Near the call's change keeps every
// hue in -360 <= h < 720 (nearHues): k is then -1, 0 or 1 outright and r is
// never negative, and only those steps are taken.
template <bool Near>
TEX_ALWAYS_INLINE float wrappedHue(float h, int32_t& inRange) {
    if (Near) {
        inRange = 1;
        const float r = h - float(int32_t(h >= 360.0f) - int32_t(h < 0.0f)) * 360.0f;
        return r - pick(int32_t(r >= 360.0f), 360.0f, 0.0f);
    }
    inRange = int32_t(h > -0x1p26f) & int32_t(h < 0x1p26f);  // 0 for NaN and infinities
    const float hh = pick(inRange, h, 0.0f);
    const float quotient = hh * (1.0f / 360.0f);
    const float whole = float(int32_t(quotient));
    const float below = whole - pick(int32_t(whole > quotient), 1.0f, 0.0f);
    const int32_t near = int32_t(hh >= -360.0f) & int32_t(hh < 720.0f);
    const float step = float(int32_t(hh >= 360.0f) - int32_t(hh < 0.0f));
    const float k = pick(near, step, below);
    const float r = hh - k * 360.0f;
    const float up = r + pick(int32_t(r < 0.0f), 360.0f, 0.0f);
    return up - pick(int32_t(up >= 360.0f), 360.0f, 0.0f);
}

// out[j] = the float32 rounding of in[j] for the HSV_BLOCK entries, in a
// loop of its own. WebAssembly's compilers turn such conversions inside a
// vectorized loop into lane extracts and inserts, and plain ones one by one
// run slower still; its two-lane conversion is used there instead, two at a
// time and stored as one vector (stored half by half, the compiler narrows
// each to a conversion of two lanes, which it again takes lane by lane).
TEX_ALWAYS_INLINE void toFloats(const double* in, float* out) {
#if defined(__wasm_simd128__)
    for (size_t j = 0; j < HSV_BLOCK; j += 4) {
        const v128_t low = wasm_f32x4_demote_f64x2_zero(wasm_v128_load(in + j));
        const v128_t high = wasm_f32x4_demote_f64x2_zero(wasm_v128_load(in + j + 2));
        wasm_v128_store(out + j, wasm_i32x4_shuffle(low, high, 0, 1, 4, 5));
    }
#else
    for (size_t j = 0; j < HSV_BLOCK; ++j) out[j] = static_cast<float>(in[j]);
#endif
}

// Whether a change keeps every hue of a pixel (-1 for grey, else 0 to 360)
// in -360 <= h < 720 after the float32 scaling or offset: h * c lies within
// [-360, 684] for -1 <= c <= 1.9, and h + c within [-360, 719] for
// -359 <= c <= 359 (the roundings are monotone, and 360 + 359 is exact).
inline bool nearHues(const HsvChange& change) {
    const float c = change.h;
    return change.scale ? c >= -1.0f && c <= 1.9f : c >= -359.0f && c <= 359.0f;
}

// The channels' type in rgbToHsv: float where the units have float minima
// and maxima but maybe not int32 ones (SSE2), int32 in WebAssembly, whose
// compilers take the integer form faster. Either holds the bytes and the
// differences and sums below exactly.
#if defined(__wasm__)
using HueChannel = int32_t;
#else
using HueChannel = float;
#endif

// The channels of a block's pixels apart, one array of 32-bit lanes each
// (so that the next loop has values of one width), and the result's bytes
// back together, by either of two forms:
// - bytes: lane j is pixel j, by loops over the bytes, which vectorizers
//   take with byte shuffles (SSSE3 and up, NEON);
// - words: without them (SSE2) those loops run a byte at a time, and in
//   WebAssembly lane by lane, so lane G q + i (G = N / 4) holds pixel 4 i + q
//   instead, whose bytes lie in words 3 i .. 3 i + 2 (four pixels to three
//   words), and the bytes are taken out of whole words and put back by
//   shifts and masks on 32-bit lanes. The words of each group are first
//   copied to three arrays: byte 3 q + c of a group is channel c of its
//   pixel q, the shift 8 (place mod 4) of its word place / 4 where the
//   machine stores the least significant byte first (big-endian machines
//   take the byte form).
// The loops between are lane by lane and take either order.
#if defined(__SSSE3__) || defined(__ARM_NEON) || (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
#define TEX_HSV_WORD_LANES 0
#else
#define TEX_HSV_WORD_LANES 1
#endif

constexpr size_t HSV_GROUPS = HSV_BLOCK / 4;

// count pixels from source (a short block padded with black) apart.
template <typename Channel>
TEX_ALWAYS_INLINE void takeChannels(const uint8_t* source, size_t count, Channel (&channels)[3][HSV_BLOCK]) {
#if TEX_HSV_WORD_LANES
    constexpr size_t G = HSV_GROUPS;
    // Copied straight into the words, so that the loops read them as they
    // were stored (a wider read of two narrower copies waits for both).
    uint32_t words[3 * G], groups[3][G];
    copyUpTo<sizeof words>(words, source, 3 * count);
    if (count < HSV_BLOCK) std::memset(reinterpret_cast<uint8_t*>(words) + 3 * count, 0, sizeof words - 3 * count);
    for (size_t i = 0; i < G; ++i)
        for (size_t w = 0; w < 3; ++w) groups[w][i] = words[3 * i + w];
    for (size_t i = 0; i < G; ++i)
        for (size_t place = 0; place < 12; ++place)
            channels[place % 3][place / 3 * G + i] =
                Channel(int32_t((groups[place / 4][i] >> (8 * (place % 4))) & 255u));
#else
    constexpr size_t N = HSV_BLOCK;
    uint8_t in[3 * N];
    copyUpTo<sizeof in>(in, source, 3 * count);
    if (count < N) std::memset(in + 3 * count, 0, 3 * (N - count));
    for (size_t j = 0; j < N; ++j)
        for (size_t c = 0; c < 3; ++c) channels[c][j] = Channel(in[3 * j + c]);
#endif
}

// The first count pixels' bytes to out and their redo flags to redo.
TEX_ALWAYS_INLINE void putChannels(const uint8_t (&planes)[3][HSV_BLOCK], const uint8_t (&again)[HSV_BLOCK],
                                   size_t count, uint8_t* out, uint8_t* redo) {
#if TEX_HSV_WORD_LANES
    constexpr size_t G = HSV_GROUPS;
    // The redo flag of pixel 4 i + q as byte q of word i.
    uint32_t groups[3][G], words[3 * G], againWords[G];
    for (size_t i = 0; i < G; ++i) {
        uint32_t group[3] = {0, 0, 0};
        for (size_t place = 0; place < 12; ++place)
            group[place / 4] |= uint32_t(planes[place % 3][place / 3 * G + i]) << (8 * (place % 4));
        for (size_t w = 0; w < 3; ++w) groups[w][i] = group[w];
        againWords[i] = uint32_t(again[i]) | uint32_t(again[G + i]) << 8 | uint32_t(again[2 * G + i]) << 16 |
                        uint32_t(again[3 * G + i]) << 24;
    }
    for (size_t i = 0; i < G; ++i)
        for (size_t w = 0; w < 3; ++w) words[3 * i + w] = groups[w][i];
    copyUpTo<3 * HSV_BLOCK>(out, words, 3 * count);
    copyUpTo<HSV_BLOCK>(redo, againWords, count);
#else
    constexpr size_t N = HSV_BLOCK;
    uint8_t result[3 * N];
    for (size_t j = 0; j < N; ++j)
        for (size_t c = 0; c < 3; ++c) result[3 * j + c] = planes[c][j];
    copyUpTo<3 * N>(out, result, 3 * count);
    copyUpTo<N>(redo, again, count);
#endif
}

template <bool Scale, bool Near>
TEX_ALWAYS_INLINE void hsvBlockOf(const uint8_t* source, uint8_t* out, size_t count, const HsvChange& change,
                                  uint8_t* redo) {
    constexpr size_t N = HSV_BLOCK;
    const double sixtieth = change.sixtieth;
    const float ch = change.h, cs = change.s, cv = change.v;
    // Per lane, after the first loop: the wrapped hue, the clamped s and v,
    // the byte of v, flat (1: every channel is v) and bad (1: redone).
    float hue[N], sat[N], value[N];
    int32_t valueByte[N], flat[N], bad[N];
    // After the second: the sector, and for each of p, q and t the float32
    // roundings of the two ends of its width, whose bytes agree where the
    // byte is decided (and hs and the sector are).
    float sectors[N], ends[3][2][N];
    HueChannel channels[3][N];
    takeChannels(source, count, channels);
    // rgbToHsv as hsvOfBytes computes it, the change, the clamps and the wrap.
    for (size_t j = 0; j < N; ++j) {
        using C = HueChannel;
        const C r = channels[0][j], g = channels[1][j], b = channels[2][j];
        const C m0 = r > g ? r : g, m = m0 > b ? m0 : b;
        const C n0 = r < g ? r : g, n = n0 < b ? n0 : b;
        const C delta = m - n;
        const int32_t grey = delta == 0;
        const int32_t redMax = r == m, greenMax = (1 - redMax) & int32_t(g == m);
        const C x = pick(redMax, C(g - b), pick(greenMax, C(b - r), C(r - g)));
        const C k = pick(redMax, C(0), pick(greenMax, C(2), C(4)));
        const C one = pick(grey, C(1), C(0));
        const float quotient = float(x + k * delta) / float(delta + one) * 60.0f;  // grey: any, replaced
        const float raised = quotient + 360.0f;
        const float h0 = pick(grey, -1.0f, pick(int32_t(quotient < 0.0f), raised, quotient));
        const float s0 = float(delta) / float(m + one);  // grey: 0
        const float v0 = float(m);
        const float h = Scale ? h0 * ch : h0 + ch;
        float s = Scale ? s0 * cs : s0 + cs;
        float v = Scale ? v0 * cv : v0 + cv;
        // The clamps keep NaN (from NaN arguments), which is then redone.
        const int32_t nan = int32_t(s != s) | int32_t(v != v);
        s = pick(int32_t(s > 1.0f), 1.0f, s);
        s = pick(int32_t(s > 0.0f), s, 0.0f);  // and NaN to 0
        v = pick(int32_t(v > 255.0f), 255.0f, v);
        v = pick(int32_t(v > 0.0f), v, 0.0f);
        int32_t inRange;
        hue[j] = wrappedHue<Near>(h, inRange);
        sat[j] = s;
        value[j] = v;
        valueByte[j] = truncSmall(v);
        flat[j] = int32_t(s == 0.0f);
        bad[j] = nan | ((1 - flat[j]) & (1 - inRange));
    }
    // hsvToRgb's extended steps, decided. First hs = single(x) and the
    // sector trunc(x) (x = h * 0.016666667, 0 <= x < 6). The decided hs may
    // be a zero of either sign where x is one: hs enters the bytes only as
    // s * f and 1 - f, where the sign is lost.
    double lowX[N], highX[N];
    float hsLowF[N], hsHighF[N];
    for (size_t j = 0; j < N; ++j) {
        // The width: the bound 2^-51 X widened as decisionWidth widens it,
        // (2^-51 X + 2^-50 X)(1 + 2^-50), is below 2^-49 X (an exact
        // product, 0 for X = 0), so low >= 0.
        const double X = double(hue[j]) * sixtieth, w = X * 0x1p-49;
        lowX[j] = X - w;
        highX[j] = X + w;
    }
    // The float32 roundings of the ends of x's width.
    toFloats(lowX, hsLowF);
    toFloats(highX, hsHighF);
    double sectorsD[N], endsD[3][2][N];
    for (size_t j = 0; j < N; ++j) {
        const double low = lowX[j], high = highX[j];
        const double hsLow = hsLowF[j], hsHigh = hsHighF[j];
        // trunc(x) = floor(low), sure where high lies below the next whole
        // number; at most 5 as X < 6.
        const double floorLow = floorWhole(low);
        const double sector = floorLow < 5.0 ? floorLow : 5.0;
        // The tests of values that come from floats are written on their
        // double results (a difference, a scaling by a power of two):
        // compilers otherwise compare the floats and widen the masks, which
        // takes long sequences in WebAssembly.
        // Where they are not decided, p's upper end is moved up by 2, so that
        // its byte differs from the lower end's and the lane is redone.
        const double unsure = hsLow - hsHigh == 0.0 && high < floorLow + 1.0 ? 0.0 : 2.0;
        const double df = hsLow - sector;  // exact
        sectorsD[j] = sector;
        // Then p, q and t, each as the interval [y - w, y + w] that holds the
        // ext value; byteOf (trunc of the float32) is monotone, so the byte is
        // decided where both ends give the same one. y <= 255 and w is tiny,
        // so the ends' floats convert to int32 without overflow.
        const double dv = value[j], ds = sat[j];
        auto keep = [&](int k, double y, double width) {
            endsD[k][0][j] = lowerEnd(y, width);
            endsD[k][1][j] = y + width;
        };
        // The width for q and t: their bound 2^-50 v, widened as
        // decisionWidth would widen it for a value at most v, is below
        // 2^-48 v (an exact product). p's is 0 where e is and s >= 2^-40.
        const double widthQ = dv * 0x1p-48;
        const double vs = dv * ds, r = dv - vs, e = (dv - r) - vs;
        const double widthP = e == 0.0 && ds * 0x1p40 >= 1.0 ? 0.0 : widthQ;
        const double sf = ds * df;
        bool exactCq, exactF, exactCt;
        const double cq = oneMinus(sf, exactCq);
        const bool exactQ = exactCq & shortSignificand(cq);
        const double rest = oneMinus(df, exactF);
        const double ct = oneMinus(ds * rest, exactCt);
        const bool exactT = exactF & shortSignificand(rest) & exactCt & shortSignificand(ct);
        const bool tIsP = df == 0.0;
        keep(0, r, widthP);
        endsD[0][1][j] += unsure;
        keep(1, dv * cq, exactQ ? 0.0 : widthQ);
        keep(2, tIsP ? r : dv * ct, tIsP ? widthP : exactT ? 0.0 : widthQ);
    }
    toFloats(sectorsD, sectors);
    for (int k = 0; k < 3; ++k)
        for (int e = 0; e < 2; ++e) toFloats(endsD[k][e], ends[k][e]);
    // The bytes by sector: (v,t,p) (q,v,p) (p,v,t) (p,q,v) (t,p,v) (v,p,q);
    // flat lanes take v for all three. Selected, not looked up, on bytes
    // (four times the lanes of 32-bit values).
    uint8_t sector8[N], flat8[N], v8[N], p8[N], q8[N], t8[N], again[N], planes[3][N];
    for (size_t j = 0; j < N; ++j) {
        sector8[j] = uint8_t(truncSmall(sectors[j]));
        flat8[j] = uint8_t(flat[j]);
        v8[j] = uint8_t(valueByte[j]);
        const int32_t p = truncSmall(ends[0][0][j]), q = truncSmall(ends[1][0][j]), t = truncSmall(ends[2][0][j]);
        p8[j] = uint8_t(p);
        q8[j] = uint8_t(q);
        t8[j] = uint8_t(t);
        const int32_t sure = int32_t(truncSmall(ends[0][1][j]) == p) &
                             int32_t(truncSmall(ends[1][1][j]) == q) & int32_t(truncSmall(ends[2][1][j]) == t);
        again[j] = uint8_t(bad[j] | ((1 - flat[j]) & (1 - sure)));
    }
    for (size_t j = 0; j < N; ++j) {
        const uint8_t sector = sector8[j], f = flat8[j], v = v8[j], p = p8[j], q = q8[j], t = t8[j];
        const uint8_t s0 = sector == 0, s1 = sector == 1, s2 = sector == 2, s3 = sector == 3, s4 = sector == 4,
                      s5 = sector == 5;
        planes[0][j] = pick8(f | s0 | s5, v, pick8(s1, q, pick8(s4, t, p)));
        planes[1][j] = pick8(f | s1 | s2, v, pick8(s0, t, pick8(s3, q, p)));
        planes[2][j] = pick8(f | s3 | s4, v, pick8(s2, t, pick8(s5, q, p)));
    }
    putChannels(planes, again, count, out, redo);
}

// One pixel's bytes from its changed h, s and v with the block's bounds,
// taking branches where the block selects and the processor's conversions
// where the block computes them in double: false where the pixel needs the
// one-pixel form. On units without vectors the block's lanes run one after
// another with every step of every lane taken; this form does a pixel's work.
// byteOf(y) = trunc(single(y)) is monotone in y, so a byte is decided where
// the two ends of its width give the same one.
TEX_ALWAYS_INLINE uint8_t byteOf(double y) { return uint8_t(int32_t(static_cast<float>(y))); }
TEX_ALWAYS_INLINE bool decidedByteOf(double y, double w, uint8_t& byte) {
    byte = byteOf(lowerEnd(y, w));
    return byteOf(y + w) == byte;
}

TEX_ALWAYS_INLINE bool decidedPixel(float h, float s, float v, double sixtieth, uint8_t* out) {
    if (s != s || v != v || !(std::fabs(h) < 0x1p26f)) return false;
    s = s > 1.0f ? 1.0f : s > 0.0f ? s : 0.0f;
    v = v > 255.0f ? 255.0f : v > 0.0f ? v : 0.0f;
    uint8_t bytes[4] = {uint8_t(int32_t(v))};  // v, p, q, t
    if (s == 0.0f) {
        out[0] = out[1] = out[2] = bytes[0];
        return true;
    }
    // hs and the sector (0 <= X < 6), then p, q and t, as in the block.
    const double X = double(wrapHueFast(h)) * sixtieth, w = X * 0x1p-49;
    const double low = X - w, high = X + w;
    const float hs = static_cast<float>(low);
    const int32_t whole = int32_t(low);
    if (hs != static_cast<float>(high) || !(high < double(whole + 1))) return false;
    const int32_t sector = whole < 5 ? whole : 5;
    const double df = double(hs) - double(sector);  // exact
    const double dv = v, ds = s;
    const double widthQ = dv * 0x1p-48;
    const double vs = dv * ds, r = dv - vs, e = (dv - r) - vs;
    if (!decidedByteOf(r, e == 0.0 && ds >= 0x1p-40 ? 0.0 : widthQ, bytes[1])) return false;
    bool exactCq;
    const double cq = oneMinus(ds * df, exactCq);
    if (!decidedByteOf(dv * cq, exactCq && shortSignificand(cq) ? 0.0 : widthQ, bytes[2])) return false;
    bytes[3] = bytes[1];
    if (df != 0.0) {
        bool exactF, exactCt;
        const double rest = oneMinus(df, exactF);
        const double ct = oneMinus(ds * rest, exactCt);
        const bool exactT = exactF && shortSignificand(rest) && exactCt && shortSignificand(ct);
        if (!decidedByteOf(dv * ct, exactT ? 0.0 : widthQ, bytes[3])) return false;
    }
    for (int c = 0; c < 3; ++c) out[c] = bytes[HSV_SECTOR_ORDER[sector][c]];
    return true;
}

template <bool Scale>
void hsvPixelsOf(const uint8_t* in, uint8_t* out, size_t count, const HsvChange& change, uint8_t* redo) {
    for (size_t j = 0; j < count; ++j) {
        float h, s, v;
        hsvOfBytes({in[3 * j], in[3 * j + 1], in[3 * j + 2]}, h, s, v);
        if (Scale)
            h *= change.h, s *= change.s, v *= change.v;
        else
            h += change.h, s += change.s, v += change.v;
        redo[j] = !decidedPixel(h, s, v, change.sixtieth, out + 3 * j);
    }
}

[[maybe_unused]] void hsvPixels(const uint8_t* in, uint8_t* out, size_t count, const HsvChange& change,
                                uint8_t* redo) {
    if (change.scale)
        hsvPixelsOf<true>(in, out, count, change, redo);
    else
        hsvPixelsOf<false>(in, out, count, change, redo);
}

[[maybe_unused]] void hsvBlock(const uint8_t* in, uint8_t* out, size_t count, const HsvChange& change,
                               uint8_t* redo) {
    const bool near = nearHues(change);
    if (change.scale && near)
        hsvBlockOf<true, true>(in, out, count, change, redo);
    else if (change.scale)
        hsvBlockOf<true, false>(in, out, count, change, redo);
    else if (near)
        hsvBlockOf<false, true>(in, out, count, change, redo);
    else
        hsvBlockOf<false, false>(in, out, count, change, redo);
}

}  // namespace

}  // namespace tex
