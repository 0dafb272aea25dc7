// Which vector code the engine is built with and which units it uses.
//
// x86 vector code is built with GCC or Clang for x86-64; elsewhere, or with
// -DTEX_PORTABLE_VECTORS, plain C++ forms that give the same bytes run
// instead. The x86 forms start from SSE2 (every x86-64 has it) and move to
// AVX2 or AVX-512 where the processor has them, chosen at run time by
// vectorUnits(). The choice can be capped, so that the paths an ordinary PC
// takes can be measured on a machine that has more: by the environment
// variable TEX_VECTORS (plain, sse2, avx2 or avx512), by the build option
// TEX_MAX_VECTORS (the same names), or by setVectorUnits in tests and
// benchmarks. Files compiled for wider units include this without pulling in
// any shared inline code.
//
// TEX_PLAIN_CXX builds the engine from ISO C++17 alone, as a compiler without
// GNU extensions would (no vector code, built-ins or 128-bit integers).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if !defined(TEX_PORTABLE_VECTORS) && !defined(TEX_PLAIN_CXX) && defined(__x86_64__) && \
    (defined(__GNUC__) || defined(__clang__))
#define TEX_X86_VECTORS 1
#else
#define TEX_X86_VECTORS 0
#endif

// GCC and Clang vector extensions (not ISO C++): available on every target
// those compilers build for, but never under TEX_PLAIN_CXX.
#if !defined(TEX_PLAIN_CXX) && (defined(__GNUC__) || defined(__clang__))
#define TEX_VECTOR_EXTENSIONS 1
#else
#define TEX_VECTOR_EXTENSIONS 0
#endif

// One loop source for several units: a body marked TEX_ALWAYS_INLINE, called
// from a plain function and, where the x86 forms are built, from one marked
// TEX_AVX2_FUNCTION, which the compiler vectorises for AVX2 (chosen when
// vectorUnits() says so). Only that function is AVX2 code. Loops that gain
// from 64-byte vectors are compiled a third time, under TEX_AVX512_FUNCTION.
#if TEX_VECTOR_EXTENSIONS
#define TEX_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define TEX_ALWAYS_INLINE inline
#endif
#if TEX_X86_VECTORS
#define TEX_AVX2_FUNCTION __attribute__((target("avx2")))
#define TEX_AVX512_FUNCTION __attribute__((target("avx2,avx512f,avx512bw,avx512vl")))
#endif

namespace tex {

// Ordered: each includes the ones before it.
enum class VectorUnits { Plain = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3 };

// The units in use: the widest the processor has (for AVX-512: F, BW and
// VBMI), capped by TEX_VECTORS, TEX_MAX_VECTORS and setVectorUnits. Plain
// wherever the x86 forms are not built.
VectorUnits vectorUnits();

// Caps the units at `cap` (never above what the processor has) and returns
// what is now in use; setVectorUnits(VectorUnits::Avx512) undoes a cap. Not
// to be called while an operation runs.
VectorUnits setVectorUnits(VectorUnits cap);

namespace {  // each file its own copy, compiled for that file's units

// int32_t(f) for -1 < f < 2^23, in loops that the compilers vectorize.
// WebAssembly's conversion saturates, which x86 engines emulate in several
// instructions each; there the float is truncated by its rounding
// instruction instead and 2^23 added, which puts the whole number in the low
// bits of the sum's encoding (exact: the whole number is below 2^23; above
// -1 it is 0, of either sign).
TEX_ALWAYS_INLINE int32_t truncSmall(float f) {
#if defined(__wasm_simd128__)
    const float shifted = std::trunc(f) + 0x1p23f;
    int32_t bits;
    std::memcpy(&bits, &shifted, sizeof bits);
    return bits & 0x7FFFFF;
#else
    return int32_t(f);
#endif
}

// min(int32_t(f), 255) for 0 <= f < 2^31. WebAssembly clamps the float
// first, so as to convert a small value; elsewhere the integer is clamped,
// which the compilers do in fewer instructions for SSE2.
TEX_ALWAYS_INLINE int32_t truncAtMost255(float f) {
#if defined(__wasm_simd128__)
    return truncSmall(f < 255.0f ? f : 255.0f);
#else
    const int32_t v = int32_t(f);
    return v > 255 ? 255 : v;
#endif
}

// std::memcpy of N bytes, a size known to the compiler, between places that
// do not overlap. Clang for WebAssembly makes each copy of more than a few
// words a call into the C library, which costs more than the copy itself for
// the blocks of a few hundred bytes that the passes move in and out of local
// arrays; there it is made inline (whole 16-byte vectors).
template <size_t N>
TEX_ALWAYS_INLINE void copyBlock(void* to, const void* from) {
#if defined(__wasm_simd128__) && defined(__clang__)
    __builtin_memcpy_inline(to, from, N);
#else
    std::memcpy(to, from, N);
#endif
}

// The first n <= N bytes: a whole block as copyBlock copies it.
template <size_t N>
TEX_ALWAYS_INLINE void copyUpTo(void* to, const void* from, size_t n) {
    if (n == N)
        copyBlock<N>(to, from);
    else
        std::memcpy(to, from, n);
}

}  // namespace

// The name used by TEX_VECTORS for a level ("plain", "sse2", "avx2", "avx512").
const char* vectorUnitsName(VectorUnits units);

}  // namespace tex
