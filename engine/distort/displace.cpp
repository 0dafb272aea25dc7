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
#include "engine/distort/sampling.h"

namespace tex {

using distort::sampleRow;

// One row's source pixel numbers for noiseDistort (below 2^28, MAX_LAYER_PIXELS).
struct JitterRow {
    uint32_t source[MAX_LAYER_SIDE];
};

// The vertical sine term of each column, kept in extended precision.
static ext columnShift[MAX_LAYER_SIDE];

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

void sineDistort(int32_t src, int32_t dst, float hFreq, float hAmp, float vFreq, float vAmp) {
    if (!validLayers(src, dst)) return;
    copyLayer(src, SCRATCH_LAYER);
    // The vertical sine term stays extended: the sum with y is rounded once.
    for (int32_t x = 0; x < layerWidth; ++x) columnShift[x] = vAmp * extSin(ext(vFreq) * x);
    forEachRow([&](int64_t y0, int64_t y1) {
    float *rowX = distort::rowSamples().x, *rowY = distort::rowSamples().y;
    Pixel* out = &pixelAt(dst, 0, int32_t(y0));
    for (int32_t y = int32_t(y0); y < y1; ++y) {
        const float ox = static_cast<float>(hAmp * extSin(ext(hFreq) * y));
        const ext row = y;
        for (int32_t x = 0; x < layerWidth; ++x) {
            // A sum of two float32 values rounded once: one float32 addition.
            rowX[x] = static_cast<float>(x) + ox;
            rowY[x] = static_cast<float>(row + columnShift[x]);
        }
        sampleRow(SCRATCH_LAYER, out, layerWidth);
        out += layerWidth;
    }
    });
}

void mapDistort(int32_t src, int32_t map, int32_t dst, float scaleX, float scaleY) {
    if (!validLayers(src, map, dst)) return;
    // The offsets depend on the brightness only: one table entry per value.
    float offsetX[256], offsetY[256];
    for (int32_t v = 0; v < 256; ++v) {
        offsetX[v] = static_cast<float>(ext(v) * scaleX);
        offsetY[v] = static_cast<float>(ext(v) * scaleY);
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

void noiseDistort(int32_t src, int32_t dst, int32_t seed, int32_t strength) {
    if (!validLayers(src, dst)) return;
    // Offsets are 32-bit two's-complement values shifted logically; the sums
    // are taken modulo 2^32, which the masks reduce like the true sums.
    const uint32_t shift = (16u - uint32_t(strength)) & 31u;
    const Pixel* in = layers[src];
    Pixel* const result = resultBuffer(dst, src);
    // nextRandom's sequence, kept in a local until the last draw. Each row's
    // source positions are drawn first; the copies then ask for the pixel
    // 16 ahead, since strong jitter reads far from the row. Every pixel
    // takes two draws, so a band of rows starts from the state 2 * width * y0
    // draws on.
    const size_t width = size_t(layerWidth);
    forEachRow([&](int64_t y0, int64_t y1) {
    uint32_t* jitterSource = perThread<JitterRow>().source;
    uint32_t state = randomAfter(uint32_t(seed), 2 * uint64_t(width) * uint64_t(y0));
    Pixel* out = result + size_t(y0) * width;
    for (int32_t y = int32_t(y0); y < y1; ++y, out += width) {
        for (int32_t x = 0; x < layerWidth; ++x) {
            state *= 22695477u;
            const uint32_t ox = ((state >> 16) - 32767u) >> shift;
            state *= 22695477u;
            const uint32_t oy = ((state >> 16) - 32767u) >> shift;
            const uint32_t sx = (uint32_t(x) + ox) & uint32_t(widthMask), sy = (uint32_t(y) + oy) & uint32_t(heightMask);
            jitterSource[x] = uint32_t(size_t(sy) * width + sx);
        }
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
