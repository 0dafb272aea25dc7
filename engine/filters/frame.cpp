// The 3x3 frame of the filters family: walks the rows of a layer, hands each
// row and its wrapped neighbours to a row kernel, and keeps the result equal
// to filtering a staged copy of the source even when the destination is the
// source.
#include "engine/filters/frame.h"

#include "engine/internal.h"

namespace tex {

bool haveAvx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

bool sse2KernelsOnly = false;

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
    const RowFilter filter = haveAvx2() && !sse2KernelsOnly ? rowFilterAvx2(kernel) : rowFilterSse2(kernel);
    const size_t rowBytes = size_t(layerWidth) * 3;
    const auto* source = reinterpret_cast<const uint8_t*>(layers[src]);
    auto* staged = reinterpret_cast<uint8_t*>(layers[SCRATCH_LAYER]);
    auto* out = reinterpret_cast<uint8_t*>(layers[dst]);
    // Separate layers: the source is never written, so it is read directly.
    // The same layer: row y is copied to the scratch layer just before it is
    // overwritten, so rows up to y are read from there and later rows, still
    // untouched, from the source.
    const bool inPlace = src == dst;
    auto row = [&](int32_t r, int32_t y) {
        return (inPlace && r <= y ? staged : source) + size_t(r) * rowBytes;
    };
    for (int32_t y = 0; y < layerHeight; ++y) {
        if (inPlace) std::memcpy(staged + size_t(y) * rowBytes, source + size_t(y) * rowBytes, rowBytes);
        filter(row((y - 1) & heightMask, y), row(y, y), row((y + 1) & heightMask, y), out + size_t(y) * rowBytes,
               rowBytes);
    }
}

}  // namespace tex
