// ext_compare: the numeric layer against the x87 and the C library, at any size.
//
//   build/tests/numeric/ext_compare --operations 1e9 --functions 1e8
//
// --operations N: SoftExt against the x87 on N random operations of each kind
// (+ - * /, sqrt, comparisons, every conversion), bit for bit.
// --functions N: extSin, extCos, extAtan and extExp against the C library's
// sinl, cosl, atanl and expl on N arguments each, drawn the way the engine's
// operations draw them; for each way, how many 64-bit results differ and by
// how many ulps, and how many float32 results (or bytes) of the engine's
// formulas differ. Where the two 64-bit results differ, and on every 64th
// argument, MPFR gives the exact value: the worst errors of both in ulps.
// Every 64th argument also checks that SoftExt gives the same bits.
// Single-threaded; --seed S changes the sample. Exits 1 on any mismatch of
// SoftExt, 0 otherwise (function differences are reported, not failures).
#include <mpfr.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/numeric/atan.h"
#include "engine/numeric/exp.h"
#include "engine/numeric/sincos.h"
#include "tests/numeric/x87_compare.h"

namespace {

using textest::Random;
constexpr float PI_F = 3.14159274101257324f;

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int runOperations(uint64_t count, uint64_t seed) {
    std::printf("SoftExt against the x87, %llu random operations of each kind:\n", (unsigned long long)count);
    int failures = 0;
    for (const textest::OpKind kind : textest::ALL_OP_KINDS) {
        const auto start = std::chrono::steady_clock::now();
        const textest::CompareResult r = textest::compareWithX87(kind, count, seed);
        std::printf("  %-12s %llu mismatches in %llu  (%.0f s)%s%s\n", textest::opName(kind),
                    (unsigned long long)r.mismatches, (unsigned long long)r.count, seconds(start),
                    r.mismatches ? "  first: " : "", r.first.c_str());
        std::fflush(stdout);
        failures += r.mismatches != 0;
    }
    return failures;
}

// One argument of a way the engine evaluates a function, and the values
// around it the formula needs.
struct Sample {
    long double arg;
    float a, b, c;
    int32_t i, j;
};

using Function = long double (*)(long double);

// A way of using a function: how its arguments arise and what the engine
// keeps of its value (float32 results and bytes, packed into one word).
struct Way {
    const char* name;
    Sample (*draw)(Random&);
    uint64_t (*narrow)(const Sample&, long double value);
};

uint32_t bitsOfFloat(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}
float uniform(Random& r, float low, float high) { return low + (high - low) * float(r.next() >> 40) * 0x1p-24f; }
// |v| spread evenly over the binades 2^lowExponent .. 2^highExponent, either sign.
float logUniform(Random& r, int lowExponent, int highExponent) {
    const float v = std::ldexp(1.0f + float(r.next() >> 41) * 0x1p-23f, lowExponent + int(r.below(highExponent - lowExponent)));
    return r.below(2) ? -v : v;
}
int32_t truncated(long double v) {  // the engine's truncInt32
    if (!(v == v)) return 0;
    if (v >= 2147483647.0L) return INT32_MAX;
    if (v <= -2147483648.0L) return INT32_MIN;
    return static_cast<int32_t>(v);
}
float single(long double v) { return static_cast<float>(v); }

// A log-polar layer: height h, column j < width, step = single(2 pi / h).
void logPolarColumn(Random& r, Sample& s) {
    const int32_t h = 1 + int32_t(r.below(r.below(2) ? 65536 : 2048));
    s.i = int32_t(r.below(uint32_t(h)));
    s.j = int32_t(r.below(r.below(2) ? 65536 : 2048));
    const float step = single(static_cast<long double>(PI_F) * 2.0L / h);
    s.a = step;
    s.b = single(expl(static_cast<long double>(s.i) * step));  // the row's radius
    s.arg = single(static_cast<long double>(s.j) * step);
}

const Way COSINE_WAYS[] = {
    {"blend weight (1 - cos(f pi)) / 2",
     [](Random& r) {
         Sample s{};
         s.a = r.below(4) ? logUniform(r, -24, 0) : uniform(r, -1.0f, 1.0f);
         s.arg = static_cast<long double>(s.a) * PI_F;
         return s;
     },
     [](const Sample&, long double c) { return uint64_t(bitsOfFloat(single((1.0L - c) * 0.5L))); }},
    {"twirl single(cos(angle))",
     [](Random& r) {
         Sample s{};
         s.arg = logUniform(r, -20, 17);
         return s;
     },
     [](const Sample&, long double c) { return uint64_t(bitsOfFloat(single(c))); }},
    {"tunnel |cos(angle) depth inv|",
     [](Random& r) {
         Sample s{};
         const int32_t dx = int32_t(r.below(65536)) - 32768, dy = int32_t(r.below(65536)) - 32768;
         s.c = 1.0f / float(dx == 0 ? 1 : dx);
         s.arg = single(atanl(static_cast<long double>(double(dy) * s.c)));
         s.b = logUniform(r, -8, 10);
         return s;
     },
     [](const Sample& s, long double c) { return uint64_t(bitsOfFloat(single(std::fabs(c * s.b * s.c)))); }},
    {"log-polar column x",
     [](Random& r) {
         Sample s{};
         logPolarColumn(r, s);
         return s;
     },
     [](const Sample& s, long double c) { return uint64_t(bitsOfFloat(single(s.b * c + float(s.j / 2)))); }},
};

const Way SINE_WAYS[] = {
    {"sinePlasma byte and row term",
     [](Random& r) {
         Sample s{};
         s.i = int32_t(r.below(65536));
         s.a = logUniform(r, -16, 8);   // frequency
         s.b = uniform(r, -63.5f, 190.5f);  // the other term
         s.c = single(logUniform(r, -4, 12) * 0.00390625L);  // scale
         s.arg = static_cast<long double>(s.i) * s.a;
         return s;
     },
     [](const Sample& s, long double v) {
         const uint8_t grey = uint8_t(truncated((v * 63.5L + s.b) * s.c));
         return uint64_t(bitsOfFloat(single(v * 63.5L + 127.0L))) << 8 | grey;
     }},
    {"sineDistort row and column shifts",
     [](Random& r) {
         Sample s{};
         s.i = int32_t(r.below(65536));
         s.a = logUniform(r, -16, 8);  // frequency
         s.b = logUniform(r, -8, 12);  // amplitude
         s.j = int32_t(r.below(65536));
         s.arg = static_cast<long double>(s.a) * s.i;
         return s;
     },
     [](const Sample& s, long double v) {
         const long double shift = s.b * v;
         return uint64_t(bitsOfFloat(single(s.j + shift))) << 32 | bitsOfFloat(single(shift));
     }},
    {"sineLayerRGB byte",
     [](Random& r) {
         Sample s{};
         const float f = single(static_cast<long double>(logUniform(r, -16, 16)) * PI_F);
         s.arg = static_cast<long double>(double(r.below(256)) * double(f));
         return s;
     },
     [](const Sample&, long double v) { return uint64_t(uint8_t(truncated((v + 1.0L) * 127.5L))); }},
    {"twirl single(sin(angle))",
     [](Random& r) {
         Sample s{};
         s.arg = logUniform(r, -20, 17);
         return s;
     },
     [](const Sample&, long double v) { return uint64_t(bitsOfFloat(single(v))); }},
    {"log-polar column y",
     [](Random& r) {
         Sample s{};
         logPolarColumn(r, s);
         return s;
     },
     [](const Sample& s, long double v) { return uint64_t(bitsOfFloat(single(s.b * v + float(s.i / 2)))); }},
    {"float32 times int up to 65535, any size",
     [](Random& r) {
         Sample s{};
         s.arg = static_cast<long double>(logUniform(r, -30, 128)) * int32_t(r.below(65536));
         return s;
     },
     [](const Sample&, long double v) { return uint64_t(bitsOfFloat(single(v))); }},
};

const Way ARC_TANGENT_WAYS[] = {
    {"relief atan(gy / gx) and its code",
     [](Random& r) {
         Sample s{};
         s.i = int32_t(r.below(2040)) - 1020;
         s.i = s.i >= 0 ? s.i + 1 : s.i;  // gx != 0
         s.j = int32_t(r.below(2041)) - 1020;
         s.arg = static_cast<long double>(s.j) / s.i;
         return s;
     },
     [](const Sample& s, long double v) {
         const float a = single(v), K = 40.584510803222656f;
         const uint8_t code = s.i < 0 ? uint8_t(int32_t(double(a) * K)) : uint8_t(int32_t(static_cast<long double>(a) * K + 127.5L));
         return uint64_t(bitsOfFloat(a)) << 8 | code;
     }},
    {"sampling atan(dy * single(1 / dx))",
     [](Random& r) {
         Sample s{};
         const int32_t dx = int32_t(r.below(65536)) - 32768, dy = int32_t(r.below(65536)) - 32768;
         s.arg = static_cast<long double>(double(dy) * (1.0f / float(dx == 0 ? 1 : dx)));
         return s;
     },
     [](const Sample&, long double v) { return uint64_t(bitsOfFloat(single(v))); }},
};

const Way EXPONENTIAL_WAYS[] = {
    {"log-polar radius single(exp(i step))",
     [](Random& r) {
         Sample s{};
         logPolarColumn(r, s);
         s.arg = static_cast<long double>(s.i) * s.a;
         return s;
     },
     [](const Sample&, long double v) { return uint64_t(bitsOfFloat(single(v))); }},
    {"any argument in [-11400, 11357]",
     [](Random& r) {
         Sample s{};
         s.arg = (static_cast<long double>(r.next() >> 11) * 0x1p-53L) * 22757.0L - 11400.0L;
         return s;
     },
     [](const Sample&, long double v) { return uint64_t(bitsOfFloat(single(v))); }},
};

struct FunctionUnderTest {
    const char* name;
    Function ours, library;
    tex::SoftExt (*soft)(tex::SoftExt);
    int (*exact)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t);
    const Way* ways;
    size_t wayCount;
};

// (v - exact) in units in the last place of v's binade (of the smallest
// normal's for subnormals).
double ulpError(long double v, mpfr_srcptr exact, mpfr_ptr scratch) {
    // An infinity is right exactly when the exact value rounds beyond the largest.
    if (!std::isfinite(v)) return mpfr_get_ld(exact, MPFR_RNDN) == v ? 0.0 : INFINITY;
    int e;
    std::frexp(v == 0 ? 0x1p-16382L : v, &e);
    if (e < -16381) e = -16381;
    mpfr_set_ld(scratch, v, MPFR_RNDN);
    mpfr_sub(scratch, scratch, exact, MPFR_RNDN);
    mpfr_mul_2si(scratch, scratch, 64 - e, MPFR_RNDN);
    return std::fabs(mpfr_get_d(scratch, MPFR_RNDN));
}

struct Tally {
    uint64_t count = 0, differ = 0, differByOne = 0, narrowDiffer = 0, checked = 0, softMismatch = 0;
    uint64_t oursCloser = 0, libraryCloser = 0;
    double worstUlps = 0, oursWorst = 0, libraryWorst = 0;
    long double oursWorstArg = 0;
    std::string firstNarrow;
};

int runFunctions(uint64_t count, uint64_t seed) {
    const FunctionUnderTest functions[] = {
        {"sin", tex::numeric::sine<long double>, sinl, tex::numeric::sine<tex::SoftExt>, mpfr_sin, SINE_WAYS, std::size(SINE_WAYS)},
        {"cos", tex::numeric::cosine<long double>, cosl, tex::numeric::cosine<tex::SoftExt>, mpfr_cos, COSINE_WAYS, std::size(COSINE_WAYS)},
        {"atan", tex::numeric::arcTangent<long double>, atanl, tex::numeric::arcTangent<tex::SoftExt>, mpfr_atan,
         ARC_TANGENT_WAYS, std::size(ARC_TANGENT_WAYS)},
        {"exp", tex::numeric::exponential<long double>, expl, tex::numeric::exponential<tex::SoftExt>, mpfr_exp,
         EXPONENTIAL_WAYS, std::size(EXPONENTIAL_WAYS)},
    };
    mpfr_t x, exact, scratch;
    mpfr_inits2(256, x, exact, scratch, (mpfr_ptr)nullptr);
    int failures = 0;
    std::printf("The engine's functions against the C library's, %llu arguments each:\n", (unsigned long long)count);
    for (const FunctionUnderTest& f : functions) {
        const auto start = std::chrono::steady_clock::now();
        std::printf("%s\n", f.name);
        Tally all;
        for (size_t w = 0; w < f.wayCount; ++w) {
            const Way& way = f.ways[w];
            Random r(seed * 1000003 + w * 7919 + uint64_t(f.name[0]));
            const uint64_t n = count / f.wayCount;
            Tally t;
            for (uint64_t k = 0; k < n; ++k) {
                const Sample s = way.draw(r);
                const long double ours = f.ours(s.arg), library = f.library(s.arg);
                ++t.count;
                const bool differ = std::memcmp(&ours, &library, 10) != 0;
                if (way.narrow(s, ours) != way.narrow(s, library) && t.narrowDiffer++ == 0) {
                    char text[160];
                    std::snprintf(text, sizeof text, "argument %.21Lg: %.21Lg against %.21Lg", s.arg, ours, library);
                    t.firstNarrow = text;
                }
                const bool sampled = (k & 63) == 0;
                if (sampled) {
                    const textest::Bits b = textest::bitsOf(s.arg);
                    const textest::Bits soft = textest::bitsOf(f.soft(textest::soft(b)));
                    t.softMismatch += !textest::same(soft, textest::bitsOf(ours));
                }
                if (differ) {
                    ++t.differ;
                    const textest::Bits a = textest::bitsOf(ours), b = textest::bitsOf(library);
                    const uint64_t d = a.significand > b.significand ? a.significand - b.significand : b.significand - a.significand;
                    t.differByOne += a.signExponent == b.signExponent && d == 1;
                    if (a.signExponent == b.signExponent && double(d) > t.worstUlps) t.worstUlps = double(d);
                }
                if (differ || sampled) {
                    if (!std::isfinite(s.arg)) continue;
                    ++t.checked;
                    mpfr_set_ld(x, s.arg, MPFR_RNDN);
                    f.exact(exact, x, MPFR_RNDN);
                    const double eo = ulpError(ours, exact, scratch), el = ulpError(library, exact, scratch);
                    if (eo > t.oursWorst) t.oursWorst = eo, t.oursWorstArg = s.arg;
                    if (el > t.libraryWorst) t.libraryWorst = el;
                    if (differ) (eo < el ? t.oursCloser : t.libraryCloser)++;
                }
            }
            std::printf("  %-40s %llu args: 64-bit results differ in %llu (%llu by 1 ulp, at most %.0f ulps; "
                        "closer to exact: ours %llu, library's %llu); float32/byte results differ in %llu; "
                        "worst error over %llu exact checks: ours %.3f ulp (at %.21Lg), library's %.3f ulp; "
                        "SoftExt differs in %llu%s%s\n",
                        way.name, (unsigned long long)t.count, (unsigned long long)t.differ,
                        (unsigned long long)t.differByOne, t.worstUlps, (unsigned long long)t.oursCloser,
                        (unsigned long long)t.libraryCloser, (unsigned long long)t.narrowDiffer,
                        (unsigned long long)t.checked, t.oursWorst, t.oursWorstArg, t.libraryWorst,
                        (unsigned long long)t.softMismatch, t.narrowDiffer ? "; first: " : "", t.firstNarrow.c_str());
            std::fflush(stdout);
            failures += t.softMismatch != 0;
            all.count += t.count, all.differ += t.differ, all.narrowDiffer += t.narrowDiffer;
            if (t.oursWorst > all.oursWorst) all.oursWorst = t.oursWorst;
        }
        std::printf("  all: %llu args, 64-bit results differ in %llu, float32/byte results in %llu, "
                    "worst error of ours %.3f ulp  (%.0f s)\n",
                    (unsigned long long)all.count, (unsigned long long)all.differ, (unsigned long long)all.narrowDiffer,
                    all.oursWorst, seconds(start));
    }
    mpfr_clears(x, exact, scratch, (mpfr_ptr)nullptr);
    return failures;
}

uint64_t parseCount(const char* text) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (!end || *end || !(v >= 0) || v > 1e15) {
        std::fprintf(stderr, "ext_compare: '%s' is not a count: give a number such as 1e9.\n", text);
        std::exit(2);
    }
    return uint64_t(v);
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t operations = 0, functions = 0, seed = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 < argc && option == "--operations") operations = parseCount(argv[++i]);
        else if (i + 1 < argc && option == "--functions") functions = parseCount(argv[++i]);
        else if (i + 1 < argc && option == "--seed") seed = parseCount(argv[++i]);
        else {
            std::fprintf(stderr, "usage: ext_compare [--operations N] [--functions N] [--seed S], e.g. --operations 1e9 --functions 1e8\n");
            return 2;
        }
    }
    const auto start = std::chrono::steady_clock::now();
    int failures = 0;
    if (operations) failures += runOperations(operations, seed);
    if (functions) failures += runFunctions(functions, seed);
    std::printf("%d failures, %.0f s in all\n", failures, seconds(start));
    return failures ? 1 : 0;
}
