// The engine's sine, cosine, arc tangent and exponential and the exact
// helpers: the long double and SoftExt forms give the same bits (where the
// x87 exists), the special values are exact, and a sample of correctly
// rounded references is met within one unit in the last place.
#include <gtest/gtest.h>

#include "engine/numeric/atan.h"
#include "engine/numeric/exp.h"
#include "engine/numeric/sincos.h"
#include "tests/numeric/ext_samples.h"
#include "tests/numeric/references.h"

namespace {

using namespace tex::numeric;
using tex::ext;
using tex::SoftExt;

const char* const NAMES[] = {"sin", "cos", "atan", "exp"};

template <typename T>
T apply(int f, T x) {
    switch (f) {
        case 0: return sine(x);
        case 1: return cosine(x);
        case 2: return arcTangent(x);
        default: return exponential(x);
    }
}

template <typename T>
T make(ExtBits b) {
    return fromBits<T>(b.signExponent, b.significand);
}
[[maybe_unused]] bool same(ExtBits a, ExtBits b) { return a.signExponent == b.signExponent && a.significand == b.significand; }

// Distance in units in the last place between two finite values of one sign
// and binade neighbourhood: their patterns read as integers.
int64_t ulps(ExtBits a, ExtBits b) {
    const int ea = a.signExponent & 0x7FFF, eb = b.signExponent & 0x7FFF;
    if (a.signExponent != b.signExponent) {
        if ((a.signExponent ^ b.signExponent) & 0x8000) return INT64_MAX;
        const uint64_t ma = a.significand, mb = b.significand;
        // neighbours across a power of two: one is 2^63, the other all ones
        if (ea == eb + 1 && ma == 0x8000000000000000ull) return int64_t(~mb) + 1;
        if (eb == ea + 1 && mb == 0x8000000000000000ull) return int64_t(~ma) + 1;
        return INT64_MAX;
    }
    return a.significand > b.significand ? int64_t(a.significand - b.significand) : int64_t(b.significand - a.significand);
}

// The arguments the comparisons draw: the engine's ranges (products of a
// float32 and a small integer, angles, gradient ratios, exponents of a few
// units) and bit patterns of every class.
[[maybe_unused]] ExtBits argument(textest::Random& r, int f) {
    switch (r.below(4)) {
        case 0: {
            const float v = float(int32_t(r.next() >> 40) - (1 << 23)) * 0x1p-10f;
            return bitsOf(SoftExt(v) * SoftExt(int(r.below(65536))));
        }
        case 1: {
            const double v = (double(r.next() >> 11) * 0x1p-53 - 0.5) * (f == 3 ? 200.0 : 20.0);
            return bitsOf(SoftExt(v));
        }
        default: {
            const textest::Bits b = textest::randomBits(r);
            return {b.signExponent, b.significand};
        }
    }
}

[[maybe_unused]] constexpr int SAMPLES = 100000;

TEST(ExtFunctions, LongDoubleAndSoftExtGiveTheSameBits) {
#if TEX_HAVE_X87
    textest::Random r(11);
    for (int f = 0; f < 4; ++f) {
        int mismatches = 0;
        for (int i = 0; i < SAMPLES; ++i) {
            const ExtBits x = argument(r, f);
            const ExtBits hard = bitsOf(apply(f, make<long double>(x))), soft = bitsOf(apply(f, make<SoftExt>(x)));
            if (!same(hard, soft) && mismatches++ == 0)
                ADD_FAILURE() << NAMES[f] << " of " << std::hex << x.signExponent << ":" << x.significand << ": "
                              << hard.significand << " vs " << soft.significand;
        }
        EXPECT_EQ(mismatches, 0) << NAMES[f];
    }
#else
    GTEST_SKIP() << "no x87 long double on this platform";
#endif
}

TEST(ExtFunctions, MeetCorrectlyRoundedReferencesWithinOneUlp) {
    for (const textest::Reference& ref : textest::REFERENCES) {
        const ext x = make<ext>(ref.x);
        const ext t = absolute(x) <= ext(1e7) ? x / ext(1000) : ext(1) / x;
        const ExtBits want[4] = {ref.sin, ref.cos, ref.atan, ref.exp};
        const ExtBits got[4] = {bitsOf(sine(x)), bitsOf(cosine(x)), bitsOf(arcTangent(x)), bitsOf(exponential(t))};
        for (int f = 0; f < 4; ++f)
            EXPECT_LE(ulps(got[f], want[f]), 1) << NAMES[f] << " of " << std::hex << ref.x.signExponent << ":"
                                                << ref.x.significand << " gives " << got[f].significand;
    }
}

template <typename T>
void checkSpecialValues() {
    const T zero = T(0), inf = fromBits<T>(0x7FFF, INTEGER_BIT), nan = fromBits<T>(0x7FFF, 0xA000000000000001ull);
    auto expectBits = [](T v, uint16_t se, uint64_t m, const char* what) {
        const ExtBits b = bitsOf(v);
        EXPECT_EQ(b.signExponent, se) << what;
        EXPECT_EQ(b.significand, m) << what;
    };
    expectBits(sine(zero), 0, 0, "sin 0");
    expectBits(sine(-zero), 0x8000, 0, "sin -0");
    expectBits(cosine(-zero), 0x3FFF, INTEGER_BIT, "cos -0");
    expectBits(exponential(zero), 0x3FFF, INTEGER_BIT, "exp 0");
    expectBits(arcTangent(-zero), 0x8000, 0, "atan -0");
    for (const T v : {sine(inf), sine(-inf), cosine(inf), cosine(-inf)}) expectBits(v, 0xFFFF, 0xC000000000000000ull, "of inf");
    for (const T v : {sine(nan), cosine(nan), arcTangent(nan), exponential(nan)})
        expectBits(v, 0x7FFF, 0xE000000000000001ull, "NaN quieted");
    expectBits(arcTangent(inf), 0x3FFF, 0xC90FDAA22168C235ull, "atan inf");
    expectBits(arcTangent(-inf), 0xBFFF, 0xC90FDAA22168C235ull, "atan -inf");
    expectBits(exponential(inf), 0x7FFF, INTEGER_BIT, "exp inf");
    expectBits(exponential(T(11357)), 0x7FFF, INTEGER_BIT, "exp overflow");
    expectBits(exponential(-inf), 0, 0, "exp -inf");
    expectBits(exponential(T(-11400.5)), 0, 0, "exp underflow");
    // exp(-11390) is 6670.06 times the smallest subnormal.
    expectBits(exponential(T(-11390)), 0, 6670, "exp to a subnormal");
    const ExtBits largest = bitsOf(exponential(T(11356.5)));  // just below the overflow
    EXPECT_EQ(largest.signExponent, 0x7FFE);
    // Sine keeps tiny arguments, subnormal ones included, and odd symmetry.
    expectBits(sine(fromBits<T>(0x8000, 5)), 0x8000, 5, "sin of a subnormal");
    EXPECT_TRUE(sine(T(-3.5)) == -sine(T(3.5)) && cosine(T(-3.5)) == cosine(T(3.5)));
}

TEST(ExtFunctions, SpecialValuesAreExact) {
    checkSpecialValues<SoftExt>();
#if TEX_HAVE_X87
    checkSpecialValues<long double>();
#endif
}

#if TEX_HAVE_X87
long double x87Remainder(long double x, long double y) {
    long double r;
    __asm__("1: fprem\n\tfnstsw %%ax\n\ttestb $4, %%ah\n\tjnz 1b" : "=t"(r) : "0"(x), "u"(y) : "ax", "cc");
    return r;
}
long double x87Round(long double x) {
    __asm__("frndint" : "+t"(x));
    return x;
}
#endif

// Remainder, rounding to an integer and square root against fprem, frndint
// and fsqrt, in both forms; values of every class.
TEST(ExactHelpers, MatchTheX87Instructions) {
#if TEX_HAVE_X87
    textest::Random r(5);
    for (int i = 0; i < SAMPLES; ++i) {
        textest::Bits a = textest::randomBits(r), b = textest::randomBits(r, &a);
        if (r.below(2) && (a.significand >> 63)) a.signExponent = uint16_t((a.signExponent & 0x8000) | (16383 - 3 + r.below(70)));
        const long double x = make<long double>({a.signExponent, a.significand});
        const long double y = make<long double>({b.signExponent, b.significand});
        const SoftExt sx = make<SoftExt>({a.signExponent, a.significand}), sy = make<SoftExt>({b.signExponent, b.significand});
        const ExtBits want[3] = {bitsOf(x87Remainder(x, y)), bitsOf(x87Round(x)), bitsOf(squareRoot(x))};
        const ExtBits got[2][3] = {{bitsOf(remainder(x, y)), bitsOf(roundToInteger(x)), bitsOf(squareRoot(x))},
                                   {bitsOf(remainder(sx, sy)), bitsOf(roundToInteger(sx)), bitsOf(squareRoot(sx))}};
        for (int form = 0; form < 2; ++form)
            for (int k = 0; k < 3; ++k)
                ASSERT_TRUE(same(got[form][k], want[k]))
                    << (k == 0 ? "remainder" : k == 1 ? "integer" : "sqrt") << (form ? " (SoftExt)" : "") << " of "
                    << std::hex << a.signExponent << ":" << a.significand << ", " << b.signExponent << ":" << b.significand
                    << " gives " << got[form][k].signExponent << ":" << got[form][k].significand << ", expected "
                    << want[k].signExponent << ":" << want[k].significand;
        EXPECT_EQ(isFinite(x), isFinite(sx));
        EXPECT_EQ(isNaN(x), isNaN(sx));
    }
#else
    GTEST_SKIP() << "no x87 long double on this platform";
#endif
}

TEST(ExactHelpers, InterfaceOnExt) {
    EXPECT_TRUE(tex::extFmod(ext(-725), ext(360)) == ext(-5));
    EXPECT_TRUE(tex::extRint(ext(2.5)) == ext(2) && tex::extRint(ext(-3.5)) == ext(-4));
    EXPECT_TRUE(tex::extSqrt(ext(2)) * tex::extSqrt(ext(2)) != ext(2));  // rounded, not exact
    EXPECT_TRUE(tex::extFabs(ext(-0.25)) == ext(0.25));
    EXPECT_TRUE(tex::extIsNan(tex::extFromBits(0xFFFF, 0xC000000000000000ull)));
    EXPECT_FALSE(tex::extIsFinite(tex::extFromBits(0x7FFF, INTEGER_BIT)));
    EXPECT_TRUE(tex::extSin(ext(0.5)) == sine(ext(0.5)));
}

}  // namespace
