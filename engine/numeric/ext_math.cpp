// Placeholder: forwards to the C library until the engine's own functions land.
#include <cmath>
#include <cstring>

#include "engine/numeric/ext.h"

namespace tex {

ext extFromBits(uint16_t signExponent, uint64_t significand) {
    unsigned char bytes[sizeof(long double)] = {};
    std::memcpy(bytes, &significand, 8);
    std::memcpy(bytes + 8, &signExponent, 2);
    long double v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
}

ext extSqrt(ext x) { return sqrtl(x); }
ext extFabs(ext x) { return fabsl(x); }
ext extFmod(ext x, ext y) { return fmodl(x, y); }
ext extRint(ext x) { return rintl(x); }
bool extIsNan(ext x) { return x != x; }
bool extIsFinite(ext x) { return std::isfinite(x); }
ext extSin(ext x) { return sinl(x); }
ext extCos(ext x) { return cosl(x); }
ext extAtan(ext x) { return atanl(x); }
ext extExp(ext x) { return expl(x); }

}  // namespace tex
