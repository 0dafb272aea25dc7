// Relief and morphology: gradient-direction relief, erosion and dilation.
// Each destination byte comes from the 3x3 wrapped neighbourhood of the same
// channel in the unchanged source, so the destination may be the source.
//
// On power-of-two sizes all three walk the rows with pointers to the rows
// above and below instead of staging the whole source; a run in place reads
// copies of the rows it has already overwritten (the previous row and row
// 0; see walkNeighbourRows). Other sizes wrap through masks that do not follow the layer's edges and
// take the plain neighbourhood frame, which applies those masks as they are.
//
// Erosion and dilation are separable: the extreme of three rows byte by byte,
// then the extreme of each byte and its neighbours three bytes (one pixel)
// to either side, both sixteen bytes at a time with SSE2 (32 with AVX2 where
// the processor has it). The relief forms
// the Sobel sums from per-row column sums and row differences.
#include <cstddef>
#include <utility>

#include "engine/distort/direction.h"
#include "engine/distort/sampling.h"
#include "engine/neighbourhood.h"

#if TEX_X86_VECTORS
#include <immintrin.h>
#endif

namespace tex {

// The direction of a Sobel gradient as a byte around the circle:
// (127.5 + angle * 127.5 / pi) modulo 256. A zero horizontal gradient is coded
// 196, 128 or 64 by the sign of the vertical one (196, not 192: stored
// documents depend on it).
//
// The arc tangent of gy / gx is taken in double: the quotient's rounding
// changes it by at most 2^-53 of itself (its slope 1 / (1 + q^2) never exceeds
// atan(q) / q) and the library's by 1 ulp, so within 2^-46 relative of the
// extended value; the extended formula runs when the float32 rounding
// is not settled by that bound. a * K is exact in double (24 by 24 bits);
// a * K + 127.5 errs by under 2^-45, so it truncates alike unless it lies
// within 2^-44 of a whole number.
uint8_t directionCode(int32_t gx, int32_t gy) {
    if (gx == 0) return gy > 0 ? 196 : gy == 0 ? 128 : 64;
    const float K = 40.584510803222656f;
    const double estimate = std::atan(double(gy) / gx);
    float a;
    if (!distort::roundsAlike(estimate, std::fabs(estimate) * 0x1p-46, a))
        a = static_cast<float>(extAtan(ext(gy) / gx));
    if (gx < 0) return static_cast<uint8_t>(static_cast<int32_t>(double(a) * K));
    const double v = double(a) * K + 127.5;
    const int32_t lo = static_cast<int32_t>(v - 0x1p-44), hi = static_cast<int32_t>(v + 0x1p-44);
    if (lo == hi) return static_cast<uint8_t>(lo);
    return static_cast<uint8_t>(static_cast<int32_t>(ext(a) * K + ext(127.5)));
}

// directionCode through a polynomial arc tangent: x (1 + a2 x^2 + ... +
// a16 x^16) on |x| <= 1 (within 2e-8, Abramowitz and Stegun 4.4.49), with
// atan(q) = sign(q) pi/2 - atan(1/q) beyond. The code's argument, a * K
// (+ 127.5), then lies within 4e-6 of the exact formula's (float32 rounding
// of the angle included), so it truncates alike unless it lies within 1e-5
// of a whole number, where directionCode decides.
uint8_t fastDirectionCode(int32_t gx, int32_t gy) {
    if (gx == 0) return gy > 0 ? 196 : gy == 0 ? 128 : 64;
    const bool steep = std::abs(gy) > std::abs(gx);
    const double t = steep ? double(gx) / gy : double(gy) / gx, s = t * t;
    double p = 0.0028662257;
    p = p * s - 0.0161657367;
    p = p * s + 0.0429096138;
    p = p * s - 0.0752896400;
    p = p * s + 0.1065626393;
    p = p * s - 0.1420889944;
    p = p * s + 0.1999355085;
    p = p * s - 0.3333314528;
    p = (p * s + 1.0) * t;
    const double a = steep ? (t > 0.0 ? 1.5707963267948966 : -1.5707963267948966) - p : p;
    const double v = gx > 0 ? a * 40.584510803222656 + 127.5 : a * 40.584510803222656;
    const int32_t whole = static_cast<int32_t>(v);
    const double fraction = std::fabs(v - whole);
    if (fraction < 1e-5 || fraction > 1.0 - 1e-5) return directionCode(gx, gy);
    return static_cast<uint8_t>(whole);
}

static bool isPowerOfTwo(int32_t n) { return (n & (n - 1)) == 0; }

// One row's column sums s(up) + 2 s(own) + s(down) and row differences
// s(up) - s(down) per byte, with one wrapped pixel (three entries) each side,
// and the row's Sobel sums.
// One set per thread.
struct ReliefRows {
    int16_t columnSums[(MAX_LAYER_SIDE + 2) * 3], rowDifferences[(MAX_LAYER_SIDE + 2) * 3];
    int32_t gradientX[MAX_LAYER_SIDE * 3], gradientY[MAX_LAYER_SIDE * 3];
};

#if TEX_X86_VECTORS
// fastDirectionCode of two gradients side by side in SSE2 lanes; returns
// the lanes it could not settle as bits 0 and 1.
static int directionCodePair(const int32_t* gradX, const int32_t* gradY, uint8_t* out) {
    const __m128d gx = _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(gradX)));
    const __m128d gy = _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(gradY)));
    const __m128d absMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFll)), zero = _mm_setzero_pd();
    const __m128d steep = _mm_cmpgt_pd(_mm_and_pd(gy, absMask), _mm_and_pd(gx, absMask));
    auto select = [](__m128d mask, __m128d a, __m128d b) { return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b)); };
    const __m128d t = _mm_div_pd(select(steep, gx, gy), select(steep, gy, gx)), s = _mm_mul_pd(t, t);
    auto step = [&](__m128d p, double c) { return _mm_add_pd(_mm_mul_pd(p, s), _mm_set1_pd(c)); };
    __m128d p = _mm_set1_pd(0.0028662257);
    p = step(p, -0.0161657367);
    p = step(p, 0.0429096138);
    p = step(p, -0.0752896400);
    p = step(p, 0.1065626393);
    p = step(p, -0.1420889944);
    p = step(p, 0.1999355085);
    p = step(p, -0.3333314528);
    p = _mm_mul_pd(step(p, 1.0), t);
    const __m128d halfPi = _mm_or_pd(_mm_set1_pd(1.5707963267948966), _mm_andnot_pd(absMask, t));  // sign of t
    const __m128d a = select(steep, _mm_sub_pd(halfPi, p), p);
    const __m128d offset = _mm_and_pd(_mm_cmpgt_pd(gx, zero), _mm_set1_pd(127.5));
    const __m128d v = _mm_add_pd(_mm_mul_pd(a, _mm_set1_pd(40.584510803222656)), offset);
    const __m128i whole = _mm_cvttpd_epi32(v);
    const __m128d fraction = _mm_and_pd(_mm_sub_pd(v, _mm_cvtepi32_pd(whole)), absMask);
    // NaN (from gx = gy = 0) fails both comparisons and is unsettled too.
    const __m128d settled = _mm_and_pd(_mm_and_pd(_mm_cmpge_pd(fraction, _mm_set1_pd(1e-5)),
                                                  _mm_cmple_pd(fraction, _mm_set1_pd(1.0 - 1e-5))),
                                       _mm_cmpneq_pd(gx, zero));
    out[0] = static_cast<uint8_t>(_mm_cvtsi128_si32(whole));
    out[1] = static_cast<uint8_t>(_mm_cvtsi128_si32(_mm_srli_si128(whole, 4)));
    return ~_mm_movemask_pd(settled) & 3;
}
#endif

void directionCodes(const int32_t* gx, const int32_t* gy, uint8_t* out, size_t count) {
    size_t i = 0;
#if !TEX_X86_VECTORS
    for (; i < count; ++i) out[i] = fastDirectionCode(gx[i], gy[i]);
#else
    for (; i + 2 <= count; i += 2) {
        const int unsettled = directionCodePair(gx + i, gy + i, out + i);
        if (unsettled & 1) out[i] = directionCode(gx[i], gy[i]);
        if (unsettled & 2) out[i + 1] = directionCode(gx[i + 1], gy[i + 1]);
    }
    if (i < count) out[i] = fastDirectionCode(gx[i], gy[i]);
#endif
}

static void reliefRow(const uint8_t* up, const uint8_t* own, const uint8_t* down, uint8_t* out, size_t rowBytes) {
    ReliefRows& rows = perThread<ReliefRows>();
    int32_t *gradientX = rows.gradientX, *gradientY = rows.gradientY;
    int16_t* sums = rows.columnSums + 3;
    int16_t* differences = rows.rowDifferences + 3;
    for (size_t i = 0; i < rowBytes; ++i) {
        sums[i] = int16_t(up[i] + 2 * own[i] + down[i]);
        differences[i] = int16_t(up[i] - down[i]);
    }
    for (int16_t* row : {sums, differences}) {
        std::memcpy(row - 3, row + rowBytes - 3, 3 * sizeof(int16_t));
        std::memcpy(row + rowBytes, row, 3 * sizeof(int16_t));
    }
    // Signed: i - 3 reaches 3 entries before the row.
    for (ptrdiff_t i = 0; i < ptrdiff_t(rowBytes); ++i) {
        // Left column minus right column; row above minus row below.
        gradientX[i] = sums[i - 3] - sums[i + 3];
        gradientY[i] = differences[i - 3] + 2 * differences[i] + differences[i + 3];
    }
    directionCodes(gradientX, gradientY, out, rowBytes);
}

void sculptureLayer(int32_t src, int32_t dst) {
    if (!validLayers(src, dst)) return;
    if (!isPowerOfTwo(layerWidth) || !isPowerOfTwo(layerHeight)) {
        filterNeighbourhood(src, dst, [](const int32_t n[9]) {
            return fastDirectionCode(n[0] + 2 * n[3] + n[6] - n[2] - 2 * n[5] - n[8],
                                     n[0] + 2 * n[1] + n[2] - n[6] - 2 * n[7] - n[8]);
        });
        return;
    }
    walkNeighbourRows(src, dst, reliefRow);
}

// One row's vertical extreme with a wrapped pixel at each end.
struct ExtremeRow {  // one per thread
    uint8_t bytes[(MAX_LAYER_SIDE + 2) * 3];
};

struct Minimum {
    static uint8_t of(uint8_t a, uint8_t b) { return a < b ? a : b; }
#if TEX_X86_VECTORS
    static __m128i of(__m128i a, __m128i b) { return _mm_min_epu8(a, b); }
    __attribute__((target("avx2"))) static __m256i of(__m256i a, __m256i b) { return _mm256_min_epu8(a, b); }
#endif
};
struct Maximum {
    static uint8_t of(uint8_t a, uint8_t b) { return a > b ? a : b; }
#if TEX_X86_VECTORS
    static __m128i of(__m128i a, __m128i b) { return _mm_max_epu8(a, b); }
    __attribute__((target("avx2"))) static __m256i of(__m256i a, __m256i b) { return _mm256_max_epu8(a, b); }
#endif
};

// out[i] = extreme of a[i], b[i], c[i] for i < count.
template <typename Extreme>
static void extremeOfThree(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* out, size_t count) {
    size_t i = 0;
#if TEX_X86_VECTORS
    for (; i + 16 <= count; i += 16) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        const __m128i vc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), Extreme::of(Extreme::of(va, vb), vc));
    }
#endif
    for (; i < count; ++i) out[i] = Extreme::of(Extreme::of(a[i], b[i]), c[i]);
}

#if TEX_X86_VECTORS
// The same 32 bytes at a time, for processors with AVX2 (chosen at run time).
template <typename Extreme>
__attribute__((target("avx2"))) static void extremeOfThreeWide(const uint8_t* a, const uint8_t* b, const uint8_t* c,
                                                               uint8_t* out, size_t count) {
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
        const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
        const __m256i vc = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), Extreme::of(Extreme::of(va, vb), vc));
    }
    extremeOfThree<Extreme>(a + i, b + i, c + i, out + i, count - i);
}
#endif

template <typename Extreme>
static void morphology(int32_t src, int32_t dst) {
    if (!validLayers(src, dst)) return;
    if (!isPowerOfTwo(layerWidth) || !isPowerOfTwo(layerHeight)) {
        filterNeighbourhood(src, dst, [](const int32_t n[9]) {
            uint8_t m = uint8_t(n[0]);
            for (int i = 1; i < 9; ++i) m = Extreme::of(m, uint8_t(n[i]));
            return m;
        });
        return;
    }
#if TEX_X86_VECTORS
    static const auto extreme = vectorUnits() >= VectorUnits::Avx2 ? extremeOfThreeWide<Extreme> : extremeOfThree<Extreme>;
#else
    static const auto extreme = extremeOfThree<Extreme>;
#endif
    walkNeighbourRows(src, dst, [](const uint8_t* up, const uint8_t* own, const uint8_t* down, uint8_t* out, size_t rowBytes) {
        uint8_t* rowExtreme = perThread<ExtremeRow>().bytes;
        extreme(up, own, down, rowExtreme + 3, rowBytes);
        // Wrap: the last pixel before the first, the first after the last.
        std::memcpy(rowExtreme, rowExtreme + rowBytes, 3);
        std::memcpy(rowExtreme + rowBytes + 3, rowExtreme + 3, 3);
        extreme(rowExtreme, rowExtreme + 3, rowExtreme + 6, out, rowBytes);
    });
}

void erodeLayer(int32_t src, int32_t dst) { morphology<Minimum>(src, dst); }

void dilateLayer(int32_t src, int32_t dst) { morphology<Maximum>(src, dst); }

}  // namespace tex
