// Tone curves: a sine curve per channel and histogram equalisation.
//
// Not built yet: every procedure here does nothing until its family lands.
#include "engine/internal.h"

namespace tex {

void sineLayerRGB(int32_t, int32_t, float, float, float) {}
void equalizeRGB(int32_t, int32_t) {}
void stretchRGB(int32_t, int32_t) {}

}  // namespace tex
