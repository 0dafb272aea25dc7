// Source lines of recorded operations: line shapes, argument conversion and
// the real-number format at its boundaries.
#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <random>
#include <string>

#include "engine/numeric/ext.h"
#include "test_util.h"

using namespace tex;
using textest::Params;

namespace {

std::string line(int32_t opcode, Params slots) { return exportSource(opcode, slots.data()); }

// The real text as particle's second argument prints it.
std::string real(float v) {
    const std::string text = line(3, {2, v});
    return text.substr(std::strlen("particle(2,"), text.size() - std::strlen("particle(2,") - 2);
}

float bitsToFloat(uint32_t bits) {
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// A decimal separator of "," for the C++ locale, as a German locale has.
struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};

}  // namespace

TEST(ExportSource, LineShapesFollowTheDispatchersArguments) {
    const struct {
        int32_t opcode;
        Params slots;
        const char* expected;
    } cases[] = {
        {2, {0, 64, 12345, 256, 128, 4, 1}, "perlinNoise(0,64,12345,256,128,4,true);"},
        {4, {4, 0, 0, 0}, "colorLayer(4,0,0,0);"},
        {0, {1, 2, 3, 4, 2.0f}, "subPlasma(1,2,3,4,false);"},
        {6, {1, 2, 3, 0.999f}, "blobsLayer(1,2,3,false);"},
        {6, {1, 2, 3, 1.0f}, "blobsLayer(1,2,3,true);"},
        // Integers truncate toward zero, never round.
        {45, {0, 1, 2.9f, -2.9f}, "moveDistort(0,1,2,-2);"},
        {22, {0, 1, -0.5f, 255.99f, -255.99f}, "adjustLayerRGB(0,1,0,255,-255);"},
        // Unused slots do not appear.
        {33, {2, 2, 7, 7, 7, 7, 7, 7, 7, 7}, "blurLayer(2,2);"},
        {1, {1, 0.5f, -2.25f, 183}, "sinePlasma(1,0.5,-2.25,183);"},
        {42, {0, 1, 2, 0.25f, -4}, "mapDistort(0,1,2,0.25,-4);"},
        {40, {0, 1, 1, 2, 3, 4}, "sineDistort(0,1,1,2,3,4);"},
        // mandelBrot's record holds two corners; its line has the extents and the escape limit.
        {7, {0, -2, -1.5f, 1, 1.5f}, "mandelBrot(0,-2,3,-1.5,3,16);"},
        {7, {2, 0.25f, 0.5f, 0.25f, -1}, "mandelBrot(2,0.25,0,0.5,-1.5,16);"},
        // Unassigned opcodes give one space, whatever the slots.
        {9, {1, 2, 3}, " "},
        {18, {}, " "},
        {29, {}, " "},
        {-1, {}, " "},
        {52, {}, " "},
        {INT32_MIN, {}, " "},
    };
    for (const auto& c : cases) EXPECT_EQ(line(c.opcode, c.slots), c.expected) << c.opcode;
    EXPECT_EQ(exportSource(2, nullptr), " ");
}

TEST(ExportSource, IntegersNearTheInt32LimitsAndNonFiniteSlotsClampLikeTheDispatcher) {
    const struct {
        float slot;
        const char* expected;
    } cases[] = {
        {2147483520.0f, "2147483520"},  // the largest float below 2^31
        {2147483648.0f, "2147483647"},  // 2^31 does not fit: clamped
        {1e20f, "2147483647"},
        {-2147483648.0f, "-2147483648"},
        {-2147483904.0f, "-2147483648"},
        {16777217.0f, "16777216"},  // the slot holds the float32 value
        {NAN, "0"},
        {INFINITY, "2147483647"},
        {-INFINITY, "-2147483648"},
        {-0.0f, "0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(line(4, {4, c.slot, 0, 0}), std::string("colorLayer(4,") + c.expected + ",0,0);") << c.slot;
        EXPECT_EQ(std::to_string(slotInteger(c.slot)), c.expected);
    }
    EXPECT_EQ(line(3, {NAN, 1}), "particle(0,1);");
}

TEST(RealFormat, FixedScientificAndTheirBoundaries) {
    const struct {
        float value;
        const char* expected;
    } cases[] = {
        {0.0f, "0"},
        {-0.0f, "0"},
        {183.0f, "183"},
        {0.5f, "0.5"},
        {-2.25f, "-2.25"},
        {16.0f, "16"},
        // Below 1: exactly 17 decimals before trailing zeros go.
        {0.1f, "0.10000000149011612"},
        {0.99999994f, "0.99999994039535522"},
        {0.164f, "0.164000004529953"},
        // From 1 on: 17 significant digits.
        {1.1f, "1.1000000238418579"},
        {338.98306f, "338.98306274414063"},
        {12345678.9f, "12345679"},
        // 0.00001 as a float32 lies just below it: scientific; the next float is fixed.
        {0.00001f, "9.99999974737875E-6"},
        {std::nextafter(0.00001f, 1.0f), "0.00001000000065687"},
        {0.000001f, "9.99999997475243E-7"},
        {0x1p-17f, "7.62939453125E-6"},
        {1e-45f, "1.40129846432482E-45"},  // the smallest subnormal
        // Negative values are never too small: fixed, 17 decimals.
        {-0.000001f, "-0.00000099999999748"},
        {-0x1p-33f, "-0.00000000011641532"},
        {-1e-10f, "-0.0000000001"},
        {-1e-20f, "-0"},
        // At most 15 characters before the point, a minus sign included.
        {999999986991104.0f, "999999986991104"},
        {1000000054099968.0f, "1.00000005409997E+15"},
        {-99999997952.0f, "-99999997952"},
        {-1e14f, "-1.00000000376832E+14"},
        {3.4028235e38f, "3.40282346638529E+38"},
        // Halves round away from zero (ties to even would end in ...62 and ...12).
        {0x1p-22f, "2.38418579101563E-7"},
        {0x5p-18f, "0.00001907348632813"},
        {-0x5p-18f, "-0.00001907348632813"},
        // No text is defined for them; these are the <cmath> macros a source file can use.
        {INFINITY, "INFINITY"},
        {-INFINITY, "-INFINITY"},
        {NAN, "NAN"},
    };
    for (const auto& c : cases) EXPECT_EQ(real(c.value), c.expected) << std::hexfloat << c.value;
}

TEST(RealFormat, DecimalPointIsAPointWhateverTheLocale) {
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    const std::string cLocale = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "de_DE.UTF-8");  // a real comma-decimal C locale, when installed
    EXPECT_EQ(real(0.5f), "0.5");
    EXPECT_EQ(real(0x1p-17f), "7.62939453125E-6");
    std::setlocale(LC_ALL, cLocale.c_str());
    std::locale::global(previous);
}

// Reading the text back gives the float32 again, for every value the format
// keeps enough digits of: all but negative values above about -1e-10, where 17
// decimals leave fewer than the 9 significant digits a float32 needs.
TEST(RealFormat, ReadsBackAsTheSameFloatExceptTinyNegatives) {
    std::mt19937 random(20240601);
    for (int i = 0; i < 200000; ++i) {
        const float v = bitsToFloat(uint32_t(random()));
        if (!std::isfinite(v)) continue;
        const std::string text = real(v);
        // strtof in the "C" locale: every standard library has it.
        char* end = nullptr;
        const float back = std::strtof(text.c_str(), &end);
        ASSERT_EQ(end, text.c_str() + text.size()) << text;
        if (v < 0 && v > -0x1p-33f) continue;
        ASSERT_EQ(back, v) << std::hexfloat << v << " printed as " << text;
        ASSERT_EQ(std::signbit(back), std::signbit(v)) << text;
        // Never more digits than the format allows.
        const size_t exponent = text.find('E');
        const std::string mantissa = text.substr(0, exponent);
        const size_t point = mantissa.find('.');
        if (exponent != std::string::npos) {
            ASSERT_LE(mantissa.size() - (v < 0), 16u) << text;
        } else if (point != std::string::npos) {
            ASSERT_LE(mantissa.size() - point - 1, 17u) << text;
            ASSERT_LE(point - (v < 0), 15u) << text;
        }
    }
}

// The printed extent is the float32 the dispatcher passes. The exact
// difference of -2 and the float after 1 lies halfway between two float32
// values: the dispatcher rounds it to even, 3, while its 17-digit text
// 3.0000001192092896 would compile to the float above.
TEST(ExportSource, MandelBrotExtentsAreTheDispatchersFloat32Values) {
    const float x1 = -2.0f, x2 = std::nextafter(1.0f, 2.0f);
    const float extent = static_cast<float>(tex::ext(x2) - x1);
    EXPECT_EQ(extent, 3.0f);
    EXPECT_EQ(line(7, {0, x1, 0, x2, 1}), "mandelBrot(0,-2,3,0,1,16);");
}
