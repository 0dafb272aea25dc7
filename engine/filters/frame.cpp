// The 3x3 frame of the filters family: walks the rows of a layer, hands each
// row and its wrapped neighbours to a row kernel, and keeps the result equal
// to filtering a staged copy of the source even when the destination is the
// source.
#include "engine/filters/frame.h"

#include "engine/internal.h"

namespace tex {

const uint16_t* rootsBelowSquares() {
    static uint16_t table[257];
    static bool built = false;
    if (!built) {
        for (uint32_t k = 1; k <= 256; ++k) table[k] = uint16_t(intSqrt(k * k - 1));
        built = true;
    }
    return table;
}

void filter3x3(Kernel3x3 kernel, int32_t src, int32_t dst) {
    if (!validLayers(src, dst)) return;
    const bool wide = vectorUnits() >= VectorUnits::Avx2;
    const size_t rowBytes = size_t(layerWidth) * 3;
    const auto* source = reinterpret_cast<const uint8_t*>(layers[src]);
    auto* staged = reinterpret_cast<uint8_t*>(layers[SCRATCH_LAYER]);
    auto* out = reinterpret_cast<uint8_t*>(layers[dst]);
    // Separate layers: the source is never written, so it is read directly.
    // The same layer: each row is copied to the scratch layer just before it
    // is overwritten, and the rows already overwritten are read from there;
    // later rows are still untouched in the source. Only three staged rows
    // are ever needed (row 0 for the last row, and rows y - 1 and y), so they
    // take turns in three scratch rows that stay in the cache.
    const bool inPlace = src == dst;
    auto slot = [](int32_t r) { return layerHeight <= 3 || r == 0 ? r : 1 + (r & 1); };
    auto row = [&](int32_t r, int32_t y) {
        return inPlace && r <= y ? staged + size_t(slot(r)) * rowBytes : source + size_t(r) * rowBytes;
    };
    for (int32_t y = 0; y < layerHeight; ++y) {
        if (inPlace) std::memcpy(staged + size_t(slot(y)) * rowBytes, source + size_t(y) * rowBytes, rowBytes);
        filterRow(kernel, wide, row((y - 1) & heightMask, y), row(y, y), row((y + 1) & heightMask, y), out + size_t(y) * rowBytes,
               rowBytes);
    }
}

}  // namespace tex
