// The 3x3 neighbourhood frame shared by the convolution filters, the median
// and relief and morphology: the source is staged in the scratch layer (so the
// destination may be the source), and each destination byte is computed from
// the nine wrapped neighbours of the same channel in the staged copy.
#pragma once

#include "engine/internal.h"

namespace tex {

// Calls formula(n) for every pixel and channel, rows top to bottom, pixels
// left to right, channels red, green, blue, and stores the byte it returns.
// n holds the neighbours in reading order: n[0..2] the row above (left,
// centre, right), n[3..5] the pixel's own row, n[6..8] the row below. Rows
// and columns wrap at every edge.
template <typename Formula>
void filterNeighbourhood(int32_t src, int32_t dst, Formula formula) {
    if (!validLayers(src, dst)) return;
    copyLayer(src, SCRATCH_LAYER);
    const auto* staged = reinterpret_cast<const uint8_t*>(layers[SCRATCH_LAYER]);
    auto* out = reinterpret_cast<uint8_t*>(layers[dst]);
    const size_t rowBytes = size_t(layerWidth) * 3;
    for (int32_t y = 0; y < layerHeight; ++y) {
        const uint8_t* up = staged + size_t((y - 1) & heightMask) * rowBytes;
        const uint8_t* own = staged + size_t(y) * rowBytes;
        const uint8_t* down = staged + size_t((y + 1) & heightMask) * rowBytes;
        uint8_t* row = out + size_t(y) * rowBytes;
        for (int32_t x = 0; x < layerWidth; ++x) {
            const size_t l = size_t((x - 1) & widthMask) * 3, c = size_t(x) * 3, r = size_t((x + 1) & widthMask) * 3;
            for (size_t k = 0; k < 3; ++k) {
                const int32_t n[9] = {up[l + k],  up[c + k],  up[r + k],  own[l + k], own[c + k],
                                      own[r + k], down[l + k], down[c + k], down[r + k]};
                row[c + k] = formula(n);
            }
        }
    }
}

}  // namespace tex
