// Displacement distortions: sine waves, displacement maps, tiling, random
// jitter and constant shifts.
//
// Not built yet: every procedure here does nothing until its family lands.
#include "engine/internal.h"

namespace tex {

void sineDistort(int32_t, int32_t, float, float, float, float) {}
void mapDistort(int32_t, int32_t, int32_t, float, float) {}
void tileLayer(int32_t, int32_t) {}
void noiseDistort(int32_t, int32_t, int32_t, int32_t) {}
void moveDistort(int32_t, int32_t, int32_t, int32_t) {}

}  // namespace tex
