// Perlin-style fractal value noise: subPlasma octaves summed with saturation.
//
// Not built yet: every procedure here does nothing until its family lands.
#include "engine/internal.h"

namespace tex {

void perlinNoise(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, bool) {}

}  // namespace tex
