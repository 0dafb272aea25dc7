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
#include "engine/numeric/decide.h"

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
static TEX_ALWAYS_INLINE double atanPolynomial(double t) {
    const double s = t * t;
    double p = 0.0028662257;
    p = p * s - 0.0161657367;
    p = p * s + 0.0429096138;
    p = p * s - 0.0752896400;
    p = p * s + 0.1065626393;
    p = p * s - 0.1420889944;
    p = p * s + 0.1999355085;
    p = p * s - 0.3333314528;
    return (p * s + 1.0) * t;
}

uint8_t fastDirectionCode(int32_t gx, int32_t gy) {
    if (gx == 0) return gy > 0 ? 196 : gy == 0 ? 128 : 64;
    const bool steep = std::abs(gy) > std::abs(gx);
    const double t = steep ? double(gx) / gy : double(gy) / gx, p = atanPolynomial(t);
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

// WebAssembly without SIMD128 has no vector unit to run the loop on: there
// the scalar form, which skips most of the work for each gradient, is faster.
#if defined(__wasm__) && !defined(__wasm_simd128__)
void directionCodes(const int32_t* gx, const int32_t* gy, uint8_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i) out[i] = fastDirectionCode(gx[i], gy[i]);
}
#else
// fastDirectionCode lane by lane in a branch-free loop that the compilers
// vectorise (for AVX2 too where vectorUnits() says so): the same polynomial,
// the same test. A zero horizontal gradient takes its fixed code (its lane
// divides by 1 instead, so that no lane forms 0 / 0), and so does a zero
// vertical one. open[i] marks the gradients the test leaves to directionCode.
static TEX_ALWAYS_INLINE void directionLoop(const int32_t* gradX, const int32_t* gradY, double* codes,
                                            double* open, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const double gx = gradX[i], gy = gradY[i];  // every lane in double: the loop vectorises on one width
        const bool flat = gx == 0.0;
        const double x = flat ? 1.0 : gx;
        const bool steep = std::fabs(gy) > std::fabs(x);
        const double t = (steep ? x : gy) / (steep ? gy : x), p = atanPolynomial(t);
        const double a = steep ? std::copysign(1.5707963267948966, t) - p : p;
        const double v = a * 40.584510803222656 + (gx > 0.0 ? 127.5 : 0.0);
        // trunc(v) as a double (v lies in -64 .. 256): the magnitude rounded
        // to a whole number by adding 2^52, stepped down where that rounded
        // up. A conversion to int32 here keeps GCC from vectorising for AVX2.
        const double magnitude = std::fabs(v), nearest = (magnitude + 0x1p52) - 0x1p52;
        const double below = nearest > magnitude ? nearest - 1.0 : nearest;
        const double whole = std::copysign(below, v), fraction = magnitude - below;
        const bool settled = (fraction >= 1e-5) & (fraction <= 1.0 - 1e-5);
        const double flatCode = gy > 0.0 ? 196.0 : gy == 0.0 ? 128.0 : 64.0;
        // A zero vertical gradient gives t = 0 and so v = 127.5 or 0
        // exactly, the defined 127 or 0, which the test would leave open
        // for gx < 0.
        const bool level = gy == 0.0;
        codes[i] = flat ? flatCode : whole;
        open[i] = flat | level | settled ? 0.0 : 1.0;
    }
}
static void directionPlain(const int32_t* gx, const int32_t* gy, double* codes, double* open, int32_t count) {
    directionLoop(gx, gy, codes, open, count);
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION static void directionAvx2(const int32_t* gx, const int32_t* gy, double* codes, double* open,
                                            int32_t count) {
    directionLoop(gx, gy, codes, open, count);
}
#endif

void directionCodes(const int32_t* gx, const int32_t* gy, uint8_t* out, size_t count) {
    constexpr int32_t CHUNK = 512;
    double codes[CHUNK], open[CHUNK];
    for (size_t at = 0; at < count; at += CHUNK) {
        const int32_t n = int32_t(count - at < size_t(CHUNK) ? count - at : size_t(CHUNK));
#if TEX_X86_VECTORS
        if (vectorUnits() >= VectorUnits::Avx2)
            directionAvx2(gx + at, gy + at, codes, open, n);
        else
#endif
            directionPlain(gx + at, gy + at, codes, open, n);
        double left = 0.0;
        for (int32_t i = 0; i < n; ++i) {
            out[at + size_t(i)] = uint8_t(int32_t(codes[i]) & 255);
            left += open[i];
        }
        numeric::countDecisions(uint64_t(n), uint64_t(left));
        if (left != 0.0)
            for (int32_t i = 0; i < n; ++i)
                if (open[i] != 0.0) out[at + size_t(i)] = directionCode(gx[at + size_t(i)], gy[at + size_t(i)]);
    }
}
#endif

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
