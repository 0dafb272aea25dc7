// Simple fills: a flat colour, a two-colour checkerboard and a grey radial
// spot. Each overwrites every Pixel of its layer from its arguments alone;
// colour arguments keep their low 8 bits (300 stores 44, -1 stores 255).
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/internal.h"
#include "engine/numeric/decide.h"
#include "engine/threads.h"

namespace tex {

void colorLayer(int32_t dst, int32_t red, int32_t green, int32_t blue) {
    if (!validLayers(dst)) return;
    const Pixel colour{uint8_t(red), uint8_t(green), uint8_t(blue)};
    Pixel* out = layers[dst];
    // One pixel, then copies of what is written so far, doubling: a pixel at
    // a time would store three bytes per step.
    forEachRange(int64_t(layerPixels()), 1, [&](int64_t first, int64_t end) {
        Pixel* range = out + first;
        const size_t count = size_t(end - first);
        if (count == 0) return;
        range[0] = colour;
        for (size_t done = 1; done < count; done *= 2)
            std::memcpy(range + done, range, std::min(done, count - done) * sizeof(Pixel));
    });
}

// The two colours swap at every multiple of the cell width along a row, at
// every multiple of the cell height down the layer and, when the row ends in a
// partial cell after an even number of whole ones, once more at the row's end.
// A cell size of 0 has no multiples to swap at: the call does nothing.
void checkerBoardLayer(int32_t dst, int32_t cellWidth, int32_t cellHeight, int32_t red1, int32_t green1,
                       int32_t blue1, int32_t red2, int32_t green2, int32_t blue2) {
    if (!validLayers(dst) || cellWidth == 0 || cellHeight == 0) return;
    // A negative size divides, and so swaps, exactly like its magnitude.
    const uint32_t cw = cellWidth < 0 ? 0u - uint32_t(cellWidth) : uint32_t(cellWidth);
    const uint32_t ch = cellHeight < 0 ? 0u - uint32_t(cellHeight) : uint32_t(cellHeight);
    const uint32_t width = uint32_t(layerWidth);
    const bool swapAtRowEnd = (width / cw) % 2 == 0 && width % cw != 0;
    const Pixel one{uint8_t(red1), uint8_t(green1), uint8_t(blue1)}, two{uint8_t(red2), uint8_t(green2), uint8_t(blue2)};
    // The colours swap at every multiple of cw along a row, at the row's end
    // when the flag says so, and at the start of every ch-th row. A row's
    // pixels depend only on whether the swaps before it were odd in number:
    // y * rowSwaps within the rows above and y div ch + 1 at row starts. So
    // the two possible rows are made once and every row copies its own.
    const uint32_t rowSwaps = (width + cw - 1) / cw + (swapAtRowEnd ? 1u : 0u);
    std::vector<Pixel> rows(2 * size_t(width));
    for (uint32_t parity = 0; parity < 2; ++parity) {
        Pixel a = parity ? two : one, b = parity ? one : two;
        uint32_t untilSwap = 0;  // pixels left before the next multiple of cw
        for (uint32_t x = 0; x < width; ++x) {
            if (untilSwap == 0) {
                std::swap(a, b);
                untilSwap = cw;
            }
            --untilSwap;
            rows[parity * width + x] = b;
        }
    }
    Pixel* out = layers[dst];
    forEachRow([&](int64_t y0, int64_t y1) {
        for (uint32_t y = uint32_t(y0); y < uint32_t(y1); ++y) {
            const uint32_t parity = (y * (rowSwaps & 1u) + y / ch + 1u) & 1u;
            std::memcpy(out + size_t(y) * width, rows.data() + parity * width, width * sizeof(Pixel));
        }
    });
}

// A spot centred on (width div 2, height div 2), distance measured in half
// widths and half heights through fastSqrt, falling off linearly. A side of
// one pixel has a half size of 0; its distance term is then 0 instead of a
// division by zero.
//
// The plain formula per pixel, with dx and dy float32:
//   s = single(dx*dx + dy*dy), v = single(255 - scale * fastSqrt(s)).
// Evaluated in double instead, with numeric::decisionWidth's rounding test:
// dx = single(i * invHalfWidth) is a product of at most 16 by 24 bits, exact
// in double and in ext, so one rounding either way. Each square (24 by 24
// bits) and scale * d are exact in double; the one rounding of each sum errs
// by at most 2^-53 of its result, the ext form's by 2^-64, so the bound of
// both is 2^-52 |result|. A pixel the test leaves open is evaluated in ext.
static float spotSquare(float dx, float dy) { return static_cast<float>(ext(dx) * dx + ext(dy) * dy); }
static float spotValue(float scale, float d) { return static_cast<float>(ext(255.0) - ext(scale) * d); }
static uint8_t spotPlain(float scale, float dx, float dy) {
    return saturateByte(spotValue(scale, fastSqrtInline(spotSquare(dx, dy))));
}

static float columnDx[MAX_LAYER_SIDE];
struct SpotRow {  // one per thread
    int32_t spot[MAX_LAYER_SIDE], unsettled[MAX_LAYER_SIDE];
};

// One row in double. Its values are far inside float32's range (s <= 2,
// |v| < 2^101 for |scale| < 2^100), so the test needs no range checks, and a
// zero result is exact (its bound is 0), so no sign of zero is in doubt. Only
// float32 comparisons, so that the loop vectorises.
static TEX_ALWAYS_INLINE void spotRowLoop(SpotRow& row, float scale, double dy2, int32_t from, int32_t to) {
    int32_t *spotRow = row.spot, *unsettled = row.unsettled;
    for (int32_t x = from; x < to; ++x) {
        const double s = double(columnDx[x]) * columnDx[x] + dy2;
        const double ws = numeric::decisionWidth(s, s * 0x1p-52);
        const float s32 = static_cast<float>(s - ws);
        const double v = 255.0 - double(scale) * fastSqrtInline(s32);
        const double wv = numeric::decisionWidth(v, std::fabs(v) * 0x1p-52);
        const float v32 = static_cast<float>(v - wv);
        unsettled[x] = int32_t(s32 != static_cast<float>(s + ws)) | int32_t(v32 != static_cast<float>(v + wv));
        // saturateByte on the float32 value.
        const float clamped = v32 < 255.0f ? v32 : 255.0f;
        spotRow[x] = static_cast<int32_t>(clamped > 0.0f ? clamped : 0.0f);
    }
}

// Pixels of grey greys[0 .. count) at out: four pixels as three 32-bit words
// where the machine stores them least significant byte first (the compiler
// folds the test), a byte at a time otherwise and for the last pixels.
static void writeGreyRow(uint8_t* out, const int32_t* greys, int32_t count) {
    const uint32_t probe = 1;
    uint8_t first;
    std::memcpy(&first, &probe, 1);
    int32_t x = 0;
    if (first == 1) {
        for (; x + 4 <= count; x += 4, out += 12) {
            const uint32_t g0 = uint8_t(greys[x]), g1 = uint8_t(greys[x + 1]), g2 = uint8_t(greys[x + 2]),
                           g3 = uint8_t(greys[x + 3]);
            const uint32_t words[3] = {g0 * 0x010101u | g1 << 24, g1 * 0x0101u | g2 * 0x01010000u,
                                       g2 | g3 * 0x01010100u};
            std::memcpy(out, words, 12);
        }
    }
    for (; x < count; ++x, out += 3) out[0] = out[1] = out[2] = uint8_t(greys[x]);
}

static void spotRowFast(SpotRow& row, float scale, double dy2, int32_t from, int32_t to) {
    spotRowLoop(row, scale, dy2, from, to);
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION static void spotRowAvx2(SpotRow& row, float scale, double dy2, int32_t from, int32_t to) {
    spotRowLoop(row, scale, dy2, from, to);
}
#endif

// The spot is symmetric about its centre: dx = single(i * invHalfWidth) for
// i = x - halfWidth is the negation of the value for -i (rounding is
// symmetric), and only its square enters; likewise dy. So pixel
// (halfWidth - i, y) equals (halfWidth + i, y) and row halfHeight - j equals
// row halfHeight + j. The columns from halfWidth on are computed and the
// ones left of it mirrored, except those whose mirror lies beyond the layer
// (column 0 of an even width); the rows likewise. A quarter of the layer is
// computed, the rest copied.
void particle(int32_t dst, float falloff) {
    if (!validLayers(dst)) return;
    const int32_t width = layerWidth, height = layerHeight;
    const int32_t halfWidth = width / 2, halfHeight = height / 2;
    const float invHalfWidth = halfWidth ? static_cast<float>(ext(1.0) / halfWidth) : 0.0f;
    const float invHalfHeight = halfHeight ? static_cast<float>(ext(1.0) / halfHeight) : 0.0f;
    const float scale = static_cast<float>(ext(falloff) * ext(180.0));
    const bool fast = std::fabs(scale) < 0x1p100f;  // false for NaN: such calls run in ext
    for (int32_t x = 0; x < width; ++x) columnDx[x] = static_cast<float>(double(x - halfWidth) * invHalfWidth);
    auto* spotRowOf = spotRowFast;
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx2) spotRowOf = spotRowAvx2;
#endif
    // Columns [0, ownLeft) and [halfWidth, width) are computed; column x in
    // [ownLeft, halfWidth) copies column 2 halfWidth - x. Rows alike.
    const int32_t ownLeft = std::max(0, std::min(halfWidth, 2 * halfWidth - width + 1));
    const int32_t ownTop = std::max(0, std::min(halfHeight, 2 * halfHeight - height + 1));
    const int32_t lowerRows = height - halfHeight;
    const size_t rowBytes = size_t(width) * 3;
    auto* bytes = reinterpret_cast<uint8_t*>(layers[dst]);
    const auto computeRow = [&](SpotRow& row, int32_t y, int32_t from, int32_t to) {
        const float dy = static_cast<float>(double(y - halfHeight) * invHalfHeight);
        int32_t *spotRow = row.spot, *unsettled = row.unsettled;
        uint32_t misses = uint32_t(to - from);
        if (fast) {
            spotRowOf(row, scale, double(dy) * dy, from, to);
            misses = 0;
            for (int32_t x = from; x < to; ++x) misses += uint32_t(unsettled[x]);
        }
        numeric::countDecisions(uint64_t(to - from), misses);
        if (misses)
            for (int32_t x = from; x < to; ++x)
                if (!fast || unsettled[x]) spotRow[x] = spotPlain(scale, columnDx[x], dy);
    };
    forEachRange(int64_t(lowerRows) + ownTop, width, [&](int64_t first, int64_t end) {
        SpotRow& row = perThread<SpotRow>();
        for (int64_t i = first; i < end; ++i) {
            const int32_t y = i < lowerRows ? halfHeight + int32_t(i) : int32_t(i - lowerRows);
            computeRow(row, y, halfWidth, width);
            computeRow(row, y, 0, ownLeft);
            for (int32_t x = ownLeft; x < halfWidth; ++x) row.spot[x] = row.spot[2 * halfWidth - x];
            uint8_t* out = bytes + size_t(y) * rowBytes;
            writeGreyRow(out, row.spot, width);
            const int32_t mirror = 2 * halfHeight - y;
            if (y > halfHeight && mirror >= ownTop) std::memcpy(bytes + size_t(mirror) * rowBytes, out, rowBytes);
        }
    });
}

}  // namespace tex
