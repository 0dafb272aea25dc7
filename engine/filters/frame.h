// Private interface of the filters family: the shared 3x3 frame and the
// helpers its row kernels need.
//
// The 3x3 filters run one row at a time. A row filter computes every byte of
// an output row from the same channel's bytes in the rows above, own and
// below, with neighbours 3 bytes (one pixel) to the left and right, wrapping
// at the row ends. The kernels exist once per instruction set (SSE2, the
// x86-64 baseline, AVX2 and AVX-512 where the processor has them) and once in
// plain C++ for every other processor, and all give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tex {

enum Kernel3x3 { KERNEL_BLUR, KERNEL_SHARPEN, KERNEL_EMBOSS, KERNEL_EDGE_H, KERNEL_EDGE_V, KERNEL_MEDIAN, KERNEL_COUNT };

// Computes the rowBytes output bytes of one row; out never aliases an input.
// A set without a kernel of its own returns nullptr, and the next narrower
// set serves.
using RowFilter = void (*)(const uint8_t* up, const uint8_t* own, const uint8_t* down, uint8_t* out, size_t rowBytes);

RowFilter rowFilterPortable(Kernel3x3 kernel);
RowFilter rowFilterSse2(Kernel3x3 kernel);
RowFilter rowFilterAvx2(Kernel3x3 kernel);
RowFilter rowFilterAvx512(Kernel3x3 kernel);

// Runs a kernel over the layer with wrapped neighbourhoods. The destination
// may be the source: its rows are then staged in the scratch layer one by one
// just before they are overwritten.
void filter3x3(Kernel3x3 kernel, int32_t src, int32_t dst);

// intSqrt(k*k - 1) for k = 1..256 (entry 0 is 0). intSqrt returns k instead
// of k - 1 for some of these values, the only inputs up to 65536 where it
// differs from the floor of the square root; the emboss kernels look them up.
const uint16_t* rootsBelowSquares();

enum KernelSet { KERNELS_PORTABLE, KERNELS_SSE2, KERNELS_AVX2, KERNELS_AVX512 };

// The widest set the processor and the system support (AVX-512 means the
// foundation and byte-and-word instructions); the plain C++ set on every
// processor but x86-64.
KernelSet bestKernelSet();

// filter3x3 uses the widest set up to this one (the tests lower it to check
// every set on one machine).
extern KernelSet kernelSetLimit;

}  // namespace tex
