// The 3x3 neighbourhood frame shared by the convolution filters, the median
// and relief and morphology: the source is staged in the scratch layer (so the
// destination may be the source), and each destination byte is computed from
// the nine wrapped neighbours of the same channel in the staged copy.
#pragma once

#include "engine/internal.h"
#include "engine/threads.h"

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

// Calls row(up, own, down, out, rowBytes) for every row of dst, in bands of
// rows on the threads, with the rows above, own and below as they were in
// src before the call (wrapped at the top and bottom; within a row the
// caller wraps). dst may be src; the height must then be a power of two.
//
// Separate layers: the source is never written and is read directly. The
// same layer, in bands of at least four rows: a neighbouring band may
// overwrite a band's first and last rows before this band reads them, so
// those two rows of every band are staged before any band starts, at
// scratch rows y0 and y0 + 1. Inside a band each row is copied to one of two
// scratch rows (y0 + 2, y0 + 3, by parity) just before it is overwritten;
// rows not yet overwritten are read from the source. The staged rows stay
// in the cache.
template <typename Row>
void walkNeighbourRows(int32_t src, int32_t dst, const Row& row) {
    const size_t rowBytes = size_t(layerWidth) * 3;
    const auto* source = reinterpret_cast<const uint8_t*>(layers[src]);
    auto* staged = reinterpret_cast<uint8_t*>(layers[SCRATCH_LAYER]);
    auto* out = reinterpret_cast<uint8_t*>(layers[dst]);
    const auto at = [&](auto* layer, int64_t r) { return layer + size_t(r) * rowBytes; };
    if (src != dst) {
        forEachRow([&](int64_t y0, int64_t y1) {
            for (int64_t y = y0; y < y1; ++y)
                row(at(source, (y - 1) & heightMask), at(source, y), at(source, (y + 1) & heightMask), at(out, y),
                    rowBytes);
        });
        return;
    }
    if (layerHeight < 4) {
        copyLayer(src, SCRATCH_LAYER);
        for (int64_t y = 0; y < layerHeight; ++y)
            row(at(staged, (y - 1) & heightMask), at(staged, y), at(staged, (y + 1) & heightMask), at(out, y),
                rowBytes);
        return;
    }
    const Split split = splitWork(layerHeight, layerWidth, 4);
    const auto bandOf = [&](int64_t r) {
        int32_t i = int32_t(r * split.pieces / split.count);  // a guess, corrected below
        while (i > 0 && split.begin(i) > r) --i;
        while (i + 1 < split.pieces && split.begin(i + 1) <= r) ++i;
        return i;
    };
    for (int32_t i = 0; i < split.pieces; ++i) {
        std::memcpy(at(staged, split.begin(i)), at(source, split.begin(i)), rowBytes);
        std::memcpy(at(staged, split.begin(i) + 1), at(source, split.begin(i + 1) - 1), rowBytes);
    }
    runRanges(split, [&](int64_t y0, int64_t y1) {
        // Row r as it was before the call, seen from row y of this band.
        const auto before = [&](int64_t r, int64_t y) -> const uint8_t* {
            const int64_t first = split.begin(bandOf(r)), last = split.begin(bandOf(r) + 1) - 1;
            if (r == first) return at(staged, first);
            if (r == last) return at(staged, first + 1);
            if (r >= y0 && r <= y) return at(staged, y0 + 2 + (r & 1));
            return at(source, r);
        };
        for (int64_t y = y0; y < y1; ++y) {
            if (y != y0 && y != y1 - 1) std::memcpy(at(staged, y0 + 2 + (y & 1)), at(source, y), rowBytes);
            row(before((y - 1) & heightMask, y), before(y, y), before((y + 1) & heightMask, y), at(out, y), rowBytes);
        }
    });
}

}  // namespace tex
