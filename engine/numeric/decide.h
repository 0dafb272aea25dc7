// Double first, extended to decide.
//
// Every result the engine defines as single(e) (e evaluated in ext, rounded
// once to float32), or as trunc, round or saturate of an ext value, can often
// be had from e evaluated in double instead. The caller evaluates e in double
// as v and states a bound B with |v - x| <= B, where x is the exact ext value
// the definition asks for (not the real value of the formula: the ext
// roundings count). Every function below then answers one question: does
// every real within B of v round (or truncate, or saturate) to one and the
// same result? If so, that result is x's too, and is returned; if not, the
// caller evaluates e in ext. The caller writes the bound of each formula
// beside it, with how it follows.
//
// Contract, for every decideX(v, bound, out):
// - bound is >= 0 and covers |v - x|; 0 is right only when every double
//   operation of v is exact, or is the same single rounding ext makes.
// - The answer is made on an interval a little wider than [v - B, v + B]
//   (it also covers the rounding of v - B and v + B themselves), so it never
//   decides wrongly; it may decline a few values it could have taken.
// - NaN, infinities and |v| >= 2^127 are never decided (the ext form keeps
//   its NaN and overflow rules); neither is a float32 result whose sign of
//   zero is in doubt.
// - Each is a monotone test of two rounded values and has no branches on the
//   decided path, so plain loops over it vectorize.
//
// Fallback counts: builds with TEX_COUNT_FALLBACKS (the counting tool's copy
// of the engine) count each decision per operation; the dispatcher names the
// operation being run. Elsewhere the counting compiles to nothing.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace tex::numeric {

// The tests have internal linkage: files compiled for wider vector units
// include them too, and an external inline copy built for those units could
// otherwise be the one the linker keeps for every caller.
namespace {

// The half-width w of the interval tested, about (B + 2^-50 |v|)(1 + 2^-50).
// The tests below apply a monotone rounding to lo = v - w and hi = v + w as
// computed in double, so they are sound when lo <= v - B and hi >= v + B.
// Computing w rounds twice (at most 2^-52 of w together) and lo, hi once
// (at most 2^-53 (|v| + w)); the excess of w over B, at least 2^-51 (B + |v|),
// covers both. A bound of 0 (v is exact) leaves w = 0: then lo = hi = v
// with no rounding at all, and v's own rounding is the defined one, on a
// midpoint too.
inline double decisionWidth(double v, double bound) {
    const double w = (bound + std::fabs(v) * 0x1p-50) * (1.0 + 0x1p-50);
    return bound == 0.0 ? 0.0 : w;
}

// True for v that the tests may take: finite and |v| < 2^127 (so that the
// conversions to float below are defined and never overflow).
inline bool decidable(double v) {
    return std::fabs(v) < 0x1p127;  // false for NaN
}

inline uint32_t floatBits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// single(e): out = the float32 rounding of v when every real within the bound
// rounds alike (bit for bit, so a zero of doubtful sign is declined).
inline bool decideSingle(double v, double bound, float& out) {
    const double w = decisionWidth(v, bound);
    const bool ok = decidable(v) && decidable(w);
    const double below = v - w, above = v + w;  // computed before the selection: no branch
    const float low = static_cast<float>(ok ? below : 0.0), high = static_cast<float>(ok ? above : 1.0);
    out = low;
    return ok & (floatBits(low) == floatBits(high));
}

// trunc(e) to int32 with truncInt32's clamping (beyond the range it clamps;
// NaN, which the callers exclude, gives INT32_MAX). Clamped before the
// conversion, without branches, so that loops over it vectorize.
inline int32_t truncClamped(double v) {
    const double c = v < 2147483647.0 ? v : 2147483647.0;
    return static_cast<int32_t>(c > -2147483648.0 ? c : -2147483648.0);
}
template <typename Rounding, typename Result>
inline bool decideMonotone(double v, double bound, Rounding g, Result& out);
inline bool decideTrunc(double v, double bound, int32_t& out) { return decideMonotone(v, bound, truncClamped, out); }

// saturateByte(e): 255 at or above 255, 0 at or below 0, else truncated.
inline int32_t saturatedByte(double v) {
    const bool negative = v < 0.0, high = v > 255.0;
    return static_cast<int32_t>(negative ? 0.0 : high ? 255.0 : v);
}
inline bool decideSaturate(double v, double bound, uint8_t& out) {
    int32_t byte = 0;
    const bool decided = decideMonotone(v, bound, saturatedByte, byte);
    out = uint8_t(byte);
    return decided;
}

// round(e): the nearest integer, halves to even, as a double. The boundaries
// are the odd multiples of 1/2; |v| < 2^51 keeps the adding trick exact.
inline double nearestInteger(double v) {
    const double shift = 0x1p52;
    const double magnitude = v < 0 ? -v : v;
    const double r = (magnitude + shift) - shift;  // rounds to nearest, halves to even
    return v < 0 ? -r : r;
}
inline bool decideRound(double v, double bound, double& out) {
    const double w = decisionWidth(v, bound);
    const double magnitude = v < 0 ? -v : v;
    if (!(magnitude < 0x1p51) || !(w < 0.25)) return false;
    const double low = nearestInteger(v - w), high = nearestInteger(v + w);
    out = low;
    const bool zeroInDoubt = low == 0.0 && w > 0.0 && v - w <= 0.0 && v + w >= 0.0;
    return low == high && !zeroInDoubt;
}

// Any other monotone (non-decreasing) rounding g of the value, such as the
// byte of single(x): out = g(v) when g gives one result across the bound.
// g is called on finite values below 2^128 in magnitude only.
template <typename Rounding, typename Result>
inline bool decideMonotone(double v, double bound, Rounding g, Result& out) {
    const double w = decisionWidth(v, bound);
    const bool ok = decidable(v) && decidable(w);
    const double below = v - w, above = v + w;
    const Result low = g(ok ? below : 0.0), high = g(ok ? above : 1.0);
    out = low;
    return ok & (low == high);
}

}  // namespace

// ---- Fallback counts ---------------------------------------------------------

// Opcodes index the counts; anything else (direct calls) goes to the last row.
constexpr int COUNTED_OPERATIONS = 257;

struct DecisionCount {
    uint64_t decisions;
    uint64_t fallbacks;
};

#if defined(TEX_COUNT_FALLBACKS)
// Set by the dispatcher around each record; -1 outside any.
void setCountedOperation(int32_t opcode);
// `decisions` evaluations of which `fallbacks` went to ext, for the current
// operation. Thread-safe.
void countDecisions(uint64_t decisions, uint64_t fallbacks);
DecisionCount countedDecisions(int32_t opcode);  // opcode -1: outside any record
void clearDecisionCounts();
#else
inline void setCountedOperation(int32_t) {}
inline void countDecisions(uint64_t, uint64_t) {}
#endif

namespace {

// Counts one decision; returns `decided` so that it reads inline:
//   if (counted(decideSingle(v, bound, f))) ...
inline bool counted(bool decided) {
    countDecisions(1, decided ? 0 : 1);
    return decided;
}

// The decided single(e), else exact() (an ext evaluation rounded to float).
template <typename Exact>
inline float singleOr(double v, double bound, Exact exact) {
    float f;
    return counted(decideSingle(v, bound, f)) ? f : exact();
}

template <typename Exact>
inline uint8_t saturateOr(double v, double bound, Exact exact) {
    uint8_t b;
    return counted(decideSaturate(v, bound, b)) ? b : exact();
}

template <typename Exact>
inline int32_t truncOr(double v, double bound, Exact exact) {
    int32_t t;
    return counted(decideTrunc(v, bound, t)) ? t : exact();
}

}  // namespace

}  // namespace tex::numeric
