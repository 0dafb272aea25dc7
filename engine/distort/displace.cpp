// Displacement distortions: sine waves, displacement maps, tiling, random
// jitter and constant shifts. Each rebuilds the destination from displaced
// positions of the source, visiting rows top to bottom, pixels left to right.
//
// Staging keeps a destination equal to a source (or to the map) correct:
// sineDistort stages the source in the scratch layer and writes straight into
// the destination; the others read their inputs in place and build the result
// in the scratch layer, copied to the destination at the end, or straight in
// the destination when it is none of the layers they read.
//
// Work that depends only on a row, a column or a brightness is done once for
// it with the same roundings, and samples go through the row sampler of
// sampling.h, which gives sampleLayer's bits. A float32 sum of two float32
// values stands for single(a + b): see sampling.h.
#include <array>
#include <utility>

#include "engine/distort/sampling.h"
#include "engine/numeric/decide.h"

namespace tex {

using distort::sampleRow;

// One row's source pixel numbers for noiseDistort (below 2^28, MAX_LAYER_PIXELS).
struct JitterRow {
    uint32_t source[MAX_LAYER_SIDE];
};

// The vertical sine term vAmp * sin(vFreq * x) of each column: its double
// estimate, the bound on that estimate's distance from the extended term,
// and the extended term itself for the columns the estimate does not serve.
static double columnShift[MAX_LAYER_SIDE], columnShiftError[MAX_LAYER_SIDE];
static ext columnShiftExt[MAX_LAYER_SIDE];
static bool columnShiftExtOnly[MAX_LAYER_SIDE];

// One row's coordinates left to the extended form, per thread.
struct SineRow {
    int32_t open[MAX_LAYER_SIDE];
};

static bool isPowerOfTwo(int32_t n) { return (n & (n - 1)) == 0; }

// Where a result-staged operation writes: the destination itself when it is
// none of the layers read (nothing can then be overwritten before it is
// read), otherwise the scratch layer, copied to the destination by
// finishResult.
static Pixel* resultBuffer(int32_t dst, int32_t src, int32_t map = -1) {
    return dst == src || dst == map ? layers[SCRATCH_LAYER] : layers[dst];
}
static void finishResult(int32_t dst, const Pixel* written) {
    if (written == layers[SCRATCH_LAYER]) copyLayer(SCRATCH_LAYER, dst);
}

// amplitude * sin(frequency * n) for a float32 amplitude and frequency and a
// whole n below 2^16, in double, with a bound on its distance from the
// extended product amplitude * extSin(frequency * n). The argument is exact
// in both (24 by 16 bits). For |argument| <= 4096 the library's double sine
// and the engine's extended one (within 1 ulp, 2^-52, and 0.85 ulp of 64
// bits) differ by less than the 2^-46 allowed, so the products differ by at
// most |amplitude| 2^-46 plus the double product's rounding (2^-53 of it) and
// the extended one's (2^-64 of it): the bound |amplitude| 2^-46 + 2^-51 |v|
// covers them. Beyond 4096, or for a non-finite argument, false.
static bool sineTerm(float amplitude, float frequency, int32_t n, double& v, double& error) {
    const double argument = double(frequency) * n;
    if (!(std::fabs(argument) <= 4096.0)) return false;
    v = double(amplitude) * std::sin(argument);
    error = std::fabs(double(amplitude)) * 0x1p-46 + std::fabs(v) * 0x1p-51;
    return true;
}

void sineDistort(int32_t src, int32_t dst, float hFreq, float hAmp, float vFreq, float vAmp) {
    if (!validLayers(src, dst)) return;
    copyLayer(src, SCRATCH_LAYER);
    // The vertical sine term stays extended (the sum with y is rounded
    // once): its double estimate where it serves, else the term itself. A
    // column without an estimate gets a NaN one, which no row decides.
    for (int32_t x = 0; x < layerWidth; ++x) {
        columnShiftExtOnly[x] = !sineTerm(vAmp, vFreq, x, columnShift[x], columnShiftError[x]);
        if (columnShiftExtOnly[x]) {
            columnShift[x] = columnShiftError[x] = NAN;
            columnShiftExt[x] = vAmp * extSin(ext(vFreq) * x);
        }
    }
    forEachRow([&](int64_t y0, int64_t y1) {
    float *rowX = distort::rowSamples().x, *rowY = distort::rowSamples().y;
    int32_t* open = perThread<SineRow>().open;
    Pixel* out = &pixelAt(dst, 0, int32_t(y0));
    for (int32_t y = int32_t(y0); y < y1; ++y) {
        // ox = single(hAmp * sin(hFreq * y)), decided like the column terms.
        double estimate = 0.0, error = NAN;
        const bool rowFast = sineTerm(hAmp, hFreq, y, estimate, error);
        const float ox = numeric::singleOr(rowFast ? estimate : NAN, error, [&] {
            return static_cast<float>(hAmp * extSin(ext(hFreq) * y));
        });
        for (int32_t x = 0; x < layerWidth; ++x) rowX[x] = static_cast<float>(x) + ox;  // single(x + ox)
        // single(y + s) of each column's term s: the double sum rounds once
        // (2^-53 of it) and the extended one once (2^-64 of it).
        const uint32_t left = distort::decideSums(double(y), columnShift, columnShiftError, rowY, open, layerWidth);
        if (left)
            for (int32_t x = 0; x < layerWidth; ++x)
                if (open[x]) {
                    const ext shift = columnShiftExtOnly[x] ? columnShiftExt[x] : vAmp * extSin(ext(vFreq) * x);
                    rowY[x] = static_cast<float>(ext(y) + shift);
                }
        sampleRow(SCRATCH_LAYER, out, layerWidth);
        out += layerWidth;
    }
    });
}

void mapDistort(int32_t src, int32_t map, int32_t dst, float scaleX, float scaleY) {
    if (!validLayers(src, map, dst)) return;
    // The offsets depend on the brightness only: one table entry per value.
    // A byte times a float32 is exact in double (8 by 24 bits, and below
    // double's largest value), so single(v * scale) is its one rounding; a
    // scale that is not finite keeps the extended form.
    float offsetX[256], offsetY[256];
    const bool finite = std::isfinite(scaleX) && std::isfinite(scaleY);
    for (int32_t v = 0; v < 256; ++v) {
        offsetX[v] = finite ? static_cast<float>(double(v) * scaleX) : static_cast<float>(ext(v) * scaleX);
        offsetY[v] = finite ? static_cast<float>(double(v) * scaleY) : static_cast<float>(ext(v) * scaleY);
    }
    Pixel* const result = resultBuffer(dst, src, map);
    forEachRow([&](int64_t y0, int64_t y1) {
    float *rowX = distort::rowSamples().x, *rowY = distort::rowSamples().y;
    const Pixel* brightness = &pixelAt(map, 0, int32_t(y0));
    Pixel* out = result + size_t(y0) * size_t(layerWidth);
    for (int32_t y = int32_t(y0); y < y1; ++y) {
        for (int32_t x = 0; x < layerWidth; ++x) {
            const Pixel m = *brightness++;
            uint8_t v = m.green >= m.red ? m.green : m.red;
            if (m.blue > v) v = m.blue;
            // single(x + ox) of float32 operands: one float32 addition.
            rowX[x] = static_cast<float>(x) + offsetX[v];
            rowY[x] = static_cast<float>(y) + offsetY[v];
        }
        sampleRow(src, out, layerWidth);
        out += layerWidth;
    }
    });
    finishResult(dst, result);
}

// The block's right and lower neighbours are wrapped like its corner. On
// layers of at least two pixels a side that changes nothing (the corner is
// even, so its neighbour never crosses an edge); on a side of one pixel it
// keeps the reads inside the layer. On power-of-two sizes the result repeats
// its top-left quadrant, so only that quadrant is averaged.
void tileLayer(int32_t src, int32_t dst) {
    if (!validLayers(src, dst)) return;
    const uint8_t* in = reinterpret_cast<const uint8_t*>(layers[src]);
    Pixel* const result = resultBuffer(dst, src);
    uint8_t* out = reinterpret_cast<uint8_t*>(result);
    const size_t width = size_t(layerWidth), rowBytes = width * 3;
    const bool quadrant = isPowerOfTwo(layerWidth) && isPowerOfTwo(layerHeight);
    const int32_t rows = quadrant ? (layerHeight + 1) / 2 : layerHeight;
    const int32_t columns = quadrant ? (layerWidth + 1) / 2 : layerWidth;
    forEachRange(rows, columns, [&](int64_t y0, int64_t y1) {
    for (int32_t y = int32_t(y0); y < y1; ++y) {
        const uint8_t* top = in + size_t((2 * y) & heightMask) * rowBytes;
        const uint8_t* bottom = in + size_t((2 * y + 1) & heightMask) * rowBytes;
        uint8_t* row = out + size_t(y) * rowBytes;
        if (quadrant && layerWidth > 1) {
            // Inside the quadrant the block's columns are 2x and 2x + 1 as they are.
            for (size_t i = 0, n = size_t(columns) * 3; i < n; i += 3)
                for (size_t c = 0; c < 3; ++c)
                    row[i + c] = uint8_t((top[2 * i + c] + top[2 * i + 3 + c] + bottom[2 * i + c] + bottom[2 * i + 3 + c]) >> 2);
        } else {
            for (int32_t x = 0; x < columns; ++x) {
                const size_t left = size_t((2 * x) & widthMask) * 3, right = size_t((2 * x + 1) & widthMask) * 3;
                for (size_t c = 0; c < 3; ++c)
                    row[3 * size_t(x) + c] = uint8_t((top[left + c] + top[right + c] + bottom[left + c] + bottom[right + c]) >> 2);
            }
        }
        if (quadrant && columns < layerWidth) std::memcpy(row + size_t(columns) * 3, row, size_t(columns) * 3);
    }
    });
    if (quadrant && rows < layerHeight) std::memcpy(out + size_t(rows) * rowBytes, out, size_t(rows) * rowBytes);
    finishResult(dst, result);
}

// The generator only multiplies (state *= A), so draw k of a row is the
// row's starting state times A^k: with the powers A^1 .. A^(2 width) made
// once per call, a row's draws are independent products, which vectorise,
// instead of a chain of 2 width multiplications.
static uint32_t drawPowers[2 * MAX_LAYER_SIDE + 1];

// Row y's source positions from the state at its start. SSE2 has no 32-bit
// multiplication to vectorise with; AVX2 has.
TEX_ALWAYS_INLINE void jitterLoop(uint32_t* source, const uint32_t* power, uint32_t state, uint32_t shift, uint32_t y,
                                  size_t width) {
    for (size_t x = 0; x < width; ++x) {
        const uint32_t ox = (((state * power[2 * x + 1]) >> 16) - 32767u) >> shift;
        const uint32_t oy = (((state * power[2 * x + 2]) >> 16) - 32767u) >> shift;
        const uint32_t sx = (uint32_t(x) + ox) & uint32_t(widthMask), sy = (y + oy) & uint32_t(heightMask);
        source[x] = sy * uint32_t(width) + sx;
    }
}
static void jitterPlain(uint32_t* source, const uint32_t* power, uint32_t state, uint32_t shift, uint32_t y,
                        size_t width) {
    jitterLoop(source, power, state, shift, y, width);
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION static void jitterAvx2(uint32_t* source, const uint32_t* power, uint32_t state, uint32_t shift,
                                         uint32_t y, size_t width) {
    jitterLoop(source, power, state, shift, y, width);
}
#endif
#if defined(__wasm_simd128__)
// WebAssembly's compiler makes a vector shift by a count held in a variable
// one scalar shift per lane: there the loop is built once for each shift.
template <uint32_t shift>
void jitterBy(uint32_t* source, const uint32_t* power, uint32_t state, uint32_t, uint32_t y, size_t width) {
    jitterLoop(source, power, state, shift, y, width);
}
using Jitter = void (*)(uint32_t*, const uint32_t*, uint32_t, uint32_t, uint32_t, size_t);
template <size_t... shift>
constexpr std::array<Jitter, sizeof...(shift)> jitterTable(std::index_sequence<shift...>) {
    return {&jitterBy<uint32_t(shift)>...};
}
#endif

void noiseDistort(int32_t src, int32_t dst, int32_t seed, int32_t strength) {
    if (!validLayers(src, dst)) return;
    // Offsets are 32-bit two's-complement values shifted logically; the sums
    // are taken modulo 2^32, which the masks reduce like the true sums.
    const uint32_t shift = (16u - uint32_t(strength)) & 31u;
    const Pixel* in = layers[src];
    Pixel* const result = resultBuffer(dst, src);
    const size_t width = size_t(layerWidth);
    drawPowers[0] = 1;
    for (size_t k = 1; k <= 2 * width; ++k) drawPowers[k] = drawPowers[k - 1] * RANDOM_MULTIPLIER;
    const uint32_t* power = drawPowers;
    auto* jitter = jitterPlain;
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx2) jitter = jitterAvx2;
#endif
#if defined(__wasm_simd128__)
    static constexpr auto byShift = jitterTable(std::make_index_sequence<32>());
    jitter = byShift[shift];
#endif
    // nextRandom's sequence: pixel x of a row takes draws 2x + 1 and 2x + 2
    // after the row's start. Each row's source positions are made first; the
    // copies then ask for the pixel 16 ahead, since strong jitter reads far
    // from the row. A band of rows starts from the state 2 * width * y0
    // draws on.
    forEachRow([&](int64_t y0, int64_t y1) {
    uint32_t* jitterSource = perThread<JitterRow>().source;
    uint32_t state = randomAfter(uint32_t(seed), 2 * uint64_t(width) * uint64_t(y0));
    Pixel* out = result + size_t(y0) * width;
    for (int32_t y = int32_t(y0); y < y1; ++y, out += width) {
        jitter(jitterSource, power, state, shift, uint32_t(y), width);
        state *= power[2 * width];
        for (size_t x = 0; x < width; ++x) {
            if (x + 16 < width) prefetch(in + jitterSource[x + 16]);
            out[x] = in[jitterSource[x]];
        }
    }
    });
    randomSeed = randomAfter(uint32_t(seed), 2 * uint64_t(layerPixels()));
    finishResult(dst, result);
}

// On a power-of-two width each row is the source row turned by dx: two block
// copies.
void moveDistort(int32_t src, int32_t dst, int32_t dx, int32_t dy) {
    if (!validLayers(src, dst)) return;
    const Pixel* in = layers[src];
    Pixel* const result = resultBuffer(dst, src);
    const size_t width = size_t(layerWidth);
    const size_t start = (uint32_t(dx) & uint32_t(widthMask));
    forEachRow([&](int64_t y0, int64_t y1) {
    Pixel* out = result + size_t(y0) * width;
    for (int32_t y = int32_t(y0); y < y1; ++y, out += width) {
        const Pixel* row = in + size_t((uint32_t(y) + uint32_t(dy)) & uint32_t(heightMask)) * width;
        if (isPowerOfTwo(layerWidth)) {
            std::memcpy(out, row + start, (width - start) * sizeof(Pixel));
            std::memcpy(out + (width - start), row, start * sizeof(Pixel));
        } else {
            for (size_t x = 0; x < width; ++x) out[x] = row[(uint32_t(x) + uint32_t(dx)) & uint32_t(widthMask)];
        }
    }
    });
    finishResult(dst, result);
}

}  // namespace tex
