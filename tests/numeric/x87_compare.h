// SoftExt against the x87 itself, one kind of operation at a time, on the
// random values of ext_samples.h: the test suite runs a sample, the
// ext_compare tool runs it at full size. Only where the compiler's long
// double is the x87's (x86 with GCC or Clang).
#pragma once

#include "engine/numeric/exact.h"
#include "tests/numeric/ext_samples.h"

#if TEX_HAVE_X87

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <type_traits>

namespace textest {

enum class OpKind {
    Add, Subtract, Multiply, Divide, Sqrt, Compare, Negate,
    FromFloat, FromDouble, FromInt32, FromUInt32, FromInt64, FromUInt64,
    ToFloat, ToDouble, ToInt16, ToInt32, ToUInt32, ToInt64, ToUInt64,
};
constexpr OpKind ALL_OP_KINDS[] = {
    OpKind::Add, OpKind::Subtract, OpKind::Multiply, OpKind::Divide, OpKind::Sqrt, OpKind::Compare, OpKind::Negate,
    OpKind::FromFloat, OpKind::FromDouble, OpKind::FromInt32, OpKind::FromUInt32, OpKind::FromInt64, OpKind::FromUInt64,
    OpKind::ToFloat, OpKind::ToDouble, OpKind::ToInt16, OpKind::ToInt32, OpKind::ToUInt32, OpKind::ToInt64, OpKind::ToUInt64,
};
inline const char* opName(OpKind k) {
    static const char* const names[] = {"add", "subtract", "multiply", "divide", "sqrt", "compare", "negate",
                                        "from float", "from double", "from int32", "from uint32", "from int64",
                                        "from uint64", "to float", "to double", "to int16", "to int32", "to uint32",
                                        "to int64", "to uint64"};
    return names[int(k)];
}

inline long double x87(Bits b) { return tex::numeric::fromBits<long double>(b.signExponent, b.significand); }
using tex::numeric::bitsOf;
inline tex::SoftExt soft(Bits b) { return tex::SoftExt::fromBits(b.signExponent, b.significand); }
inline bool same(Bits a, Bits b) { return a.signExponent == b.signExponent && a.significand == b.significand; }
inline std::string show(Bits b) {
    char text[40];
    std::snprintf(text, sizeof text, "%04x:%016llx", unsigned(b.signExponent), (unsigned long long)b.significand);
    return text;
}

struct CompareResult {
    uint64_t count = 0, mismatches = 0;
    std::string first;  // the first mismatch, for the message
};

namespace detail {

// An extended value whose truncation often fits an integer of `bits` bits.
inline Bits integerSized(Random& r, int bits) {
    Bits b = randomBits(r);
    if (r.below(8) < 6) b.signExponent = uint16_t((b.signExponent & 0x8000) | (16383 - 2 + r.below(bits + 3)));
    return b;
}

// Truncation of v fits the integer type T (decided on the x87 value).
template <typename T>
bool fits(long double v) {
    const long double low = std::is_signed<T>::value ? -std::ldexp(1.0L, int(sizeof(T) * 8 - 1)) - 1.0L : -1.0L;
    const long double high = std::ldexp(1.0L, int(sizeof(T) * 8 - (std::is_signed<T>::value ? 1 : 0)));
    return v > low && v < high;
}

template <typename T>
bool integerOut(Random& r, std::string& detail) {
    const Bits b = integerSized(r, int(sizeof(T) * 8));
    const long double v = x87(b);
    const T got = static_cast<T>(soft(b));
    T want;
    if (fits<T>(v)) {
        want = static_cast<T>(v);
    } else {
        want = static_cast<T>(std::is_signed<T>::value ? std::numeric_limits<T>::min() : T(T(1) << (sizeof(T) * 8 - 1)));
    }
    if (got == want) return true;
    detail = show(b) + " gives " + std::to_string(got) + ", expected " + std::to_string(want);
    return false;
}

template <typename T>
bool integerIn(Random& r, std::string& detail) {
    T v;
    const uint64_t raw = r.next() >> (r.below(4) == 0 ? r.below(64) : 0);
    std::memcpy(&v, &raw, sizeof v);
    const Bits got = bitsOf(tex::SoftExt(v)), want = bitsOf(static_cast<long double>(v));
    if (same(got, want)) return true;
    detail = std::to_string(v) + " gives " + show(got) + ", expected " + show(want);
    return false;
}

}  // namespace detail

inline CompareResult compareWithX87(OpKind kind, uint64_t count, uint64_t seed) {
    Random r(seed * 977 + uint64_t(kind));
    CompareResult result;
    std::string detail;
    for (uint64_t i = 0; i < count; ++i) {
        bool ok = true;
        switch (kind) {
            case OpKind::Add: case OpKind::Subtract: case OpKind::Multiply: case OpKind::Divide: case OpKind::Compare: {
                const Bits a = randomBits(r), b = randomBits(r, &a);
                const long double x = x87(a), y = x87(b);
                const tex::SoftExt p = soft(a), q = soft(b);
                if (kind == OpKind::Compare) {
                    const int want = (x == y) | (x != y) << 1 | (x < y) << 2 | (x <= y) << 3 | (x > y) << 4 | (x >= y) << 5;
                    const int got = (p == q) | (p != q) << 1 | (p < q) << 2 | (p <= q) << 3 | (p > q) << 4 | (p >= q) << 5;
                    ok = got == want;
                    if (!ok) detail = show(a) + " ? " + show(b) + ": relations " + std::to_string(got) + ", expected " + std::to_string(want);
                    break;
                }
                long double w;
                tex::SoftExt g;
                char op;
                switch (kind) {
                    case OpKind::Add: w = x + y, g = p + q, op = '+'; break;
                    case OpKind::Subtract: w = x - y, g = p - q, op = '-'; break;
                    case OpKind::Multiply: w = x * y, g = p * q, op = '*'; break;
                    default: w = x / y, g = p / q, op = '/'; break;
                }
                ok = same(bitsOf(g), bitsOf(w));
                if (!ok) detail = show(a) + " " + op + " " + show(b) + " gives " + show(bitsOf(g)) + ", expected " + show(bitsOf(w));
                break;
            }
            case OpKind::Sqrt: case OpKind::Negate: {
                const Bits a = randomBits(r);
                const bool root = kind == OpKind::Sqrt;
                const Bits want = bitsOf(root ? __builtin_sqrtl(x87(a)) : -x87(a));
                const Bits got = bitsOf(root ? tex::softSqrt(soft(a)) : -soft(a));
                ok = same(got, want);
                if (!ok) detail = std::string(root ? "sqrt " : "-") + show(a) + " gives " + show(got) + ", expected " + show(want);
                break;
            }
            case OpKind::FromFloat: {
                const uint32_t raw = uint32_t(r.next());
                float f;
                std::memcpy(&f, &raw, 4);
                const Bits got = bitsOf(tex::SoftExt(f)), want = bitsOf(static_cast<long double>(f));
                ok = same(got, want);
                if (!ok) detail = "float " + std::to_string(raw) + " gives " + show(got) + ", expected " + show(want);
                break;
            }
            case OpKind::FromDouble: {
                const uint64_t raw = r.next();
                double d;
                std::memcpy(&d, &raw, 8);
                const Bits got = bitsOf(tex::SoftExt(d)), want = bitsOf(static_cast<long double>(d));
                ok = same(got, want);
                if (!ok) detail = "double " + std::to_string(raw) + " gives " + show(got) + ", expected " + show(want);
                break;
            }
            case OpKind::FromInt32: ok = detail::integerIn<int32_t>(r, detail); break;
            case OpKind::FromUInt32: ok = detail::integerIn<uint32_t>(r, detail); break;
            case OpKind::FromInt64: ok = detail::integerIn<int64_t>(r, detail); break;
            case OpKind::FromUInt64: ok = detail::integerIn<uint64_t>(r, detail); break;
            case OpKind::ToFloat: case OpKind::ToDouble: {
                Bits a = randomBits(r);
                // Most values near the target's range, where rounding, subnormals and overflow happen.
                const int32_t span = kind == OpKind::ToFloat ? 160 : 1100;
                if (r.below(4) < 3) a.signExponent = uint16_t((a.signExponent & 0x8000) | (16383 - span + int32_t(r.below(2 * span))));
                uint64_t got, want;
                if (kind == OpKind::ToFloat) {
                    const float g = static_cast<float>(soft(a)), w = static_cast<float>(x87(a));
                    uint32_t gb, wb;
                    std::memcpy(&gb, &g, 4);
                    std::memcpy(&wb, &w, 4);
                    got = gb, want = wb;
                } else {
                    const double g = static_cast<double>(soft(a)), w = static_cast<double>(x87(a));
                    std::memcpy(&got, &g, 8);
                    std::memcpy(&want, &w, 8);
                }
                ok = got == want;
                if (!ok) detail = show(a) + " gives " + std::to_string(got) + ", expected " + std::to_string(want);
                break;
            }
            case OpKind::ToInt16: ok = detail::integerOut<int16_t>(r, detail); break;
            case OpKind::ToInt32: ok = detail::integerOut<int32_t>(r, detail); break;
            case OpKind::ToUInt32: ok = detail::integerOut<uint32_t>(r, detail); break;
            case OpKind::ToInt64: ok = detail::integerOut<int64_t>(r, detail); break;
            case OpKind::ToUInt64: ok = detail::integerOut<uint64_t>(r, detail); break;
        }
        ++result.count;
        if (!ok && result.mismatches++ == 0) result.first = detail;
    }
    return result;
}

}  // namespace textest

#endif  // TEX_HAVE_X87
