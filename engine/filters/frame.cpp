// The 3x3 frame of the filters family: walks the rows of a layer, hands each
// row and its wrapped neighbours to a row kernel, and keeps the result equal
// to filtering a staged copy of the source even when the destination is the
// source.
#include "engine/filters/frame.h"

#include "engine/internal.h"
#include "engine/neighbourhood.h"

namespace tex {

const uint16_t* rootsBelowSquares() {
    // Built once, on whichever thread asks first; the others wait for it.
    struct Table {
        uint16_t root[257] = {};
        Table() {
            for (uint32_t k = 1; k <= 256; ++k) root[k] = uint16_t(intSqrt(k * k - 1));
        }
    };
    static const Table table;
    return table.root;
}

// The same layer on a height that is not a power of two, one row after the
// other: there the row masks do not follow the layer's edges, and which
// staged row a masked neighbour finds is part of the result. Only three
// staged rows are ever kept (row 0 for the last row, and rows y - 1 and y),
// taking turns in three scratch rows.
template <typename Row>
static void filterInPlaceSerially(const Row& filter, int32_t layer) {
    const size_t rowBytes = size_t(layerWidth) * 3;
    const auto* source = reinterpret_cast<const uint8_t*>(layers[layer]);
    auto* staged = reinterpret_cast<uint8_t*>(layers[SCRATCH_LAYER]);
    auto* out = reinterpret_cast<uint8_t*>(layers[layer]);
    auto slot = [](int32_t r) { return layerHeight <= 3 || r == 0 ? r : 1 + (r & 1); };
    auto row = [&](int32_t r, int32_t y) {
        return r <= y ? staged + size_t(slot(r)) * rowBytes : source + size_t(r) * rowBytes;
    };
    for (int32_t y = 0; y < layerHeight; ++y) {
        std::memcpy(staged + size_t(slot(y)) * rowBytes, source + size_t(y) * rowBytes, rowBytes);
        filter(row((y - 1) & heightMask, y), row(y, y), row((y + 1) & heightMask, y), out + size_t(y) * rowBytes,
               rowBytes);
    }
}

void filter3x3(Kernel3x3 kernel, int32_t src, int32_t dst) {
    if (!validLayers(src, dst)) return;
    const VectorUnits units = vectorUnits();
    const auto row = [&](const uint8_t* up, const uint8_t* own, const uint8_t* down, uint8_t* out, size_t rowBytes) {
        filterRow(kernel, units, up, own, down, out, rowBytes);
    };
    if (src == dst && (layerHeight & (layerHeight - 1)) != 0) return filterInPlaceSerially(row, src);
    walkNeighbourRows(src, dst, row);
}

}  // namespace tex
