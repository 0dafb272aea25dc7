// The interface of ext.h on the type `ext` is: the exact helpers of exact.h
// and the functions of sincos.h, atan.h and exp.h, written once for both
// forms of the type.
#include "engine/numeric/atan.h"
#include "engine/numeric/exact.h"
#include "engine/numeric/exp.h"
#include "engine/numeric/sincos.h"

namespace tex {

ext extFromBits(uint16_t signExponent, uint64_t significand) {
    return numeric::fromBits<ext>(signExponent, significand);
}
ext extSqrt(ext x) { return numeric::squareRoot(x); }
ext extFabs(ext x) { return numeric::absolute(x); }
ext extFmod(ext x, ext y) { return numeric::remainder(x, y); }
ext extRint(ext x) { return numeric::roundToInteger(x); }
bool extIsNan(ext x) { return numeric::isNaN(x); }
bool extIsFinite(ext x) { return numeric::isFinite(x); }
void extUseFullPrecision() {
#if TEX_EXT_IS_LONG_DOUBLE
    // Bits 8 and 9 of the control word: 11 for a 64-bit significand.
    uint16_t control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    if ((control & 0x300) != 0x300) {
        control = uint16_t(control | 0x300);
        __asm__ volatile("fldcw %0" : : "m"(control));
    }
#endif
}

ext extSin(ext x) { return numeric::sine(x); }
ext extCos(ext x) { return numeric::cosine(x); }
ext extAtan(ext x) { return numeric::arcTangent(x); }
ext extExp(ext x) { return numeric::exponential(x); }

}  // namespace tex
