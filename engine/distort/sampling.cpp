// Storage shared by the distortions' row sampler.
#include "engine/distort/sampling.h"

namespace tex::distort {

thread_local float rowX[ROW_ENTRIES], rowY[ROW_ENTRIES];
thread_local int32_t rowWholeX[ROW_ENTRIES], rowWholeY[ROW_ENTRIES];
thread_local float rowWeightX[ROW_ENTRIES], rowWeightY[ROW_ENTRIES];

}  // namespace tex::distort
