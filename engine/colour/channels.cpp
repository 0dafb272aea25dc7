// Channel scaling and adjustment in RGB and HSV.
//
// The RGB operations depend on one byte per channel and run through per-call
// tables of 256 entries. The HSV operations convert each pixel as rgbToHsv
// does, scale or offset hue, saturation and value in float32 (single()),
// clamp saturation to 0..1 and value to 0..255, convert back as hsvToRgb does
// (wrapping any hue in bounded time) and truncate the results to bytes. The
// conversion round trip loses up to a unit in some channels; that is the
// operation's known behaviour, kept as it is.
#include "engine/colour/hsv.h"
#include "engine/colour/hsv_block.h"
#include "engine/colour/kernels.h"
#include "engine/numeric/decide.h"
#include "engine/threads.h"

#include <atomic>

namespace tex {

// byte = saturateByte(single(byte * factor)) per channel.
void scaleLayerRGB(int32_t src, int32_t dst, float r, float g, float b) {
    if (!validLayers(src, dst)) return;
    // byte * factor is exact in extended precision, so single() of it is the
    // float32 product; the pass computes that per byte.
    const float factor[3] = {r, g, b};
    scaleLayerBytes(src, dst, factor);
}

// byte = byte + offset clamped to 0..255. Offsets beyond -255..255 act as
// those limits, so one near the int32 limits saturates instead of overflowing.
void adjustLayerRGB(int32_t src, int32_t dst, int32_t r, int32_t g, int32_t b) {
    if (!validLayers(src, dst)) return;
    const int32_t offset[3] = {r, g, b};
    offsetLayerBytes(src, dst, offset);
}

namespace {

// Blocks of pixels through the block form; the lanes it leaves go through
// the one-pixel form. dst may be src: each block is read before it is written.
void mapHsv(int32_t src, int32_t dst, const HsvChange& change) {
    const HsvBlock block = hsvBlockInUse();
    const Pixel* in = layers[src];
    Pixel* out = layers[dst];
    // Whole blocks on the threads; the counts of redone pixels are summed.
    const size_t n = layerPixels();
    std::atomic<uint64_t> redoneInAll{0};
    forEachRange(int64_t((n + HSV_BLOCK - 1) / HSV_BLOCK), HSV_BLOCK, [&](int64_t firstBlock, int64_t endBlock) {
    uint8_t redo[HSV_BLOCK];
    Pixel source[HSV_BLOCK];
    uint64_t redone = 0;
    for (size_t i = size_t(firstBlock) * HSV_BLOCK; i < n && i < size_t(endBlock) * HSV_BLOCK; i += HSV_BLOCK) {
        const size_t count = n - i < HSV_BLOCK ? n - i : HSV_BLOCK;
        std::memcpy(source, in + i, count * sizeof(Pixel));
        block(reinterpret_cast<const uint8_t*>(source), reinterpret_cast<uint8_t*>(out + i), count, change, redo);
        for (size_t j = 0; j < count; ++j)
            if (redo[j]) {
                float h, s, v;
                hsvOfBytes(source[j], h, s, v);
                if (change.scale)
                    h *= change.h, s *= change.s, v *= change.v;
                else
                    h += change.h, s += change.s, v += change.v;
                out[i + j] = bytesOfHsv(h, s, v);
                ++redone;
            }
    }
    redoneInAll += redone;
    });
    numeric::countDecisions(n, redoneInAll);
}

}  // namespace

// Scaling and offsets of float32 values by float32 arguments: single(a * b)
// and single(a + b) are the float32 operations (see engine/colour/hsv.h).

void scaleLayerHSV(int32_t src, int32_t dst, float h, float s, float v) {
    if (!validLayers(src, dst)) return;
    mapHsv(src, dst, HsvChange{true, h, s, v, static_cast<double>(SIXTIETH)});
}

void adjustLayerHSV(int32_t src, int32_t dst, float h, float s, float v) {
    if (!validLayers(src, dst)) return;
    mapHsv(src, dst, HsvChange{false, h, s, v, static_cast<double>(SIXTIETH)});
}

}  // namespace tex
