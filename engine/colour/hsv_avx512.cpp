// The HSV block of hsv_block.h compiled for 512-bit units (AVX-512 F, BW and
// VL), chosen at run time with the other 512-bit passes (wideUnitsEnabled).
// The whole file is compiled for those units and holds nothing else, so no
// such code can be shared with the rest of the engine.
#include "engine/vectors.h"
#if TEX_X86_VECTORS
#pragma GCC target("avx2,avx512f,avx512bw,avx512vl")
#include "engine/colour/hsv_block.h"

namespace tex {

HsvBlock hsvBlockAvx512() { return hsvBlock; }

}  // namespace tex
#endif
