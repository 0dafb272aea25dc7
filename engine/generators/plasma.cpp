// Plasma generators: cosine-interpolated value noise on a grid (subPlasma)
// and a sum of two sine waves (sinePlasma).
//
// subPlasma reproduces blendTexels bit for bit without calling it per pixel:
// the cosine weights depend only on a pixel's position inside its cell, so
// each column and row weight is computed once per call into a table, and the
// four float32 products are formed per pixel exactly as blendTexels forms
// them. Cells run in row-major order and read their corners from the layer as
// it is at that moment, which matters when the step does not divide the size.
#include "engine/generators/plasma.h"

#include "engine/internal.h"

namespace tex {

namespace {

// Per-call weight tables for the positions 0..step-1 inside a cell, indexed
// from the first position that survives (see drawPlasma).
float columnWeight[MAX_LAYER_SIDE], columnRest[MAX_LAYER_SIDE];
float rowWeight[MAX_LAYER_SIDE], rowRest[MAX_LAYER_SIDE];

// Fills weight[k] and rest[k] = single(1 - weight[k]) for the positions
// first + k, k < count, at fraction single(position * inv).
void fillWeights(float* weight, float* rest, int64_t first, int64_t count, float inv) {
    for (int64_t k = 0; k < count; ++k) {
        const float f = static_cast<float>(static_cast<long double>(first + k) * inv);
        weight[k] = cosineWeight(f);
        rest[k] = static_cast<float>(1.0L - weight[k]);
    }
}

}  // namespace

float cosineWeight(float f) {
    return static_cast<float>((1.0L - cosl(static_cast<long double>(f) * PI_F)) * 0.5L);
}

uint8_t blendChannel(uint32_t c0, uint32_t c1, uint32_t c2, uint32_t c3, const float w[4]) {
    const long double sum = c0 * static_cast<long double>(w[0]) + c1 * static_cast<long double>(w[1]) +
                            c2 * static_cast<long double>(w[2]) + c3 * static_cast<long double>(w[3]);
    return static_cast<uint8_t>(truncInt32(sum));
}

void skipRandom(uint64_t count) {
    // nextRandom only multiplies, so n draws multiply the state by 22695477^n.
    uint32_t factor = 22695477u, power = 1u;
    for (; count; count >>= 1, factor *= factor)
        if (count & 1) power *= factor;
    randomSeed *= power;
}

void drawPlasma(int32_t layer, int32_t step, int32_t seed, int32_t amplitude, bool colored) {
    Pixel* out = layers[layer];
    std::memset(out, 0, layerBytes());
    if (seed != 0) randomSeed = uint32_t(seed);
    const uint32_t mask = uint32_t(amplitude) - 1u;
    const int64_t width = layerWidth, height = layerHeight;
    const int64_t columns = (width + step - 1) / step, rows = (height + step - 1) / step;

    // Every stored byte would be 0, and a blend of black corners is black:
    // only the draws remain to be made.
    if ((mask & 255u) == 0) {
        skipRandom(uint64_t(columns * rows) * (colored ? 3u : 1u));
        return;
    }

    for (int64_t y = 0; y < height; y += step)
        for (int64_t x = 0; x < width; x += step) {
            Pixel& p = out[y * width + x];
            p.red = uint8_t(nextRandom() & mask);
            if (colored) {
                p.green = uint8_t(nextRandom() & mask);
                p.blue = uint8_t(nextRandom() & mask);
            } else {
                p.green = p.blue = p.red;
            }
        }
    if (step == 1) return;

    // A cell writes positions 0..step-1 in each direction, wrapped. Its
    // corners are copied before it writes, so when step exceeds the layer
    // only the last position landing on each pixel decides it: positions
    // step - width .. step - 1 (one write per pixel instead of step squared).
    const float inv = static_cast<float>(1.0L / step);
    const int64_t firstColumn = step > width ? step - width : 0, cellWidth = step - firstColumn;
    const int64_t firstRow = step > height ? step - height : 0, cellHeight = step - firstRow;
    fillWeights(columnWeight, columnRest, firstColumn, cellWidth, inv);
    fillWeights(rowWeight, rowRest, firstRow, cellHeight, inv);

    const uint32_t wm = uint32_t(widthMask), hm = uint32_t(heightMask);
    for (int64_t y = 0; y < height; y += step)
        for (int64_t x = 0; x < width; x += step) {
            const uint32_t xr = uint32_t(x + step) & wm, yb = uint32_t(y + step) & hm;
            const Pixel c[4] = {out[y * width + x], out[y * width + xr], out[yb * width + x], out[yb * width + xr]};
            for (int64_t j = 0; j < cellHeight; ++j) {
                Pixel* row = out + (uint32_t(y + firstRow + j) & hm) * width;
                const float wy = rowWeight[j], ay = rowRest[j];
                for (int64_t i = 0; i < cellWidth; ++i) {
                    const float wx = columnWeight[i], ax = columnRest[i];
                    // A product of two floats rounded once, as blendTexels rounds it.
                    const float w[4] = {ax * ay, wx * ay, ax * wy, wx * wy};
                    Pixel& p = row[uint32_t(x + firstColumn + i) & wm];
                    p.red = blendChannel(c[0].red, c[1].red, c[2].red, c[3].red, w);
                    p.green = blendChannel(c[0].green, c[1].green, c[2].green, c[3].green, w);
                    p.blue = blendChannel(c[0].blue, c[1].blue, c[2].blue, c[3].blue, w);
                }
            }
        }
}

// A step of 0 or less has no grid: the call does nothing.
void subPlasma(int32_t dst, int32_t step, int32_t seed, int32_t amplitude, bool colored) {
    if (!validLayers(dst) || step <= 0) return;
    drawPlasma(dst, step, seed, amplitude, colored);
}

// The column term sin(x * xFrequency) * 63.5 stays in extended precision and
// is the same for every row, so it is computed once per column.
void sinePlasma(int32_t dst, float xFrequency, float yFrequency, float amplitude) {
    if (!validLayers(dst)) return;
    static long double columnTerm[MAX_LAYER_SIDE];
    const float scale = static_cast<float>(static_cast<long double>(amplitude) * 0.00390625L);
    for (int32_t x = 0; x < layerWidth; ++x) columnTerm[x] = sinl(static_cast<long double>(x) * xFrequency) * 63.5L;
    Pixel* out = layers[dst];
    for (int32_t y = 0; y < layerHeight; ++y) {
        const float rowTerm = static_cast<float>(sinl(static_cast<long double>(y) * yFrequency) * 63.5L + 127.0L);
        for (int32_t x = 0; x < layerWidth; ++x) {
            // Only the low 8 bits of the truncated value are stored: no clamp.
            const uint8_t grey = uint8_t(truncInt32((columnTerm[x] + rowTerm) * scale));
            *out++ = {grey, grey, grey};
        }
    }
}

}  // namespace tex
