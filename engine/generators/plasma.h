// Plasma internals shared by the noise generators and their tests.
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace tex {

// subPlasma without the layer check, so that perlinNoise can draw its octaves
// into the scratch layer. `layer` must be 0..5 and step at least 1. With a
// `sum` (another layer's pixels), the result is also added into it with
// saturation, min(sum + layer, 255) on every byte: each row as soon as it is
// final where the cells allow, while it is still in the cache.
void drawPlasma(int32_t layer, int32_t step, int32_t seed, int32_t amplitude, bool colored, Pixel* sum = nullptr);

// Advances randomSeed as `count` calls of nextRandom would, in O(log count).
void skipRandom(uint64_t count);

// The cosine weight blendTexels gives a fraction: single((1 - cos(f * pi)) * 0.5).
float cosineWeight(float f);

// Chooses the eight-wide row blend (when the processor has AVX2) or the
// four-wide one; both give the same bits. Returns whether the eight-wide one
// is in use.
bool useWideBlend(bool wide);

// The smallest k <= 16 for which weight * 2^k and rest * 2^k are whole
// numbers, or 17.
int32_t weightGrain(float weight, float rest);

// Blends `count` consecutive positions of one cell row into out[0..count-1]:
// position k has column weight weight[k], rest[k] = single(1 - weight[k])
// and grain[k] = weightGrain(weight[k], rest[k]); the row has weight wy, rest
// ay and grain rowGrain. The result is what blendTexels gives. The tables
// must be 16-byte aligned and readable up to a multiple of 4 entries.
void blendCellRow(const Pixel corners[4], const float* weight, const float* rest, const int32_t* grain, float wy,
                  float ay, int32_t rowGrain, int64_t count, Pixel* out);

}  // namespace tex
