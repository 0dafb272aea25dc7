// The fast sampler against the plain formulas: the weight over every
// fraction a coordinate of magnitude at least 1 can have and over random
// float32 fractions, the blend over random texels and adversarial blocks,
// and whole samples over random coordinates.
#include <random>

#include "engine/distort/sampling.h"
#include "test_util.h"

using namespace tex;
using namespace tex::distort;

static uint32_t bitsOf(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

TEST(FastWeight, EqualsThePlainWeightOnAllFractionsOfWholeSteps) {
    // k * 2^-23: every fraction of a float32 coordinate with |c| >= 1.
    for (uint32_t k = 0; k < (1u << 23); ++k) {
        const float f = float(k) * 0x1p-23f;
        ASSERT_EQ(bitsOf(fastWeight(f)), bitsOf(plainWeight(f))) << k;
    }
}

TEST(FastWeight, EqualsThePlainWeightOnRandomFloats) {
    std::mt19937 random(5);
    std::uniform_int_distribution<uint32_t> belowOne(0, 0x3F7FFFFFu);  // patterns of [0, 1)
    for (int i = 0; i < 10000000; ++i) {
        uint32_t b = belowOne(random) | (random() & 0x80000000u);
        float f;
        std::memcpy(&f, &b, 4);
        ASSERT_EQ(bitsOf(fastWeight(f)), bitsOf(plainWeight(f))) << f;
    }
    EXPECT_EQ(plainWeight(0.0f), 0.0f);
}

TEST(BlendFast, EqualsBlendTexels) {
    std::mt19937 random(6);
    auto fraction = [&]() -> float {
        switch (random() % 4) {
            case 0: return 0.0f;
            case 1: return float(random() % 8192) / 8192.0f;
            case 2: return std::uniform_real_distribution<float>(-1.0f, 1.0f)(random);
            default: return 0.5f;
        }
    };
    for (int i = 0; i < 4000000; ++i) {
        Pixel t[4];
        const bool flat = random() % 3 == 0;  // uniform blocks sum to near-whole numbers
        const uint8_t v = uint8_t(random());
        for (Pixel& p : t) p = flat ? Pixel{v, v, uint8_t(random())} : Pixel{uint8_t(random()), uint8_t(random()), uint8_t(random())};
        const float fx = fraction(), fy = fraction();
        ASSERT_EQ(blendFast(t[0], t[1], t[2], t[3], fx, fy), blendTexels(t, fx, fy)) << fx << " " << fy;
    }
}

class SampleFastTest : public textest::EngineTest {
protected:
    SampleFastTest() : EngineTest(64, 32) {}
};

TEST_F(SampleFastTest, EqualsSampleLayer) {
    textest::fillNoise(0, 9);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> near(-200.0f, 200.0f);
    const float odd[] = {2147483520.0f, -2147483648.0f, 3e9f, -1e20f, INFINITY, NAN, 1e-30f, -0.0f};
    for (int i = 0; i < 3000000; ++i) {
        float x = near(random), y = near(random);
        if (i % 7 == 0) x = std::round(x);
        if (i % 1000 == 0) y = odd[random() % 8];
        ASSERT_EQ(sampleFast(0, x, y), sampleLayer(0, x, y)) << x << " " << y;
    }
}

// The transcendental values the polar distortions round to float32.
TEST(FastTranscendentals, EqualTheLongDoubleFormulas) {
    std::mt19937 random(8);
    auto wideFloat = [&](float loExponent, float hiExponent) {
        const float v = std::exp2(std::uniform_real_distribution<float>(loExponent, hiExponent)(random));
        return (random() & 1) ? v : -v;
    };
    for (int i = 0; i < 10000000; ++i) {
        const float angle = i % 2 ? wideFloat(-30, 13) : std::uniform_real_distribution<float>(-40, 40)(random);
        float s, c;
        sinCosFast(angle, s, c);
        ASSERT_EQ(bitsOf(s), bitsOf(static_cast<float>(sinl(angle)))) << angle;
        ASSERT_EQ(bitsOf(c), bitsOf(static_cast<float>(cosl(angle)))) << angle;
        // The tunnel's arc tangent of dy * (1 / dx) and its source row.
        const int32_t dx = int32_t(random() % 65536) - 32768, dy = int32_t(random() % 65536) - 32768;
        if (dx == 0) continue;
        const float inv = static_cast<float>(1.0L / dx);
        const float a = atanFast(double(dy) * inv);
        ASSERT_EQ(bitsOf(a), bitsOf(static_cast<float>(atanl(static_cast<long double>(dy) * inv)))) << dy << "/" << dx;
        const float depth = wideFloat(-20, 40);
        ASSERT_EQ(bitsOf(cosDepthFast(a, depth, inv)), bitsOf(static_cast<float>(fabsl(cosl(a) * depth * inv))))
            << a << " " << depth;
    }
}
