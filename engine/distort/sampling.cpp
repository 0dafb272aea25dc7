// Storage shared by the distortions' row sampler.
#include "engine/distort/sampling.h"

namespace tex::distort {

float rowX[MAX_LAYER_SIDE], rowY[MAX_LAYER_SIDE];

}  // namespace tex::distort
