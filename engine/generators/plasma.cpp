// Plasma generators: cosine-interpolated value noise on a grid (subPlasma)
// and a sum of two sine waves (sinePlasma).
//
// Not built yet: every procedure here does nothing until its family lands.
#include "engine/internal.h"

namespace tex {

void subPlasma(int32_t, int32_t, int32_t, int32_t, bool) {}
void sinePlasma(int32_t, float, float, float) {}

}  // namespace tex
