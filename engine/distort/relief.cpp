// Relief and morphology: gradient-direction relief, erosion and dilation.
// Each destination byte comes from the 3x3 wrapped neighbourhood of the same
// channel in the unchanged source, so the destination may be the source.
//
// Erosion and dilation are separable: the extreme of three rows byte by byte,
// then the extreme of each byte and its neighbours three bytes (one pixel)
// to either side, both sixteen bytes at a time with SSE2. Instead of staging
// the whole source they keep copies of the two source rows an in-place run
// overwrites before it reads them (the previous row and row 0).
#include <emmintrin.h>

#include "engine/distort/sampling.h"
#include "engine/neighbourhood.h"

namespace tex {

uint8_t directionCode(int32_t gx, int32_t gy);

// The direction of a Sobel gradient as a byte around the circle:
// (127.5 + angle * 127.5 / pi) modulo 256. A zero horizontal gradient is coded
// 196, 128 or 64 by the sign of the vertical one (196, not 192: stored
// documents depend on it).
//
// The arc tangent of gy / gx is taken in double: the quotient's rounding
// changes it by at most 2^-53 of itself (its slope 1 / (1 + q^2) never exceeds
// atan(q) / q) and the library's by 1 ulp, so within 2^-46 relative of the
// long double value; the long double formula runs when the float32 rounding
// is not settled by that bound. a * K is exact in double (24 by 24 bits);
// a * K + 127.5 errs by under 2^-45, so it truncates alike unless it lies
// within 2^-44 of a whole number.
uint8_t directionCode(int32_t gx, int32_t gy) {
    if (gx == 0) return gy > 0 ? 196 : gy == 0 ? 128 : 64;
    const float K = 40.584510803222656f;
    const double estimate = std::atan(double(gy) / gx);
    float a;
    if (!distort::roundsAlike(estimate, std::fabs(estimate) * 0x1p-46, a))
        a = static_cast<float>(atanl(static_cast<long double>(gy) / gx));
    if (gx < 0) return static_cast<uint8_t>(static_cast<int32_t>(double(a) * K));
    const double v = double(a) * K + 127.5;
    const int32_t lo = static_cast<int32_t>(v - 0x1p-44), hi = static_cast<int32_t>(v + 0x1p-44);
    if (lo == hi) return static_cast<uint8_t>(lo);
    return static_cast<uint8_t>(static_cast<int32_t>(static_cast<long double>(a) * K + 127.5L));
}

static uint8_t gradientDirection(const int32_t n[9]) {
    const int32_t gx = n[0] + 2 * n[3] + n[6] - n[2] - 2 * n[5] - n[8];
    const int32_t gy = n[0] + 2 * n[1] + n[2] - n[6] - 2 * n[7] - n[8];
    return directionCode(gx, gy);
}

void sculptureLayer(int32_t src, int32_t dst) { filterNeighbourhood(src, dst, gradientDirection); }

// One row's vertical extreme with a wrapped pixel at each end, and the source
// rows an in-place run still needs after overwriting them.
static uint8_t rowExtreme[(MAX_LAYER_SIDE + 2) * 3];
static uint8_t firstRow[MAX_LAYER_SIDE * 3], previousRow[MAX_LAYER_SIDE * 3];

struct Minimum {
    static uint8_t of(uint8_t a, uint8_t b) { return a < b ? a : b; }
    static __m128i of(__m128i a, __m128i b) { return _mm_min_epu8(a, b); }
};
struct Maximum {
    static uint8_t of(uint8_t a, uint8_t b) { return a > b ? a : b; }
    static __m128i of(__m128i a, __m128i b) { return _mm_max_epu8(a, b); }
};

static bool isPowerOfTwo(int32_t n) { return (n & (n - 1)) == 0; }

// out[i] = extreme of a[i], b[i], c[i] for i < count.
template <typename Extreme>
static void extremeOfThree(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* out, size_t count) {
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        const __m128i vc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), Extreme::of(Extreme::of(va, vb), vc));
    }
    for (; i < count; ++i) out[i] = Extreme::of(Extreme::of(a[i], b[i]), c[i]);
}

// The 3x3 extreme of every byte. Sizes that are not powers of two wrap
// through masks that do not follow the layer's edges; they take the plain
// neighbourhood frame, which applies those masks as they are.
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
    const size_t rowBytes = size_t(layerWidth) * 3, height = size_t(layerHeight);
    const uint8_t* in = reinterpret_cast<const uint8_t*>(layers[src]);
    uint8_t* out = reinterpret_cast<uint8_t*>(layers[dst]);
    const bool inPlace = src == dst;
    if (inPlace) std::memcpy(firstRow, in, rowBytes);
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* own = in + y * rowBytes;
        const uint8_t* up = y == 0 ? in + (height - 1) * rowBytes : inPlace ? previousRow : own - rowBytes;
        const uint8_t* down = y + 1 < height ? own + rowBytes : inPlace ? firstRow : in;
        extremeOfThree<Extreme>(up, own, down, rowExtreme + 3, rowBytes);
        if (inPlace) std::memcpy(previousRow, own, rowBytes);
        // Wrap: the last pixel before the first, the first after the last.
        std::memcpy(rowExtreme, rowExtreme + rowBytes, 3);
        std::memcpy(rowExtreme + rowBytes + 3, rowExtreme + 3, 3);
        extremeOfThree<Extreme>(rowExtreme, rowExtreme + 3, rowExtreme + 6, out + y * rowBytes, rowBytes);
    }
}

void erodeLayer(int32_t src, int32_t dst) { morphology<Minimum>(src, dst); }

void dilateLayer(int32_t src, int32_t dst) { morphology<Maximum>(src, dst); }

}  // namespace tex
