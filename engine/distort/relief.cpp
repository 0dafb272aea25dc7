// Relief and morphology: gradient-direction relief, erosion and dilation.
//
// Not built yet: every procedure here does nothing until its family lands.
#include "engine/internal.h"

namespace tex {

void sculptureLayer(int32_t, int32_t) {}
void erodeLayer(int32_t, int32_t) {}
void dilateLayer(int32_t, int32_t) {}

}  // namespace tex
