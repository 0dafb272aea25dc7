// The 3x3 row kernels for AVX-512 (foundation and byte-and-word
// instructions), chosen at run time when the processor has them. The whole
// file is compiled for AVX-512 and holds nothing else, so no AVX-512 code can
// be shared with the rest of the engine.
#include "engine/vectors.h"
#if TEX_X86_VECTORS
#pragma GCC target("avx512f,avx512bw")
// GCC's own AVX-512 headers trip this warning.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define TEX_KERNELS_AVX512
#include "engine/filters/kernels.h"

namespace tex {

// Only the emboss gains from 64-byte vectors, by its square roots; the other
// kernels are bound by their unaligned neighbour loads, which then cross a
// cache line far more often, and run faster with AVX2.
RowFilter rowFilterAvx512(Kernel3x3 kernel) {
    return kernel == KERNEL_EMBOSS ? filterRow<Avx512, wide<Avx512, emboss16<Avx512>>> : nullptr;
}

}  // namespace tex
#endif
