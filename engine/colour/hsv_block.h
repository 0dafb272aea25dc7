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
// Lanes the block form does not take (hues of 2^52 or more, NaN arguments,
// undecided values) are marked for the one-pixel form.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/numeric/decide.h"

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

namespace {

// The one-pixel form's byte of a float result (NaN gives 0), clamped before
// the conversion so that no lane converts a value out of range.
inline uint8_t hsvByte(float x) {
    const float c = x > 0.0f ? x : 0.0f;
    return uint8_t(int32_t(c < 255.0f ? c : 255.0f));
}

// The byte of a value within `bound` of v, and whether it is decided (v lies
// in -1..256 here, a product clamped before).
inline uint8_t decidedByte(double v, double bound, bool& sure) {
    const double w = numeric::decisionWidth(v, bound);
    const uint8_t low = hsvByte(static_cast<float>(v - w)), high = hsvByte(static_cast<float>(v + w));
    sure = low == high;
    return low;
}

// True when c has at most 29 significant bits (the low 24 of its 52 are 0).
inline bool shortSignificand(double c) {
    uint64_t bits;
    std::memcpy(&bits, &c, sizeof bits);
    return (bits & 0xFFFFFF) == 0;
}

// 1 - y for 0 <= y <= 1 and whether it is exact (Fast2Sum's error is 0).
inline double oneMinus(double y, bool& exact) {
    const double c = 1.0 - y;
    exact = (1.0 - c) - y == 0.0;
    return c;
}

// The loops are free of branches so that compilers vectorize them: every
// value and every comparison is computed and the results selected (a
// floating-point operation or comparison inside a selection is a branch to a
// compiler that keeps the exception flags right), and the work is split into
// short loops over arrays of the block, which compilers vectorize one by one.
template <bool Scale>
void hsvBlockOf(const uint8_t* in, uint8_t* out, size_t count, const HsvChange& change, uint8_t* redo) {
    const double sixtieth = change.sixtieth;
    const float ch = change.h, cs = change.s, cv = change.v;
    float hue[HSV_BLOCK], sat[HSV_BLOCK], value[HSV_BLOCK], fraction[HSV_BLOCK];
    float wrapped[HSV_BLOCK], clampedS[HSV_BLOCK], clampedV[HSV_BLOCK];
    // Per lane: the sector; 1 taken if sure, 0 redone, 2 flat (all channels v);
    // the bytes v, p, q, t. All 32 bits wide, which suits the vectorizers.
    int32_t sectors[HSV_BLOCK], state[HSV_BLOCK], bytes[4][HSV_BLOCK];
    // rgbToHsv, as hsvOfBytes computes it, and the change.
    for (size_t j = 0; j < count; ++j) {
        const int32_t r = in[3 * j], g = in[3 * j + 1], b = in[3 * j + 2];
        const int32_t m0 = r > g ? r : g, m = m0 > b ? m0 : b;
        const int32_t n0 = r < g ? r : g, n = n0 < b ? n0 : b;
        const int32_t delta = m - n, grey = delta == 0;
        const int32_t redMax = r == m, greenMax = (1 - redMax) & (g == m);
        const int32_t gb = g - b, br = b - r, rg = r - g;
        const int32_t x = redMax ? gb : greenMax ? br : rg;
        const int32_t k = 4 - 4 * redMax - 2 * greenMax;
        const float quotient = float(x + k * delta) / float(delta + grey) * 60.0f;  // grey: any, replaced
        const float raised = quotient + 360.0f;
        const int32_t negative = quotient < 0.0f;
        const float h = grey ? -1.0f : negative ? raised : quotient;
        const float s = float(delta) / float(m + grey);  // grey: 0
        const float v = float(m);
        hue[j] = Scale ? h * ch : h + ch;
        sat[j] = Scale ? s * cs : s + cs;
        value[j] = Scale ? v * cv : v + cv;
    }
    // The clamps, and the hue wrapped as wrapHue does.
    for (size_t j = 0; j < count; ++j) {
        float s = sat[j], v = value[j];
        const float h = hue[j];
        const int32_t sHigh = s > 1.0f, sLow = s < 0.0f, vHigh = v > 255.0f, vLow = v < 0.0f;
        s = sHigh ? 1.0f : sLow ? 0.0f : s;
        v = vHigh ? 255.0f : vLow ? 0.0f : v;
        const int32_t nan = int32_t(!(s == s)) | int32_t(!(v == v));
        // wrapHue: h - 360 * floor(h / 360), exact in double for |h| < 2^52 (a
        // small multiple of h's unit; the quotient's rounding is put right
        // by one step either way). Where the exact result needs more bits
        // than double has (a tiny negative h), it is the one addition
        // h + 360 of two floats, which double rounds as ext does.
        const double dh = h, turns = std::floor(dh / 360.0);
        const double r0 = dh - turns * 360.0;
        const bool under = r0 < 0.0, over = r0 >= 360.0;
        const double r1 = under ? r0 + 360.0 : over ? r0 - 360.0 : r0;
        const float wrappedHue = static_cast<float>(r1);
        const bool toTurn = wrappedHue >= 360.0f;
        const int32_t wraps = std::fabs(dh) < 0x1p52;  // false for NaN and infinities
        wrapped[j] = toTurn ? 0.0f : wrappedHue;
        clampedS[j] = s;
        clampedV[j] = v;
        const float c = v > 0.0f ? v : 0.0f;  // hsvByte
        bytes[0][j] = int32_t(c < 255.0f ? c : 255.0f);
        const int32_t flat = s == 0.0f;
        state[j] = (wraps | 2 * flat) & (nan - 1);  // nan: 0
    }
    // hs and the sector.
    for (size_t j = 0; j < count; ++j) {
        const double X = double(wrapped[j]) * sixtieth, boundX = X * 0x1p-51;
        float hs = 0.0f;
        int32_t sector = 0;
        const int32_t sureHs = numeric::decideSingle(X, boundX, hs);
        const int32_t sureSector = numeric::decideTrunc(X, boundX, sector);
        sector = sector < 0 ? 0 : sector;
        sector = sector > 5 ? 5 : sector;  // 0..5 where sure
        fraction[j] = hs - float(sector);
        sectors[j] = sector;
        state[j] &= 2 | (sureHs & sureSector);
    }
    // p, q and t.
    for (size_t j = 0; j < count; ++j) {
        const double dv = clampedV[j], ds = clampedS[j], df = fraction[j];
        bool sureP, sureQ, sureT;
        const double vs = dv * ds, r = dv - vs, e = (dv - r) - vs;
        const double extraP = dv * 0x1p-62;
        const int32_t tinyS = clampedS[j] < 0x1p-40f;
        const double boundP = 2.0 * std::fabs(e) + (tinyS ? extraP : 0.0);
        const int32_t pb = decidedByte(r, boundP, sureP);
        const double sf = ds * df, boundQ = dv * 0x1p-50;
        bool exactCq, exactF, exactCt;
        const double cq = oneMinus(sf, exactCq);
        const bool shortCq = shortSignificand(cq);
        const bool exactQ = exactCq & shortCq;
        const int32_t qb = decidedByte(dv * cq, exactQ ? 0.0 : boundQ, sureQ);
        const double rest = oneMinus(df, exactF);
        const double ct = oneMinus(ds * rest, exactCt);
        const bool shortRest = shortSignificand(rest), shortCt = shortSignificand(ct);
        const bool exactT = exactF & shortRest & exactCt & shortCt;
        const int32_t tAny = decidedByte(dv * ct, exactT ? 0.0 : boundQ, sureT);
        const int32_t tIsP = fraction[j] == 0.0f;
        bytes[1][j] = pb;
        bytes[2][j] = qb;
        bytes[3][j] = tIsP ? pb : tAny;
        state[j] &= 2 | (int32_t(sureP) & int32_t(sureQ) & (tIsP | int32_t(sureT)));
    }
    // The bytes by sector: (v,t,p) (q,v,p) (p,v,t) (p,q,v) (t,p,v) (v,p,q);
    // flat lanes (state 2) take v for all three. Looked up, not branched on.
    static constexpr uint8_t ORDER[7][3] = {{0, 3, 1}, {2, 0, 1}, {1, 0, 3}, {1, 2, 0}, {3, 1, 0}, {0, 1, 2}, {0, 0, 0}};
    for (size_t j = 0; j < count; ++j) {
        const int32_t row = state[j] == 2 ? 6 : sectors[j];
        out[3 * j] = uint8_t(bytes[ORDER[row][0]][j]);
        out[3 * j + 1] = uint8_t(bytes[ORDER[row][1]][j]);
        out[3 * j + 2] = uint8_t(bytes[ORDER[row][2]][j]);
        redo[j] = uint8_t(state[j] == 0);
    }
}

[[maybe_unused]] void hsvBlock(const uint8_t* in, uint8_t* out, size_t count, const HsvChange& change,
                               uint8_t* redo) {
    if (change.scale)
        hsvBlockOf<true>(in, out, count, change, redo);
    else
        hsvBlockOf<false>(in, out, count, change, redo);
}

}  // namespace

}  // namespace tex
