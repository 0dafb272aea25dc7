// Layer combiners: weighted sum and product, random scatter, minimum and
// maximum selection and bitwise combination of two layers.
//
// Not built yet: every procedure here does nothing until its family lands.
#include "engine/internal.h"

namespace tex {

void addLayers(int32_t, int32_t, int32_t, float, float) {}
void mulLayers(int32_t, int32_t, int32_t, float, float) {}
void randCombineLayers(int32_t, int32_t, int32_t, float, float) {}
void minCombineLayers(int32_t, int32_t, int32_t, float, float) {}
void maxCombineLayers(int32_t, int32_t, int32_t, float, float) {}
void xorLayers(int32_t, int32_t, int32_t, float, float) {}
void orLayers(int32_t, int32_t, int32_t, float, float) {}
void andLayers(int32_t, int32_t, int32_t, float, float) {}

}  // namespace tex
