// The colour passes of passes.h compiled for AVX2, chosen at run time when the
// processor has it. The whole file is compiled for AVX2 and holds nothing
// else, so no AVX2 code can be shared with the rest of the engine.
#include "engine/vectors.h"
#if TEX_X86_VECTORS
#pragma GCC target("avx2")
#include "engine/colour/hsv_block.h"
#include "engine/colour/passes.h"

namespace tex {

ColourPasses colourPassesAvx2() { return passesOfThisFile(); }
HsvBlock hsvBlockAvx2() { return hsvBlock; }

}  // namespace tex
#endif
