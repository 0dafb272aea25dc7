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
#include "engine/colour/kernels.h"

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

// Runs of one colour are common in textures; each run is converted once.
template <typename Change>
void mapHsv(int32_t src, int32_t dst, Change change) {
    auto convert = [&](Pixel p) {
        float h, s, v;
        hsvOfBytes(p, h, s, v);
        change(h, s, v);
        return bytesOfHsv(h, s, v);
    };
    const Pixel* in = layers[src];
    Pixel* out = layers[dst];
    Pixel last = in[0], result = convert(last);
    for (size_t i = 0, n = layerPixels(); i < n; ++i) {
        const Pixel p = in[i];
        if (p.red != last.red || p.green != last.green || p.blue != last.blue) {
            result = convert(p);
            last = p;
        }
        out[i] = result;
    }
}

}  // namespace

// Scaling and offsets of float32 values by float32 arguments: single(a * b)
// and single(a + b) are the float32 operations (see engine/colour/hsv.h).

void scaleLayerHSV(int32_t src, int32_t dst, float h, float s, float v) {
    if (!validLayers(src, dst)) return;
    if (hsvPixelsWide(layers[src], layers[dst], layerPixels(), true, h, s, v)) return;
    mapHsv(src, dst, [=](float& hue, float& saturation, float& value) {
        hue *= h;
        saturation *= s;
        value *= v;
    });
}

void adjustLayerHSV(int32_t src, int32_t dst, float h, float s, float v) {
    if (!validLayers(src, dst)) return;
    if (hsvPixelsWide(layers[src], layers[dst], layerPixels(), false, h, s, v)) return;
    mapHsv(src, dst, [=](float& hue, float& saturation, float& value) {
        hue += h;
        saturation += s;
        value += v;
    });
}

}  // namespace tex
