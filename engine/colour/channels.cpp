// Channel scaling and adjustment in RGB and HSV.
//
// Not built yet: every procedure here does nothing until its family lands.
#include "engine/internal.h"

namespace tex {

void scaleLayerRGB(int32_t, int32_t, float, float, float) {}
void scaleLayerHSV(int32_t, int32_t, float, float, float) {}
void adjustLayerRGB(int32_t, int32_t, int32_t, int32_t, int32_t) {}
void adjustLayerHSV(int32_t, int32_t, float, float, float) {}

}  // namespace tex
