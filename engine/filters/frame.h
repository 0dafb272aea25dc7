// Private interface of the filters family: the shared 3x3 frame and the
// helpers its row kernels need.
//
// The 3x3 filters run one row at a time. A row filter computes every byte of
// an output row from the same channel's bytes in the rows above, own and
// below, with neighbours 3 bytes (one pixel) to the left and right, wrapping
// at the row ends. The kernels are plain loops (kernels.cpp), compiled once
// more for AVX2 on x86-64; both give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/vectors.h"

namespace tex {

enum Kernel3x3 { KERNEL_BLUR, KERNEL_SHARPEN, KERNEL_EMBOSS, KERNEL_EDGE_H, KERNEL_EDGE_V, KERNEL_MEDIAN, KERNEL_COUNT };

// Computes the rowBytes output bytes of one row; out never aliases an input.
// units: which form of the loops runs (vectorUnits(); the plain one wherever
// the x86 forms are not built).
void filterRow(Kernel3x3 kernel, VectorUnits units, const uint8_t* up, const uint8_t* own, const uint8_t* down, uint8_t* out,
               size_t rowBytes);

// Runs a kernel over the layer with wrapped neighbourhoods. The destination
// may be the source: its rows are then staged in the scratch layer one by one
// just before they are overwritten.
void filter3x3(Kernel3x3 kernel, int32_t src, int32_t dst);

// intSqrt(k*k - 1) for k = 1..256 (entry 0 is 0). intSqrt returns k instead
// of k - 1 for some of these values, the only inputs up to 65536 where it
// differs from the floor of the square root; the emboss kernels look them up.
const uint16_t* rootsBelowSquares();

}  // namespace tex
