// The choice of vector units (vectors.h): what the processor has, capped by
// the build option, the environment and the callers.
#include "engine/vectors.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace tex {

namespace {

VectorUnits processorUnits() {
#if TEX_X86_VECTORS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi"))
        return VectorUnits::Avx512;
    if (__builtin_cpu_supports("avx2")) return VectorUnits::Avx2;
    return VectorUnits::Sse2;
#else
    return VectorUnits::Plain;
#endif
}

// A level by name; `otherwise` for anything else (an unknown name caps nothing).
VectorUnits parseUnits(const char* name, VectorUnits otherwise) {
    if (!name) return otherwise;
    for (VectorUnits u : {VectorUnits::Plain, VectorUnits::Sse2, VectorUnits::Avx2, VectorUnits::Avx512})
        if (std::strcmp(name, vectorUnitsName(u)) == 0) return u;
    return otherwise;
}

VectorUnits lower(VectorUnits a, VectorUnits b) { return int(a) < int(b) ? a : b; }

// What the processor, the build and the environment allow.
VectorUnits allowedUnits() {
#if defined(TEX_MAX_VECTORS)
    const VectorUnits built = parseUnits(TEX_MAX_VECTORS, VectorUnits::Avx512);
#else
    const VectorUnits built = VectorUnits::Avx512;
#endif
    return lower(lower(processorUnits(), built), parseUnits(std::getenv("TEX_VECTORS"), VectorUnits::Avx512));
}

VectorUnits& unitsInUse() {
    static VectorUnits units = allowedUnits();
    return units;
}

}  // namespace

const char* vectorUnitsName(VectorUnits units) {
    switch (units) {
        case VectorUnits::Plain: return "plain";
        case VectorUnits::Sse2: return "sse2";
        case VectorUnits::Avx2: return "avx2";
        case VectorUnits::Avx512: break;
    }
    return "avx512";
}

VectorUnits vectorUnits() { return unitsInUse(); }

VectorUnits setVectorUnits(VectorUnits cap) {
    static const VectorUnits allowed = allowedUnits();
    return unitsInUse() = lower(allowed, cap);
}

}  // namespace tex
