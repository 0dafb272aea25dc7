// Perlin-style fractal value noise: subPlasma octaves summed with saturation.
//
// The base octave only seeds and advances the random stream (its range of 1
// masks every value to 0). Each later octave halves the grid spacing, scales
// the range by persistence/256 in 32-bit integer arithmetic, is drawn into
// the scratch layer and added into the destination, saturating at 255; the
// drawing adds each row as soon as it is final, while it is in the cache.
#include "engine/generators/plasma.h"
#include "engine/internal.h"

namespace tex {

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
        drawPlasma(SCRATCH_LAYER, int32_t(spacing), 0, int32_t(range), colored, layers[dst]);
    }
}

}  // namespace tex
