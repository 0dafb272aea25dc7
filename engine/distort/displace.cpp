// Displacement distortions: sine waves, displacement maps, tiling, random
// jitter and constant shifts. Each rebuilds the destination from displaced
// positions of the source, visiting rows top to bottom, pixels left to right.
//
// Staging keeps a destination equal to a source (or to the map) correct:
// sineDistort stages the source in the scratch layer and writes straight into
// the destination; the others read their inputs in place, build the result in
// the scratch layer and copy it to the destination at the end.
//
// Work that depends only on a row or a column is done once per row or column
// with the same roundings, and samples go through the fast sampler of
// sampling.h, which gives sampleLayer's bits.
#include "engine/distort/sampling.h"

namespace tex {

using distort::rowX;
using distort::rowY;
using distort::sampleRow;

// The vertical sine term of each column, kept in extended precision.
static long double columnShift[MAX_LAYER_SIDE];

void sineDistort(int32_t src, int32_t dst, float hFreq, float hAmp, float vFreq, float vAmp) {
    if (!validLayers(src, dst)) return;
    copyLayer(src, SCRATCH_LAYER);
    Pixel* out = layers[dst];
    // The vertical sine term stays extended: the sum with y is rounded once.
    for (int32_t x = 0; x < layerWidth; ++x) columnShift[x] = vAmp * sinl(static_cast<long double>(vFreq) * x);
    for (int32_t y = 0; y < layerHeight; ++y) {
        const float ox = static_cast<float>(hAmp * sinl(static_cast<long double>(hFreq) * y));
        const long double row = y;
        for (int32_t x = 0; x < layerWidth; ++x) {
            // A sum of two float32 values rounded once: one float32 addition.
            rowX[x] = static_cast<float>(x) + ox;
            rowY[x] = static_cast<float>(row + columnShift[x]);
        }
        sampleRow(SCRATCH_LAYER, out, layerWidth);
        out += layerWidth;
    }
}

void mapDistort(int32_t src, int32_t map, int32_t dst, float scaleX, float scaleY) {
    if (!validLayers(src, map, dst)) return;
    // The offsets depend on the brightness only: one table entry per value.
    float offsetX[256], offsetY[256];
    for (int32_t v = 0; v < 256; ++v) {
        offsetX[v] = static_cast<float>(static_cast<long double>(v) * scaleX);
        offsetY[v] = static_cast<float>(static_cast<long double>(v) * scaleY);
    }
    const Pixel* brightness = layers[map];
    Pixel* out = layers[SCRATCH_LAYER];
    for (int32_t y = 0; y < layerHeight; ++y) {
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
    copyLayer(SCRATCH_LAYER, dst);
}

// The block's right and lower neighbours are wrapped like its corner. On
// layers of at least two pixels a side that changes nothing (the corner is
// even, so its neighbour never crosses an edge); on a side of one pixel it
// keeps the reads inside the layer.
void tileLayer(int32_t src, int32_t dst) {
    if (!validLayers(src, dst)) return;
    const Pixel* in = layers[src];
    Pixel* out = layers[SCRATCH_LAYER];
    const size_t width = size_t(layerWidth);
    for (int32_t y = 0; y < layerHeight; ++y) {
        const size_t top = size_t((2 * y) & heightMask) * width, bottom = size_t((2 * y + 1) & heightMask) * width;
        for (int32_t x = 0; x < layerWidth; ++x) {
            const size_t left = size_t((2 * x) & widthMask), right = size_t((2 * x + 1) & widthMask);
            const Pixel a = in[top + left], b = in[top + right], c = in[bottom + left], d = in[bottom + right];
            *out++ = {uint8_t((a.red + b.red + c.red + d.red) >> 2),
                      uint8_t((a.green + b.green + c.green + d.green) >> 2),
                      uint8_t((a.blue + b.blue + c.blue + d.blue) >> 2)};
        }
    }
    copyLayer(SCRATCH_LAYER, dst);
}

void noiseDistort(int32_t src, int32_t dst, int32_t seed, int32_t strength) {
    if (!validLayers(src, dst)) return;
    randomSeed = uint32_t(seed);
    // Offsets are 32-bit two's-complement values shifted logically; the sums
    // are taken modulo 2^32, which the masks reduce like the true sums.
    const uint32_t shift = (16u - uint32_t(strength)) & 31u;
    const Pixel* in = layers[src];
    Pixel* out = layers[SCRATCH_LAYER];
    for (int32_t y = 0; y < layerHeight; ++y)
        for (int32_t x = 0; x < layerWidth; ++x) {
            const uint32_t ox = (nextRandom() - 32767u) >> shift;
            const uint32_t oy = (nextRandom() - 32767u) >> shift;
            const uint32_t sx = (uint32_t(x) + ox) & uint32_t(widthMask), sy = (uint32_t(y) + oy) & uint32_t(heightMask);
            *out++ = in[size_t(sy) * size_t(layerWidth) + sx];
        }
    copyLayer(SCRATCH_LAYER, dst);
}

void moveDistort(int32_t src, int32_t dst, int32_t dx, int32_t dy) {
    if (!validLayers(src, dst)) return;
    const Pixel* in = layers[src];
    Pixel* out = layers[SCRATCH_LAYER];
    for (int32_t y = 0; y < layerHeight; ++y) {
        const size_t row = size_t((uint32_t(y) + uint32_t(dy)) & uint32_t(heightMask)) * size_t(layerWidth);
        for (int32_t x = 0; x < layerWidth; ++x) *out++ = in[row + ((uint32_t(x) + uint32_t(dx)) & uint32_t(widthMask))];
    }
    copyLayer(SCRATCH_LAYER, dst);
}

}  // namespace tex
