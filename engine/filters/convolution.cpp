// 3x3 convolution filters on wrapped neighbourhoods: binomial blur,
// sharpening, emboss and the two edge detectors. All arithmetic is integer;
// the kernels themselves live in kernels.cpp, the frame in frame.cpp.
#include "engine/filters/frame.h"

namespace tex {

void blurLayer(int32_t src, int32_t dst) { filter3x3(KERNEL_BLUR, src, dst); }
void sharpenLayer(int32_t src, int32_t dst) { filter3x3(KERNEL_SHARPEN, src, dst); }
void embossLayer(int32_t src, int32_t dst) { filter3x3(KERNEL_EMBOSS, src, dst); }
void edgeHLayer(int32_t src, int32_t dst) { filter3x3(KERNEL_EDGE_H, src, dst); }
void edgeVLayer(int32_t src, int32_t dst) { filter3x3(KERNEL_EDGE_V, src, dst); }

}  // namespace tex
