// Perlin-style fractal value noise: subPlasma octaves summed with saturation.
//
// The base octave only seeds and advances the random stream (its range of 1
// masks every value to 0). Each later octave halves the grid spacing, scales
// the range by persistence/256 in 32-bit integer arithmetic, is drawn into
// the scratch layer and added into the destination, saturating at 255.
#include "engine/generators/plasma.h"
#include "engine/internal.h"
#include "engine/threads.h"

#if TEX_X86_VECTORS
#include <emmintrin.h>
#endif

namespace tex {

namespace {

// dst = min(dst + src, 255) on every byte.
void addSaturated(uint8_t* dst, const uint8_t* src, size_t n) {
    size_t i = 0;
#if TEX_X86_VECTORS
    for (; i + 16 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_adds_epu8(a, b));
    }
#endif
    for (; i < n; ++i) {
        const unsigned sum = unsigned(dst[i]) + src[i];
        dst[i] = uint8_t(sum > 255 ? 255 : sum);
    }
}

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
        forEachByteRange(layerBytes(), [&](size_t at, size_t n) { addSaturated(sum + at, octave + at, n); });
    }
}

}  // namespace tex
