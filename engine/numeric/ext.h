// Extended precision, the engine's own number type.
//
// `ext` is binary floating point with a 64-bit significand (explicit integer
// bit), a 15-bit exponent and subnormals, rounded to nearest with ties to even
// after every operation: exactly what the x87 computes in 64-bit precision.
// Wherever the engine evaluates an expression in extended precision it uses
// `ext` and rounds the result once to float (static_cast<float>).
//
// With GCC or Clang on x86 `ext` is the x87 long double itself; everywhere
// else (and with -DTEX_SOFT_EXT) it is SoftExt, the same arithmetic in
// portable integer code. The functions below are the engine's own and are
// evaluated with ext's + - * / only, so every platform gets the same bits.
#pragma once

#include <cfloat>
#include <cstdint>

// TEX_HAVE_X87: long double is the x87 format here (whatever ext is), so the
// tests can check SoftExt and the functions against it.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) && \
    LDBL_MANT_DIG == 64 && !defined(TEX_PLAIN_CXX)
#define TEX_HAVE_X87 1
#else
#define TEX_HAVE_X87 0
#endif

#if !defined(TEX_SOFT_EXT) && TEX_HAVE_X87
#define TEX_EXT_IS_LONG_DOUBLE 1
#else
#define TEX_EXT_IS_LONG_DOUBLE 0
#endif

#include "engine/numeric/soft_ext.h"

namespace tex {

#if TEX_EXT_IS_LONG_DOUBLE
using ext = long double;
#else
using ext = SoftExt;
#endif

// The value with the given 80-bit pattern: sign and 15-bit exponent, then the
// 64-bit significand with its integer bit. For constants that no double holds.
ext extFromBits(uint16_t signExponent, uint64_t significand);

// Correctly rounded or exact, as the x87 computes them.
ext extSqrt(ext x);
ext extFabs(ext x);
ext extFmod(ext x, ext y);  // x - trunc(x / y) * y, exact
ext extRint(ext x);         // nearest integer, halves to even
bool extIsNan(ext x);
bool extIsFinite(ext x);

// Where ext is the x87 long double, sets the x87 to round to a 64-bit
// significand if it does not (Windows may start a process at 53 bits);
// nothing for SoftExt. initLayers calls it.
void extUseFullPrecision();

// The engine's transcendental functions, within one unit in the last place of
// the 64-bit significand; the same bits for both forms of ext, by
// construction (sincos.h, atan.h and exp.h state each bound and its proof).
ext extSin(ext x);
ext extCos(ext x);
ext extAtan(ext x);
ext extExp(ext x);

}  // namespace tex
