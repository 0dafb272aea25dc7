// The 3x3 row kernels for SSE2, which every x86-64 processor has.
#include "engine/vectors.h"
#if TEX_X86_VECTORS
#include "engine/filters/kernels.h"

namespace tex {

RowFilter rowFilterSse2(Kernel3x3 kernel) { return rowFilterFor<Sse2>(kernel); }

}  // namespace tex
#endif
