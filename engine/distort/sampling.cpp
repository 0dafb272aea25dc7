// Storage shared by the distortions' row sampler.
#include "engine/distort/sampling.h"

namespace tex::distort {

float rowX[ROW_ENTRIES], rowY[ROW_ENTRIES];
int32_t rowWholeX[ROW_ENTRIES], rowWholeY[ROW_ENTRIES];
float rowWeightX[ROW_ENTRIES], rowWeightY[ROW_ENTRIES];

}  // namespace tex::distort
