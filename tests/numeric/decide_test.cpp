// The rounding tests of decide.h: a decision, when made, is the rounding of
// every value within the bound, and values at a boundary are declined.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/internal.h"
#include "engine/numeric/decide.h"

namespace {

using namespace tex::numeric;
using tex::ext;

// The float32 midpoint above f, as a double (exact: 25 bits).
double midpointAbove(float f) { return (double(f) + double(std::nextafter(f, INFINITY))) / 2; }

TEST(Decide, SingleTakesClearValuesAndDeclinesMidpoints) {
    float f;
    ASSERT_TRUE(decideSingle(0.1, 1e-20, f));
    EXPECT_EQ(f, 0.1f);
    for (float base : {1.0f, 0.3f, 255.5f, -7.25f, 1e-40f, 1e38f}) {
        const double m = midpointAbove(base);
        EXPECT_FALSE(decideSingle(m, 0x1p-80, f)) << base;  // the ext value may sit on either side
        ASSERT_TRUE(decideSingle(m, 0.0, f)) << base;        // exact: ties to even, as ext rounds it
        EXPECT_EQ(f, static_cast<float>(ext(m))) << base;
        EXPECT_FALSE(decideSingle(std::nextafter(m, 0.0), std::fabs(m) * 0x1p-52, f)) << base;
        // Far enough off the midpoint, the decision holds for both ends of the bound.
        const double bound = std::fabs(m) * 0x1p-40, below = m - 4 * bound;
        ASSERT_TRUE(decideSingle(below, bound, f)) << base;
        EXPECT_EQ(f, static_cast<float>(ext(below) - ext(bound))) << base;
        EXPECT_EQ(f, static_cast<float>(ext(below) + ext(bound))) << base;
    }
}

TEST(Decide, SpecialValuesAndZeroSignsGoToExt) {
    float f;
    uint8_t b;
    int32_t t;
    double r;
    for (double v : {double(NAN), double(INFINITY), -double(INFINITY), 0x1p127, -0x1p200}) {
        EXPECT_FALSE(decideSingle(v, 0.0, f)) << v;
        EXPECT_FALSE(decideSaturate(v, 0.0, b)) << v;
        EXPECT_FALSE(decideTrunc(v, 0.0, t)) << v;
        EXPECT_FALSE(decideRound(v, 0.0, r)) << v;
    }
    EXPECT_FALSE(decideSingle(0.0, 1e-300, f));  // +0 or -0, or a tiny value of either sign
    EXPECT_FALSE(decideRound(0.0, 1e-3, r));
    ASSERT_TRUE(decideSingle(0.0, 0.0, f));  // exact: the sign is the double's
    EXPECT_FALSE(std::signbit(f));
}

TEST(Decide, IntegerRoundingsDeclineOnlyNearTheirBoundaries) {
    uint8_t b;
    int32_t t;
    double r;
    EXPECT_TRUE(decideSaturate(254.5, 0.25, b) && b == 254);
    EXPECT_TRUE(decideSaturate(300.0, 10.0, b) && b == 255);
    EXPECT_TRUE(decideSaturate(-3.0, 1.0, b) && b == 0);
    EXPECT_TRUE(decideSaturate(0.5, 0.25, b) && b == 0);
    EXPECT_FALSE(decideSaturate(255.0, 0x1p-60, b));  // the ext value may be just below
    EXPECT_TRUE(decideSaturate(255.0, 0.0, b) && b == 255);
    EXPECT_FALSE(decideSaturate(17.0 - 0x1p-40, 0x1p-40, b));
    EXPECT_TRUE(decideTrunc(-2.5, 0.25, t) && t == -2);
    EXPECT_TRUE(decideTrunc(3e9, 1.0, t) && t == INT32_MAX);
    EXPECT_FALSE(decideTrunc(-1.0, 0x1p-60, t));
    EXPECT_TRUE(decideRound(2.4, 0.05, r) && r == 2.0);
    EXPECT_TRUE(decideRound(-2.6, 0.05, r) && r == -3.0);
    EXPECT_FALSE(decideRound(2.5, 0x1p-60, r));
    EXPECT_TRUE(decideRound(2.5, 0.0, r) && r == 2.0);
    EXPECT_FALSE(decideRound(0.5 + 0x1p-45, 0x1p-45, r));
}

// Every byte value in every clear case matches the ext definition; each
// integer and its neighbours a fraction of the bound away are declined.
TEST(Decide, SaturateAgreesWithTheExtRuleAtEveryByte) {
    for (int k = -2; k <= 258; ++k)
        for (double offset : {-0.5, -0x1p-30, 0x1p-30, 0.5}) {
            const double v = k + offset, bound = 0x1p-32;
            uint8_t b;
            ASSERT_TRUE(decideSaturate(v, bound, b)) << v;
            EXPECT_EQ(b, tex::saturateByte(ext(v) - ext(bound))) << v;
            EXPECT_EQ(b, tex::saturateByte(ext(v) + ext(bound))) << v;
            if (std::fabs(offset) < 0.25 && k >= 1 && k <= 255) {
                EXPECT_FALSE(decideSaturate(k + offset * 0x1p-10, bound, b)) << v;
            }
        }
}

}  // namespace
