// Which vector code the engine is built with. x86 vector code (SSE2, and
// AVX2 or AVX-512 chosen at run time) is built with GCC or Clang for x86-64;
// elsewhere, or with -DTEX_PORTABLE_VECTORS, plain C++ forms that give the
// same bytes run instead. Only a macro: files compiled for wider units
// include this without pulling in any shared inline code.
//
// TEX_PLAIN_CXX builds the engine from ISO C++17 alone, as a compiler without
// GNU extensions would (no vector code, built-ins or 128-bit integers).
#pragma once

#if !defined(TEX_PORTABLE_VECTORS) && !defined(TEX_PLAIN_CXX) && defined(__x86_64__) && \
    (defined(__GNUC__) || defined(__clang__))
#define TEX_X86_VECTORS 1
#else
#define TEX_X86_VECTORS 0
#endif
