// Perlin-style fractal value noise: subPlasma octaves summed with saturation.
//
// The base octave only seeds and advances the random stream (its range of 1
// masks every value to 0). Each later octave halves the grid spacing, scales
// the range by persistence/256 in 32-bit integer arithmetic, is drawn into
// the scratch layer and added into the destination, saturating at 255.
#include "engine/generators/plasma.h"
#include "engine/internal.h"
#include "engine/threads.h"

namespace tex {

namespace {

// dst = min(dst + src, 255) on every byte, written as dst + min(src, 255 -
// dst) so that it stays in bytes: the compilers make it a byte minimum and
// add (or a saturating add) rather than widening to 16 bits. Compiled once
// more for AVX2 on x86.
TEX_ALWAYS_INLINE void addSaturatedLoop(uint8_t* dst, const uint8_t* src, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t room = uint8_t(255 - dst[i]);
        dst[i] = uint8_t(dst[i] + (src[i] < room ? src[i] : room));
    }
}
void addSaturatedPlain(uint8_t* dst, const uint8_t* src, size_t n) { addSaturatedLoop(dst, src, n); }
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION void addSaturatedAvx2(uint8_t* dst, const uint8_t* src, size_t n) { addSaturatedLoop(dst, src, n); }
#endif

}  // namespace

// A step of 0 or less has no base grid: the call does nothing. The octave
// loop ends after at most 31 halvings of the step, whatever `octaves` is.
void perlinNoise(int32_t dst, int32_t step, int32_t seed, int32_t amplitude, int32_t persistence, int32_t octaves,
                 bool colored) {
    if (!validLayers(dst) || step <= 0) return;
    drawPlasma(dst, step, seed, 1, colored);
    uint32_t range = uint32_t(amplitude), spacing = uint32_t(step);
    for (int32_t k = 1; k < octaves; ++k) {
        range = (range * uint32_t(persistence)) >> 8;  // product modulo 2^32, logical shift
        if (range == 0) return;
        spacing >>= 1;
        if (spacing == 0) return;
        drawPlasma(SCRATCH_LAYER, int32_t(spacing), 0, int32_t(range), colored);
        auto* sum = reinterpret_cast<uint8_t*>(layers[dst]);
        const auto* octave = reinterpret_cast<const uint8_t*>(layers[SCRATCH_LAYER]);
        auto* add = addSaturatedPlain;
#if TEX_X86_VECTORS
        if (vectorUnits() >= VectorUnits::Avx2) add = addSaturatedAvx2;
#endif
        forEachByteRange(layerBytes(), [&](size_t at, size_t n) { add(sum + at, octave + at, n); });
    }
}

}  // namespace tex
