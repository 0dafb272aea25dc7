// The 3x3 row kernels in plain C++, for processors other than x86-64 (and for
// checking them there): the same kernels over the portable vector interface.
#include "engine/filters/kernels.h"

namespace tex {

RowFilter rowFilterPortable(Kernel3x3 kernel) { return rowFilterFor<Portable>(kernel); }

}  // namespace tex
