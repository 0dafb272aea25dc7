// Pixel and smear filters: inversion, bit rotation, motion blur, seam removal.
//
// Not built yet: every procedure here does nothing until its family lands.
#include "engine/internal.h"

namespace tex {

void invertLayer(int32_t, int32_t) {}
void woodLayer(int32_t, int32_t, int32_t) {}
void motionBlur(int32_t, int32_t, int32_t) {}
void makeTilable(int32_t, int32_t, int32_t) {}

}  // namespace tex
