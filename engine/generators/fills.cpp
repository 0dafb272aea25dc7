// Simple fills: a flat colour, a two-colour checkerboard and a grey radial
// spot. Each overwrites every Pixel of its layer from its arguments alone;
// colour arguments keep their low 8 bits (300 stores 44, -1 stores 255).
#include <utility>

#include "engine/internal.h"
#include "engine/threads.h"

namespace tex {

void colorLayer(int32_t dst, int32_t red, int32_t green, int32_t blue) {
    if (!validLayers(dst)) return;
    const Pixel colour{uint8_t(red), uint8_t(green), uint8_t(blue)};
    Pixel* out = layers[dst];
    forEachRange(int64_t(layerPixels()), 1, [&](int64_t first, int64_t end) {
        for (size_t i = size_t(first), n = size_t(end); i < n; ++i) out[i] = colour;
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
    Pixel a{uint8_t(red1), uint8_t(green1), uint8_t(blue1)};
    Pixel b{uint8_t(red2), uint8_t(green2), uint8_t(blue2)};
    Pixel* out = layers[dst];
    for (uint32_t y = 0; y < uint32_t(layerHeight); ++y) {
        if (y % ch == 0) std::swap(a, b);
        uint32_t untilSwap = 0;  // pixels left before the next multiple of cw
        for (uint32_t x = 0; x < width; ++x) {
            if (untilSwap == 0) {
                std::swap(a, b);
                untilSwap = cw;
            }
            --untilSwap;
            *out++ = b;
        }
        if (swapAtRowEnd) std::swap(a, b);
    }
}

// A spot centred on (width div 2, height div 2), distance measured in half
// widths and half heights through fastSqrt, falling off linearly. A side of
// one pixel has a half size of 0; its distance term is then 0 instead of a
// division by zero.
void particle(int32_t dst, float falloff) {
    if (!validLayers(dst)) return;
    const int32_t halfWidth = layerWidth / 2, halfHeight = layerHeight / 2;
    const float invHalfWidth = halfWidth ? static_cast<float>(ext(1.0) / halfWidth) : 0.0f;
    const float invHalfHeight = halfHeight ? static_cast<float>(ext(1.0) / halfHeight) : 0.0f;
    const float scale = static_cast<float>(ext(falloff) * ext(180.0));
    forEachRow([&](int64_t y0, int64_t y1) {
    Pixel* out = &pixelAt(dst, 0, int32_t(y0));
    for (int32_t y = int32_t(y0); y < y1; ++y) {
        const float dy = static_cast<float>(ext(y - halfHeight) * invHalfHeight);
        for (int32_t x = 0; x < layerWidth; ++x) {
            const float dx = static_cast<float>(ext(x - halfWidth) * invHalfWidth);
            const float d = fastSqrt(static_cast<float>(ext(dx) * dx + ext(dy) * dy));
            const float v = static_cast<float>(ext(255.0) - ext(scale) * d);
            // Below 0 gives 0, above 255 gives 255, else truncation: saturateByte.
            const uint8_t grey = saturateByte(v);
            *out++ = {grey, grey, grey};
        }
    }
    });
}

}  // namespace tex
