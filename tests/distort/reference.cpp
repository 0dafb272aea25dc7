// The distortions written as plainly as their formulas read: one sampleLayer
// (or one neighbourhood formula) per pixel, every intermediate in ext.
// The engine's fast paths are checked against these bit for bit.
#include "reference.h"

#include "engine/neighbourhood.h"

namespace distortref {
using namespace tex;

void sineDistort(int32_t src, int32_t dst, float hFreq, float hAmp, float vFreq, float vAmp) {
    if (!validLayers(src, dst)) return;
    copyLayer(src, SCRATCH_LAYER);
    Pixel* out = layers[dst];
    for (int32_t y = 0; y < layerHeight; ++y) {
        const float ox = static_cast<float>(hAmp * extSin(ext(hFreq) * y));
        for (int32_t x = 0; x < layerWidth; ++x) {
            const float fx = static_cast<float>(ext(x) + ox);
            // The vertical sine term stays extended: the sum is rounded once.
            const float fy = static_cast<float>(y + vAmp * extSin(ext(vFreq) * x));
            *out++ = sampleLayer(SCRATCH_LAYER, fx, fy);
        }
    }
}

void mapDistort(int32_t src, int32_t map, int32_t dst, float scaleX, float scaleY) {
    if (!validLayers(src, map, dst)) return;
    const Pixel* brightness = layers[map];
    Pixel* out = layers[SCRATCH_LAYER];
    for (int32_t y = 0; y < layerHeight; ++y)
        for (int32_t x = 0; x < layerWidth; ++x) {
            const Pixel m = *brightness++;
            uint8_t v = m.green >= m.red ? m.green : m.red;
            if (m.blue > v) v = m.blue;
            const float ox = static_cast<float>(ext(v) * scaleX);
            const float oy = static_cast<float>(ext(v) * scaleY);
            *out++ = sampleLayer(src, static_cast<float>(ext(x) + ox),
                                 static_cast<float>(ext(y) + oy));
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


void twirlLayer(int32_t src, int32_t dst, float strength, float scale) {
    if (!validLayers(src, dst)) return;
    copyLayer(src, SCRATCH_LAYER);
    const int32_t cx = layerWidth / 2, cy = layerHeight / 2;
    const float k = static_cast<float>(ext(1.0) / (extSqrt(ext(2.0) * layerWidth * layerHeight) * scale));
    Pixel* out = layers[dst];
    for (int32_t y = 0; y < layerHeight; ++y) {
        const float dy = static_cast<float>(y - cy);
        for (int32_t x = 0; x < layerWidth; ++x, ++out) {
            const float dx = static_cast<float>(x - cx);
            const float dist = fastSqrt(static_cast<float>(ext(dx) * dx + ext(dy) * dy));
            const float d = static_cast<float>(cx - ext(dist));
            if (d <= 0.0f) {
                *out = pixelAt(SCRATCH_LAYER, x, y);
                continue;
            }
            const float angle = static_cast<float>(ext(strength) * d * d * k);
            const float cosA = static_cast<float>(extCos(angle)), sinA = static_cast<float>(extSin(angle));
            const float fx = static_cast<float>(cx + (ext(dx) * cosA - ext(dy) * sinA));
            const float fy = static_cast<float>(cy + (ext(dx) * sinA + ext(dy) * cosA));
            *out = sampleLayer(SCRATCH_LAYER, fx, fy);
        }
    }
}

// The centre column repeats the pixel to its left. A layer one pixel wide has
// no column to its left: there the staged source pixel is kept.
void tunnelDistort(int32_t src, int32_t dst, float depth) {
    if (!validLayers(src, dst)) return;
    copyLayer(src, SCRATCH_LAYER);
    const int32_t cx = layerWidth / 2, cy = layerHeight / 2;
    const float k = static_cast<float>(layerWidth / (ext(PI_F) * ext(2.0)));
    Pixel* out = layers[dst];
    for (int32_t y = 0; y < layerHeight; ++y) {
        const float dy = static_cast<float>(y - cy);
        for (int32_t x = 0; x < layerWidth; ++x, ++out) {
            const float dx = static_cast<float>(x - cx);
            if (dx == 0.0f) {
                *out = x > 0 ? out[-1] : pixelAt(SCRATCH_LAYER, x, y);
                continue;
            }
            const float inv = static_cast<float>(ext(1.0) / dx);
            const float angle = static_cast<float>(extAtan(ext(dy) * inv));
            const float u = dx > 0.0f ? static_cast<float>(ext(k) * angle + cx)
                                      : static_cast<float>(ext(k) * angle);
            const float v = static_cast<float>(extFabs(extCos(angle) * depth * inv));
            *out = sampleLayer(SCRATCH_LAYER, u, v);
        }
    }
}

void logPolLayer(int32_t src, int32_t dst) {
    if (!validLayers(src, dst)) return;
    const float step = static_cast<float>(ext(PI_F) * ext(2.0) / layerHeight);
    const float cx = float(layerWidth / 2), cy = float(layerHeight / 2);
    Pixel* out = layers[SCRATCH_LAYER];
    for (int32_t i = 0; i < layerHeight; ++i) {
        const float r = static_cast<float>(extExp(ext(i) * step));
        for (int32_t j = 0; j < layerWidth; ++j) {
            const float a = static_cast<float>(ext(j) * step);
            *out++ = sampleLayer(src, static_cast<float>(r * extCos(a) + cx), static_cast<float>(r * extSin(a) + cy));
        }
    }
    copyLayer(SCRATCH_LAYER, dst);
}


// The direction of the channel's Sobel gradient as a byte around the circle:
// (127.5 + angle * 127.5 / pi) modulo 256. A zero horizontal gradient is coded
// 196, 128 or 64 by the sign of the vertical one (196, not 192: stored
// documents depend on it).
static uint8_t gradientDirection(const int32_t n[9]) {
    const int32_t gx = n[0] + 2 * n[3] + n[6] - n[2] - 2 * n[5] - n[8];
    const int32_t gy = n[0] + 2 * n[1] + n[2] - n[6] - 2 * n[7] - n[8];
    if (gx == 0) return gy > 0 ? 196 : gy == 0 ? 128 : 64;
    const ext K = ext(40.584510803222656);
    const float a = static_cast<float>(extAtan(ext(gy) / gx));
    if (gx > 0) return static_cast<uint8_t>(static_cast<int32_t>(a * K + ext(127.5)));
    return static_cast<uint8_t>(static_cast<int32_t>(a * K));
}

void sculptureLayer(int32_t src, int32_t dst) { filterNeighbourhood(src, dst, gradientDirection); }

void erodeLayer(int32_t src, int32_t dst) {
    filterNeighbourhood(src, dst, [](const int32_t n[9]) {
        int32_t m = n[0];
        for (int i = 1; i < 9; ++i) m = n[i] < m ? n[i] : m;
        return uint8_t(m);
    });
}

void dilateLayer(int32_t src, int32_t dst) {
    filterNeighbourhood(src, dst, [](const int32_t n[9]) {
        int32_t m = n[0];
        for (int i = 1; i < 9; ++i) m = n[i] > m ? n[i] : m;
        return uint8_t(m);
    });
}

}  // namespace distortref
