// Pattern generators: metaball blobs, a one-dimensional cellular automaton
// and the Mandelbrot set.
//
// blobsLayer keeps its field values and per-pixel sums in float32 (each
// stored value rounded once from extended precision); mandelBrot iterates in
// float32 and accumulates its plane coordinates by repeated addition.
#include "engine/internal.h"

namespace tex {

namespace {

constexpr int32_t MAX_BLOBS = 16;

// The soft-object field of a squared distance already scaled by k:
// f = 1 - 0.444444 t^3 + 1.888888 t^2 - 2.444444 t, rounded to float32.
float blobField(float t) {
    const long double t1 = t, t2 = t1 * t1, t3 = t2 * t1;
    return static_cast<float>(1.0L - 0.444444L * t3 + 1.888888L * t2 - 2.444444L * t1);
}

// Strength of one channel from a fresh draw: 15 to 165.
float blobStrength() {
    return static_cast<float>(((nextRandom() & 255u) * 0.00392156862745L + 0.1L) * 150.0L);
}

// Adds one blob's share to a float32 sum.
inline float addShare(float sum, float strength, float field) {
    return static_cast<float>(sum + static_cast<long double>(strength) * field);
}

}  // namespace

// More than 16 blobs are drawn as 16: the blob tables hold no more. Squared
// distances are taken on 64 bits, so that layers wider than 32768 pixels do
// not overflow.
void blobsLayer(int32_t dst, int32_t seed, int32_t count, bool colored) {
    if (!validLayers(dst)) return;
    randomSeed = uint32_t(seed);
    const int32_t blobs = count < 0 ? 0 : count > MAX_BLOBS ? MAX_BLOBS : count;
    int32_t blobX[MAX_BLOBS], blobY[MAX_BLOBS];
    float blobRed[MAX_BLOBS], blobGreen[MAX_BLOBS], blobBlue[MAX_BLOBS];
    for (int32_t i = 0; i < blobs; ++i) {
        blobX[i] = int32_t(((nextRandom() * uint32_t(layerWidth)) >> 8) & uint32_t(widthMask));
        blobY[i] = int32_t(((nextRandom() * uint32_t(layerHeight)) >> 8) & uint32_t(heightMask));
        blobRed[i] = blobStrength();
        if (colored) {
            blobGreen[i] = blobStrength();
            blobBlue[i] = blobStrength();
        }
    }
    const float k = static_cast<float>(1.0L / (static_cast<long double>(layerPixels()) * 0.333333L));

    Pixel* out = layers[dst];
    for (int32_t y = 0; y < layerHeight; ++y)
        for (int32_t x = 0; x < layerWidth; ++x) {
            float sumRed = 0.0f, sumGreen = 0.0f, sumBlue = 0.0f;
            for (int32_t i = 0; i < blobs; ++i) {
                const int64_t dx = blobX[i] - x, dy = blobY[i] - y;
                const float t = static_cast<float>(static_cast<long double>(dx * dx + dy * dy) * k);
                const float f = blobField(t);
                sumRed = addShare(sumRed, blobRed[i], f);
                if (colored) {
                    sumGreen = addShare(sumGreen, blobGreen[i], f);
                    sumBlue = addShare(sumBlue, blobBlue[i], f);
                }
            }
            const uint8_t red = saturateByte(sumRed);
            *out++ = colored ? Pixel{red, saturateByte(sumGreen), saturateByte(sumBlue)} : Pixel{red, red, red};
        }
}

// Each row is the next generation of the row above: a cell is live when bit
// L + 2C + 4R of `rule` is set, L, C and R being the wrapped left, centre and
// right cells above. Only the rule's low 8 bits can be selected.
void cellMachine(int32_t dst, int32_t seed, int32_t rule) {
    if (!validLayers(dst)) return;
    randomSeed = uint32_t(seed);
    Pixel* out = layers[dst];
    std::memset(out, 0, layerBytes());
    constexpr Pixel LIVE{255, 255, 255};
    const int32_t width = layerWidth;
    for (int32_t x = 0; x < width; ++x)
        if ((nextRandom() >> 10) == 0) out[x] = LIVE;
    for (int32_t y = 1; y < layerHeight; ++y) {
        const Pixel* above = out + size_t(y - 1) * width;
        Pixel* row = out + size_t(y) * width;
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t left = above[(x - 1) & widthMask].red != 0, centre = above[x].red != 0,
                           right = above[(x + 1) & widthMask].red != 0;
            if (uint32_t(rule) & (1u << (left + 2 * centre + 4 * right))) row[x] = LIVE;
        }
    }
}

namespace {

// Escape count of c = (cx, cy): the iteration starts at z = c and stops when
// |z|^2 exceeds the bailout or at 255.
uint8_t escapeCount(float cx, float cy, float bailout) {
    float zr = cx, zi = cy;
    for (int32_t n = 0;; ++n) {
        // A float product is the extended product rounded once.
        const float zr2 = zr * zr, zi2 = zi * zi;
        if (static_cast<long double>(zr2) + zi2 > bailout) return uint8_t(n);
        zi = static_cast<float>(2.0L * zr * zi + cy);
        zr = static_cast<float>(static_cast<long double>(zr2) - zi2 + cx);
        if (n >= 255) return 255;
    }
}

}  // namespace

void mandelBrot(int32_t dst, float xStart, float xSpan, float yStart, float ySpan, float bailout) {
    if (!validLayers(dst)) return;
    const float dx = static_cast<float>(static_cast<long double>(xSpan) / layerWidth);
    const float dy = static_cast<float>(static_cast<long double>(ySpan) / layerHeight);
    Pixel* out = layers[dst];
    float cy = yStart;
    for (int32_t y = 0; y < layerHeight; ++y) {
        float cx = xStart;
        for (int32_t x = 0; x < layerWidth; ++x) {
            const uint8_t v = escapeCount(cx, cy, bailout);
            *out++ = {v, uint8_t(255 - v), uint8_t(255 - v)};
            cx = cx + dx;  // float addition: the accumulated rounding is part of the picture
        }
        cy = cy + dy;
    }
}

}  // namespace tex
