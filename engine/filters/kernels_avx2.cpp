// The 3x3 row kernels for AVX2, chosen at run time when the processor has it.
// The whole file is compiled for AVX2 and holds nothing else, so no AVX2 code
// can be shared with the rest of the engine.
#include "engine/vectors.h"
#if TEX_X86_VECTORS
#pragma GCC target("avx2")
#define TEX_KERNELS_AVX2
#include "engine/filters/kernels.h"

namespace tex {

RowFilter rowFilterAvx2(Kernel3x3 kernel) { return rowFilterFor<Avx2>(kernel); }

}  // namespace tex
#endif
