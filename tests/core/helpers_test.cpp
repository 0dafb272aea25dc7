// The shared helpers' exact values: the operations' bits depend on them.
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "engine/internal.h"
#include "engine/numeric/exact.h"
#include "test_util.h"

using namespace tex;
using textest::at;

TEST(NextRandom, FollowsTheMultiplicativeSequence) {
    randomSeed = 1;
    EXPECT_EQ(nextRandom(), 346u);
    EXPECT_EQ(randomSeed, 22695477u);
    for (uint32_t expected : {32552u, 10851u, 22876u, 43333u}) EXPECT_EQ(nextRandom(), expected);
    randomSeed = 0;
    EXPECT_EQ(nextRandom(), 0u);
    EXPECT_EQ(randomSeed, 0u);
}

// The root with its sum taken on 32 bits, as the formula is written.
static uint32_t intSqrt32(uint32_t x) {
    if (x == 0) return 0;
    uint32_t g = x, prev = 0;
    for (;;) {
        const uint32_t n = (x / g + g) >> 1;
        if (uint32_t(prev - n) <= 1) return n;
        prev = n;
        g = n;
    }
}

TEST(IntSqrt, KnownValues) {
    const uint32_t cases[][2] = {{0, 0},    {4, 2},    {8, 3},      {9, 3},      {48, 7},    {63, 8},
                                 {99, 9},   {100, 10}, {120, 11},   {65025, 255}, {65535, 255}, {195075, 441}};
    for (auto& c : cases) EXPECT_EQ(intSqrt(c[0]), c[1]) << c[0];
}

TEST(IntSqrt, MatchesThe32BitIterationAndStaysWithinOneOfTheRoot) {
    std::mt19937 random(7);
    auto check = [](uint32_t x) {
        const uint32_t r = intSqrt(x), floorRoot = uint32_t(std::sqrt(double(x)));
        ASSERT_EQ(r, intSqrt32(x)) << x;
        ASSERT_TRUE(r == floorRoot || r == floorRoot + 1) << x;
    };
    for (uint32_t x = 0; x < (1u << 20); ++x) check(x);
    for (int i = 0; i < 200000; ++i) check(random() % 0xFFFFFFFFu);
    // The one input where the 32-bit sum wraps: it gives a root, not 0.
    EXPECT_EQ(intSqrt32(0xFFFFFFFFu), 0u);
    EXPECT_TRUE(intSqrt(0xFFFFFFFFu) == 65535u || intSqrt(0xFFFFFFFFu) == 65536u);
}

TEST(FastSqrt, IsExactAtEvenPowersOfTwoAndLinearBetween) {
    const float cases[][2] = {{4.0f, 2.0f},  {65536.0f, 256.0f}, {0.25f, 0.5f},    {2.0f, 1.5f},
                              {3.0f, 1.75f}, {9.0f, 3.125f},     {100.0f, 10.25f}, {1.0f, 1.0f}};
    for (auto& c : cases) EXPECT_EQ(fastSqrt(c[0]), c[1]) << c[0];
    const float zero = fastSqrt(0.0f);
    EXPECT_GT(zero, 8.0e-20f);
    EXPECT_LT(zero, 8.2e-20f);
}

TEST(BlendTexels, CornersAndCentre) {
    const Pixel texels[4] = {{10, 200, 0}, {20, 100, 255}, {30, 50, 255}, {41, 0, 255}};
    EXPECT_EQ(blendTexels(texels, 0.0f, 0.0f), texels[0]);
    // At 0.5 each weight is exactly 0.25: the truncated average.
    EXPECT_EQ(blendTexels(texels, 0.5f, 0.5f), (Pixel{25, 87, 191}));
    // The weight depends on the cosine only: a negative fraction weighs like its magnitude.
    EXPECT_EQ(blendTexels(texels, -0.3f, 0.7f), blendTexels(texels, 0.3f, 0.7f));
    // NaN fractions give a defined, if meaningless, result.
    blendTexels(texels, NAN, 0.5f);
}

TEST(BlendTexels, WhiteCanBlendTo254BecauseWeightsAreTruncated) {
    const Pixel white[4] = {{255, 255, 255}, {255, 255, 255}, {255, 255, 255}, {255, 255, 255}};
    int below = 0;
    for (int i = 1; i < 64; ++i)
        for (int j = 1; j < 64; ++j) {
            const Pixel p = blendTexels(white, i / 64.0f, j / 64.0f);
            ASSERT_GE(p.red, 254);
            below += p.red == 254;
        }
    EXPECT_GT(below, 0);
}

class SampleLayerTest : public textest::EngineTest {};

TEST_F(SampleLayerTest, WrapsAndTruncatesTowardZero) {
    textest::fillNoise(0, 3);
    EXPECT_EQ(sampleLayer(0, 5.0f, 7.0f), at(0, 5, 7));
    EXPECT_EQ(sampleLayer(0, -1.0f, 64.0f), at(0, 63, 0));
    // Half way past the last column blends it with column 0.
    const Pixel edge[4] = {at(0, 63, 2), at(0, 0, 2), at(0, 63, 3), at(0, 0, 3)};
    EXPECT_EQ(sampleLayer(0, 63.5f, 2.0f), blendTexels(edge, 0.5f, 0.0f));
    // -0.25 blends columns 0 and 1 with the weights of 0.25, not columns -1 and 0.
    const Pixel start[4] = {at(0, 0, 2), at(0, 1, 2), at(0, 0, 3), at(0, 1, 3)};
    EXPECT_EQ(sampleLayer(0, -0.25f, 2.0f), blendTexels(start, 0.25f, 0.0f));
    EXPECT_EQ(sampleLayer(SCRATCH_LAYER, 0.0f, 0.0f), at(SCRATCH_LAYER, 0, 0));
    EXPECT_EQ(sampleLayer(6, 0.0f, 0.0f), (Pixel{0, 0, 0}));
}

TEST_F(SampleLayerTest, CoordinatesBeyondInt32WrapAsWholeNumbers) {
    textest::fillNoise(0, 4);
    // 2^32 + 1536 and -(2^33) + 1024 are whole numbers; their wrapped
    // positions are those of 1536 and 1024.
    EXPECT_EQ(sampleLayer(0, 4294968832.0f, 3.0f), at(0, 1536 & 63, 3));
    EXPECT_EQ(sampleLayer(0, 3.0f, -8589933568.0f), at(0, 3, 1024 & 63));
    EXPECT_EQ(sampleLayer(0, 3e38f, 5.0f), at(0, 0, 5));
    EXPECT_EQ(sampleLayer(0, NAN, 5.0f), at(0, 0, 5));
    EXPECT_EQ(sampleLayer(0, 5.0f, -INFINITY), at(0, 5, 0));
}

TEST(RgbToHsv, PrimariesAndGreys) {
    struct Case {
        float r, g, b, h, s, v;
    } cases[] = {{255, 0, 0, 0, 1, 255},   {0, 255, 0, 120, 1, 255}, {0, 0, 255, 240, 1, 255},
                 {255, 255, 0, 60, 1, 255}, {255, 0, 255, 300, 1, 255}, {128, 128, 128, -1, 0, 128},
                 {0, 0, 0, -1, 0, 0}};
    for (const Case& c : cases) {
        float h, s, v;
        rgbToHsv(c.r, c.g, c.b, h, s, v);
        EXPECT_EQ(h, c.h) << c.r << "," << c.g << "," << c.b;
        EXPECT_EQ(s, c.s);
        EXPECT_EQ(v, c.v);
    }
}

TEST(HsvToRgb, GreyAndWrappedHues) {
    float r, g, b;
    hsvToRgb(123.0f, 0.0f, 77.0f, r, g, b);
    EXPECT_TRUE(r == 77.0f && g == 77.0f && b == 77.0f);
    auto same = [](float h1, float h2) {
        float r1, g1, b1, r2, g2, b2;
        hsvToRgb(h1, 0.8f, 200.0f, r1, g1, b1);
        hsvToRgb(h2, 0.8f, 200.0f, r2, g2, b2);
        return r1 == r2 && g1 == g2 && b1 == b2;
    };
    EXPECT_TRUE(same(360.0f, 0.0f));
    EXPECT_TRUE(same(-60.0f, 300.0f));
    EXPECT_TRUE(same(-1.0f, 359.0f));
    EXPECT_TRUE(same(720.0f + 45.0f, 45.0f));
    // Hues of any size, infinities and NaN return at once with a defined result.
    for (float h : {1e10f, -3e38f, 3e38f, INFINITY, -INFINITY, NAN}) hsvToRgb(h, 0.5f, 100.0f, r, g, b);
    EXPECT_TRUE(same(INFINITY, 0.0f));
}

// The round trip through float32 HSV and truncation loses a little on many
// colours; these losses are part of every HSV operation's result.
TEST(HsvRoundTrip, KnownLosses) {
    auto roundTrip = [](Pixel p) {
        float h, s, v, r, g, b;
        rgbToHsv(p.red, p.green, p.blue, h, s, v);
        hsvToRgb(h, s, v, r, g, b);
        return Pixel{uint8_t(r), uint8_t(g), uint8_t(b)};
    };
    EXPECT_EQ(roundTrip({68, 32, 130}), (Pixel{67, 31, 130}));
    EXPECT_EQ(roundTrip({199, 221, 1}), (Pixel{199, 221, 0}));
    EXPECT_EQ(roundTrip({90, 90, 90}), (Pixel{90, 90, 90}));
    EXPECT_EQ(roundTrip({255, 0, 0}), (Pixel{255, 0, 0}));
}

// Hue reduction stepping by 360 as the conversion is defined.
static float wrapHueStepwise(float h) {
    while (h < 0.0f) h = static_cast<float>(ext(h) + ext(360.0));
    while (h >= 360.0f) h = static_cast<float>(ext(h) - ext(360.0));
    return h;
}

TEST(WrapHue, EqualsSteppingBy360ForModerateHues) {
    auto same = [](float h) {
        const float a = wrapHue(h), b = wrapHueStepwise(h);
        uint32_t ba, bb;
        std::memcpy(&ba, &a, 4);
        std::memcpy(&bb, &b, 4);
        return ba == bb;
    };
    for (float h : {0.0f, -0.0f, 360.0f, -360.0f, -1e-30f, -1e-7f, 359.99997f, -359.99997f, 1e-45f, -1e-45f,
                    -720.0f, 134217720.0f, -134217720.0f})
        EXPECT_TRUE(same(h)) << h;
    std::mt19937 random(11);
    std::uniform_real_distribution<float> exponent(-30.0f, 20.0f);
    for (int i = 0; i < 1000000; ++i) {
        float h = std::exp2(exponent(random));
        if (random() & 1) h = -h;
        ASSERT_TRUE(same(h)) << h;
    }
    // Near 2^27 each stepwise reduction takes ~370000 steps: a few samples.
    for (int i = 0; i < 20; ++i) {
        const float h = float(134217728 - 8 * (random() % 1000000)) * ((random() & 1) ? 1.0f : -1.0f);
        ASSERT_TRUE(same(h)) << h;
    }
}

TEST(Conversions, TruncationAndSaturationAreDefinedEverywhere) {
    EXPECT_EQ(truncInt32(-ext(0.5)), 0);
    EXPECT_EQ(truncInt32(ext(255.99)), 255);
    EXPECT_EQ(truncInt32(-ext(3.9)), -3);
    EXPECT_EQ(truncInt32(NAN), 0);
    EXPECT_EQ(truncInt32(ext(3e9)), INT32_MAX);
    EXPECT_EQ(truncInt32(-ext(3e9)), INT32_MIN);
    EXPECT_EQ(truncInt32(INFINITY), INT32_MAX);
    EXPECT_EQ(truncInt32(-INFINITY), INT32_MIN);
    EXPECT_EQ(saturateByte(ext(255.0)), 255);
    EXPECT_EQ(saturateByte(ext(254.999)), 254);
    EXPECT_EQ(saturateByte(ext(0.0)), 0);
    EXPECT_EQ(saturateByte(ext(0.99)), 0);
    EXPECT_EQ(saturateByte(-ext(1e30)), 0);
    EXPECT_EQ(saturateByte(NAN), 0);
    EXPECT_EQ(saturateByte(INFINITY), 255);
}

// truncSmall, over whole arrays so that the vectorized loops' form runs too:
// the whole numbers up to 2^16 and below 2^23 with their neighbours either
// side, random floats below 2^23, and the negative ones above -1 (which the
// plasma's decision margins reach), down to the smallest.
TEST(Conversions, TruncSmallIsTheTruncationBelow2To23) {
    std::vector<float> values;
    auto around = [&](float k) {
        values.push_back(k);
        values.push_back(std::nextafter(k, 0.0f));
        values.push_back(std::nextafter(k, 0x1p23f));
    };
    for (int k = 0; k <= 65536; ++k) around(float(k));
    for (int k = 0; k < 4096; ++k) around(float(8388607 - k));
    std::mt19937 random(23);
    for (int k = 0; k < 1000000; ++k) values.push_back(float(random() % 8388608u) + float(random() % 1024u) / 1024.0f);
    for (float f = std::nextafter(-1.0f, 0.0f); f < 0.0f; f *= 0.5f) values.push_back(f);
    values.push_back(-0x1p-12f);
    values.push_back(-0.0f);
    std::vector<int32_t> got(values.size());
    for (size_t i = 0; i < values.size(); ++i) got[i] = truncSmall(values[i]);
    for (size_t i = 0; i < values.size(); ++i) {
        if (values[i] < 0x1p23f) {
            ASSERT_EQ(got[i], int32_t(values[i])) << values[i];
        }
    }
}

// The formulas' decimal constants are literals where ext is the x87's and bit
// patterns elsewhere: both must be the same extended values.
TEST(ExtendedConstants, LiteralsAndBitPatternsAgree) {
    struct Constant {
        ext value;
        uint16_t signExponent;
        uint64_t significand;
    };
    const Constant constants[] = {
        {SIXTIETH, 0x3FF9, 0x888888B658A848F0},  {THIRD, 0x3FFD, 0xAAAA9F7B5AEA3162},
        {BYTE_UNIT, 0x3FF7, 0x80808080805D2DFB}, {BLOB_C1, 0x4000, 0x9C71C53F39D1B2E6},
        {BLOB_C2, 0x3FFF, 0xF1C714FCE746CB96},   {BLOB_C3, 0x3FFD, 0xE38E29F9CE8D972D},
        {BLOB_BRIGHTNESS_BASE, 0x3FFB, 0xCCCCCCCCCCCCCCCD},
    };
    for (const Constant& c : constants) {
        const numeric::ExtBits bits = numeric::bitsOf(c.value);
        EXPECT_EQ(bits.signExponent, c.signExponent);
        EXPECT_EQ(bits.significand, c.significand);
    }
}
