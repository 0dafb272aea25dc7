// 3x3 convolution filters on wrapped neighbourhoods.
//
// Not built yet: every procedure here does nothing until its family lands.
#include "engine/internal.h"

namespace tex {

void blurLayer(int32_t, int32_t) {}
void sharpenLayer(int32_t, int32_t) {}
void embossLayer(int32_t, int32_t) {}
void edgeHLayer(int32_t, int32_t) {}
void edgeVLayer(int32_t, int32_t) {}

}  // namespace tex
