// 3x3 median filter on wrapped neighbourhoods: each channel byte becomes the
// fifth largest of the nine bytes of its neighbourhood, the exact median
// whatever the order of equal values. The kernel sorts the three columns and
// takes the middle of the largest low, the middle middle and the smallest
// high (kernels.cpp).
#include "engine/filters/frame.h"

namespace tex {

void medianLayer(int32_t src, int32_t dst) { filter3x3(KERNEL_MEDIAN, src, dst); }

}  // namespace tex
