// The HSV operations on 512-bit units, 16 pixels at a time, with the bits of
// the one-pixel conversions in engine/colour/hsv.h.
//
// rgbToHsv and the scaling or offsets are float32 operations and run as such.
// hsvToRgb's extended-precision steps run in double instead, and a lane keeps
// the double result only where that provably rounds as the extended one:
// - hs = single(h * 0.016666667): the double product is within |X| * 2^-51 of
//   the exact one and the extended within |X| * 2^-63, so where it lies more
//   than |X| * 2^-45 from every midpoint between floats both round alike; the
//   sector, trunc(X), is sure where X lies that far from a whole number.
// - p, q, t: the double values are within 2^-42 of the exact ones (three
//   roundings of values below 256), as are the extended ones, so a byte is
//   sure where the value lies more than 2^-36 from the point where its float
//   rounding reaches the nearest whole number.
// Any other lane (hues that need more than one step of 360, NaN arguments, or
// a value within those margins, which whole-number results of simple
// arguments can hit) is done again by the one-pixel conversion.
#include "engine/colour/hsv.h"
#include "engine/colour/kernels.h"
#include "engine/threads.h"

#if TEX_X86_VECTORS
// GCC 12's 512-bit intrinsic headers start some results from an undefined
// register and then warn about it; the warning says nothing about this code.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#endif

namespace tex {

#if TEX_X86_VECTORS

#define TEX_WIDE __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace {

// Byte indices that gather channel c of 16 interleaved pixels, and that
// interleave 16 red, 16 green and 16 blue bytes back.
struct ByteOrders {
    alignas(64) uint8_t channel[3][64];
    alignas(64) uint8_t interleave[64];
    alignas(64) int32_t order[3][16];  // the source (v, p, q, t) of each channel by sector
};

constexpr ByteOrders makeOrders() {
    ByteOrders o{};
    for (int c = 0; c < 3; ++c)
        for (int j = 0; j < 16; ++j) o.channel[c][j] = uint8_t(3 * j + c);
    for (int j = 0; j < 48; ++j) o.interleave[j] = uint8_t((j % 3) * 16 + j / 3);
    // Sectors 0..5: (v,t,p) (q,v,p) (p,v,t) (p,q,v) (t,p,v) (v,p,q).
    constexpr int32_t table[6][3] = {{0, 3, 1}, {2, 0, 1}, {1, 0, 3}, {1, 2, 0}, {3, 1, 0}, {0, 1, 2}};
    for (int c = 0; c < 3; ++c)
        for (int s = 0; s < 6; ++s) o.order[c][s] = table[s][c];
    return o;
}
constexpr ByteOrders ORDERS = makeOrders();

constexpr uint64_t PIXELS_16 = (uint64_t(1) << 48) - 1;  // 48 bytes

struct Change {
    bool scale;
    float h, s, v;
};

Pixel convertOne(Pixel p, const Change& c) {
    float h, s, v;
    hsvOfBytes(p, h, s, v);
    if (c.scale)
        h *= c.h, s *= c.s, v *= c.v;
    else
        h += c.h, s += c.s, v += c.v;
    return bytesOfHsv(h, s, v);
}

TEX_WIDE inline __m512 changed(__m512 x, __m512 by, bool scale) {
    return scale ? _mm512_mul_ps(x, by) : _mm512_add_ps(x, by);
}

// The byte of a value known to within 2^-42, and whether that byte is sure.
TEX_WIDE inline __m256i byteOf(__m512d y, __mmask8& unsure) {
    const __m512d whole = _mm512_roundscale_pd(y, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    // The float just below the whole number k; the midpoint to it is where
    // the float rounding of y reaches k (k = 0 gives NaN: never unsure).
    const __m256i kBits = _mm256_castps_si256(_mm512_cvtpd_ps(whole));
    const __m512d below = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm256_sub_epi32(kBits, _mm256_set1_epi32(1))));
    const __m512d edge = _mm512_mul_pd(_mm512_add_pd(whole, below), _mm512_set1_pd(0.5));
    const __m512d distance = _mm512_abs_pd(_mm512_sub_pd(y, edge));
    unsure |= _mm512_cmp_pd_mask(distance, _mm512_set1_pd(0x1p-36), _CMP_LE_OQ);
    const __m256i bytes = _mm256_cvttps_epi32(_mm512_cvtpd_ps(y));  // NaN gives INT32_MIN
    return _mm256_min_epi32(_mm256_max_epi32(bytes, _mm256_setzero_si256()), _mm256_set1_epi32(255));
}

struct HalfResult {
    __m256i sector, p, q, t;
};

// hsvToRgb's steps for 8 lanes: hue in [0, 360), s in (0, 1], v in [0, 255].
TEX_WIDE inline HalfResult backHalf(__m256 h, __m256 s, __m256 v, __mmask8& unsure) {
    const __m512d x = _mm512_mul_pd(_mm512_cvtps_pd(h), _mm512_set1_pd(double(SIXTIETH)));
    const __m256 hs = _mm512_cvtpd_ps(x);
    const __m512d tolerance = _mm512_mul_pd(x, _mm512_set1_pd(0x1p-45));
    const __m256i hsBits = _mm256_castps_si256(hs);
    const __m512d hsD = _mm512_cvtps_pd(hs);
    const __m512d up = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm256_add_epi32(hsBits, _mm256_set1_epi32(1))));
    const __m512d down = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm256_sub_epi32(hsBits, _mm256_set1_epi32(1))));
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512d toUp = _mm512_abs_pd(_mm512_sub_pd(x, _mm512_mul_pd(_mm512_add_pd(hsD, up), half)));
    const __m512d toDown = _mm512_abs_pd(_mm512_sub_pd(x, _mm512_mul_pd(_mm512_add_pd(hsD, down), half)));
    unsure |= _mm512_cmp_pd_mask(toUp, tolerance, _CMP_LE_OQ) | _mm512_cmp_pd_mask(toDown, tolerance, _CMP_LE_OQ);
    const __m512d floor = _mm512_roundscale_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m512d fraction = _mm512_sub_pd(x, floor);
    const __mmask8 nonzero = _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_NEQ_OQ);
    unsure |= nonzero & (_mm512_cmp_pd_mask(fraction, tolerance, _CMP_LE_OQ) |
                         _mm512_cmp_pd_mask(_mm512_sub_pd(_mm512_set1_pd(1.0), fraction), tolerance, _CMP_LE_OQ));
    HalfResult r;
    r.sector = _mm512_cvttpd_epi32(floor);
    const __m512d f = _mm512_cvtps_pd(_mm256_sub_ps(hs, _mm256_cvtepi32_ps(r.sector)));  // exact
    const __m512d sd = _mm512_cvtps_pd(s), vd = _mm512_cvtps_pd(v), one = _mm512_set1_pd(1.0);
    r.p = byteOf(_mm512_mul_pd(vd, _mm512_sub_pd(one, sd)), unsure);
    r.q = byteOf(_mm512_mul_pd(vd, _mm512_sub_pd(one, _mm512_mul_pd(sd, f))), unsure);
    r.t = byteOf(_mm512_mul_pd(vd, _mm512_sub_pd(one, _mm512_mul_pd(sd, _mm512_sub_pd(one, f)))), unsure);
    return r;
}

TEX_WIDE inline __m256 low8(__m512 x) { return _mm512_castps512_ps256(x); }
TEX_WIDE inline __m256 high8(__m512 x) { return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)); }
TEX_WIDE inline __m512i join(__m256i low, __m256i high) {
    return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}

// Channel k of 16 interleaved pixels as 32-bit lanes.
TEX_WIDE inline __m512i channel(__m512i bytes, int k) {
    const __m512i gathered = _mm512_permutexvar_epi8(_mm512_load_si512(ORDERS.channel[k]), bytes);
    return _mm512_cvtepu8_epi32(_mm512_castsi512_si128(gathered));
}

// 16 pixels from 48 bytes at `in` to 48 bytes at `out`; returns the lanes
// whose result the one-pixel conversion must give instead.
TEX_WIDE __mmask16 convert16(const uint8_t* in, uint8_t* out, const Change& c) {
    const __m512i bytes = _mm512_maskz_loadu_epi8(PIXELS_16, in);
    const __m512i r = channel(bytes, 0), g = channel(bytes, 1), b = channel(bytes, 2);
    const __m512i m = _mm512_max_epi32(_mm512_max_epi32(r, g), b), n = _mm512_min_epi32(_mm512_min_epi32(r, g), b);
    const __m512i delta = _mm512_sub_epi32(m, n);
    const __mmask16 grey = _mm512_cmpeq_epi32_mask(m, n);
    const __mmask16 redMax = _mm512_cmpeq_epi32_mask(r, m);
    const __mmask16 greenMax = _mm512_mask_cmpeq_epi32_mask(__mmask16(~redMax), g, m);
    // hue = (x + k * delta) / delta: red (g - b), green (b - r + 2 delta), blue (r - g + 4 delta).
    __m512i numerator = _mm512_add_epi32(_mm512_sub_epi32(r, g), _mm512_slli_epi32(delta, 2));
    numerator = _mm512_mask_mov_epi32(numerator, greenMax,
                                      _mm512_add_epi32(_mm512_sub_epi32(b, r), _mm512_slli_epi32(delta, 1)));
    numerator = _mm512_mask_mov_epi32(numerator, redMax, _mm512_sub_epi32(g, b));
    const __m512 deltaF = _mm512_cvtepi32_ps(delta), mF = _mm512_cvtepi32_ps(m);
    __m512 hue = _mm512_mul_ps(_mm512_div_ps(_mm512_cvtepi32_ps(numerator), deltaF), _mm512_set1_ps(60.0f));
    hue =
        _mm512_mask_add_ps(hue, _mm512_cmp_ps_mask(hue, _mm512_setzero_ps(), _CMP_LT_OQ), hue, _mm512_set1_ps(360.0f));
    __m512 sat = _mm512_div_ps(deltaF, mF);
    hue = _mm512_mask_mov_ps(hue, grey, _mm512_set1_ps(-1.0f));
    sat = _mm512_mask_mov_ps(sat, grey, _mm512_setzero_ps());
    hue = changed(hue, _mm512_set1_ps(c.h), c.scale);
    sat = changed(sat, _mm512_set1_ps(c.s), c.scale);
    __m512 value = changed(mF, _mm512_set1_ps(c.v), c.scale);

    // Clamps that keep NaN, as the comparisons of the one-pixel form do.
    const __m512 one = _mm512_set1_ps(1.0f), zero = _mm512_setzero_ps(), top = _mm512_set1_ps(255.0f);
    sat = _mm512_mask_mov_ps(sat, _mm512_cmp_ps_mask(sat, one, _CMP_GT_OQ), one);
    sat = _mm512_mask_mov_ps(sat, _mm512_cmp_ps_mask(sat, zero, _CMP_LT_OQ), zero);
    value = _mm512_mask_mov_ps(value, _mm512_cmp_ps_mask(value, top, _CMP_GT_OQ), top);
    value = _mm512_mask_mov_ps(value, _mm512_cmp_ps_mask(value, zero, _CMP_LT_OQ), zero);
    const __mmask16 nan = _mm512_cmp_ps_mask(sat, sat, _CMP_UNORD_Q) | _mm512_cmp_ps_mask(value, value, _CMP_UNORD_Q);
    const __mmask16 flat = _mm512_cmp_ps_mask(sat, zero, _CMP_EQ_OQ);
    const __m512i valueByte =
        _mm512_min_epi32(_mm512_max_epi32(_mm512_cvttps_epi32(value), _mm512_setzero_si512()), _mm512_set1_epi32(255));

    // One step of 360 at most; other hues go to the one-pixel form.
    const __m512 turn = _mm512_set1_ps(360.0f);
    const __mmask16 inRange = _mm512_cmp_ps_mask(hue, zero, _CMP_GE_OQ) & _mm512_cmp_ps_mask(hue, turn, _CMP_LT_OQ);
    const __mmask16 negative =
        _mm512_cmp_ps_mask(hue, zero, _CMP_LT_OQ) & _mm512_cmp_ps_mask(hue, _mm512_set1_ps(-360.0f), _CMP_GE_OQ);
    const __mmask16 above =
        _mm512_cmp_ps_mask(hue, turn, _CMP_GE_OQ) & _mm512_cmp_ps_mask(hue, _mm512_set1_ps(720.0f), _CMP_LT_OQ);
    __m512 raised = _mm512_add_ps(hue, turn);
    raised = _mm512_mask_mov_ps(raised, _mm512_cmp_ps_mask(raised, turn, _CMP_GE_OQ), zero);
    hue = _mm512_mask_mov_ps(hue, negative, raised);
    hue = _mm512_mask_sub_ps(hue, above, hue, turn);
    hue = _mm512_mask_mov_ps(hue, __mmask16(~(inRange | negative | above)), zero);  // redone below

    __mmask8 unsureLow = 0, unsureHigh = 0;
    const HalfResult lo = backHalf(low8(hue), low8(sat), low8(value), unsureLow);
    const HalfResult hi = backHalf(high8(hue), high8(sat), high8(value), unsureHigh);
    const __mmask16 unsure = __mmask16(unsureLow | unsureHigh << 8);
    const __mmask16 redo = __mmask16(((unsure | ~(inRange | negative | above)) & ~flat) | nan);

    const __m512i sector = _mm512_min_epi32(join(lo.sector, hi.sector), _mm512_set1_epi32(5));
    const __m512i p = join(lo.p, hi.p), q = join(lo.q, hi.q), t = join(lo.t, hi.t);
    __m128i channels[3];
    for (int k = 0; k < 3; ++k) {
        const __m512i source = _mm512_permutexvar_epi32(sector, _mm512_load_si512(ORDERS.order[k]));
        __m512i x = valueByte;
        x = _mm512_mask_mov_epi32(x, _mm512_cmpeq_epi32_mask(source, _mm512_set1_epi32(1)), p);
        x = _mm512_mask_mov_epi32(x, _mm512_cmpeq_epi32_mask(source, _mm512_set1_epi32(2)), q);
        x = _mm512_mask_mov_epi32(x, _mm512_cmpeq_epi32_mask(source, _mm512_set1_epi32(3)), t);
        x = _mm512_mask_mov_epi32(x, flat, valueByte);
        channels[k] = _mm512_cvtepi32_epi8(x);
    }
    __m512i planar = _mm512_castsi128_si512(channels[0]);
    planar = _mm512_inserti32x4(planar, channels[1], 1);
    planar = _mm512_inserti32x4(planar, channels[2], 2);
    _mm512_mask_storeu_epi8(out, PIXELS_16, _mm512_permutexvar_epi8(_mm512_load_si512(ORDERS.interleave), planar));
    return redo;
}

TEX_WIDE void convertWide(const Pixel* in, Pixel* out, size_t count, const Change& c) {
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        Pixel source[16];
        std::memcpy(source, in + i, sizeof source);  // out may be in
        uint32_t redo = convert16(reinterpret_cast<const uint8_t*>(source), reinterpret_cast<uint8_t*>(out + i), c);
        while (redo) {
            const int lane = __builtin_ctz(redo);
            out[i + lane] = convertOne(source[lane], c);
            redo &= redo - 1;
        }
    }
    for (; i < count; ++i) out[i] = convertOne(in[i], c);
}

}  // namespace

bool hsvPixelsWide(const Pixel* in, Pixel* out, size_t count, bool scale, float h, float s, float v) {
    if (!wideUnitsEnabled()) return false;
    const Change change{scale, h, s, v};
    forEachRange(int64_t(count), 1, [&](int64_t first, int64_t end) {
        convertWide(in + first, out + first, size_t(end - first), change);
    });
    return true;
}

#else

// Without the wide units the callers convert one pixel at a time.
bool hsvPixelsWide(const Pixel*, Pixel*, size_t, bool, float, float, float) { return false; }

#endif

}  // namespace tex
