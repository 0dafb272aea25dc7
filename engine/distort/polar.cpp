// Polar and radial distortions: twirl, kaleidoscope, tunnel and log-polar.
//
// Not built yet: every procedure here does nothing until its family lands.
#include "engine/internal.h"

namespace tex {

void twirlLayer(int32_t, int32_t, float, float) {}
void kaleidLayer(int32_t, int32_t, int32_t) {}
void tunnelDistort(int32_t, int32_t, float) {}
void logPolLayer(int32_t, int32_t) {}

}  // namespace tex
