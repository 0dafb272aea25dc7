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

// Runs the row weight pass over fractions and compares both weight rows
// with the plain weight.
static void checkWeights(const std::vector<float>& fractions) {
    RowSamples& row = rowSamples();
    float *rowX = row.x, *rowY = row.y;
    const float *rowWeightX = row.weightX, *rowWeightY = row.weightY;
    for (size_t start = 0; start < fractions.size(); start += 4096) {
        const int32_t count = int32_t(std::min<size_t>(4096, fractions.size() - start));
        for (int32_t i = 0; i < count; ++i) {
            rowX[i] = fractions[start + i];
            rowY[i] = fractions[start + count - 1 - i];
        }
        weighRow(row, count);
        for (int32_t i = 0; i < count; ++i) {
            ASSERT_EQ(bitsOf(rowWeightX[i]), bitsOf(plainWeight(rowX[i]))) << rowX[i];
            ASSERT_EQ(bitsOf(rowWeightY[i]), bitsOf(plainWeight(rowY[i]))) << rowY[i];
            ASSERT_EQ(bitsOf(fastWeight(rowX[i])), bitsOf(rowWeightX[i])) << rowX[i];
        }
    }
}

TEST(FastWeight, EqualsThePlainWeightOnAllFractionsOfWholeSteps) {
    // k * 2^-23: every fraction of a float32 coordinate with |c| >= 1.
    std::vector<float> fractions(1u << 23);
    for (uint32_t k = 0; k < (1u << 23); ++k) fractions[k] = float(k) * 0x1p-23f;
    checkWeights(fractions);
}

TEST(FastWeight, EqualsThePlainWeightOnRandomFloats) {
    std::mt19937 random(5);
    std::uniform_int_distribution<uint32_t> belowOne(0, 0x3F7FFFFFu);  // patterns of [0, 1)
    std::vector<float> fractions(10000000);
    for (float& f : fractions) {
        const uint32_t b = belowOne(random) | (random() & 0x80000000u);
        std::memcpy(&f, &b, 4);
    }
    checkWeights(fractions);
    EXPECT_EQ(plainWeight(0.0f), 0.0f);
}

// blendWeights against blendTexels, with the weights blendTexels forms.
TEST(BlendWeights, EqualsBlendTexels) {
    std::mt19937 random(6);
    auto fraction = [&]() -> float {
        switch (random() % 5) {
            case 0: return 0.0f;
            case 1: return float(random() % 8192) / 8192.0f;
            case 2: return std::ldexp(float(random() % 1024), -int(random() % 40));  // tiny weights too
            case 3: return std::uniform_real_distribution<float>(-1.0f, 1.0f)(random);
            default: return 0.5f;
        }
    };
    for (int i = 0; i < 10000000; ++i) {
        Pixel t[4];
        const bool flat = random() % 3 == 0;  // uniform blocks sum to near-whole numbers
        const uint8_t v = uint8_t(random());
        for (Pixel& p : t) p = flat ? Pixel{v, v, uint8_t(random())} : Pixel{uint8_t(random()), uint8_t(random()), uint8_t(random())};
        const float fx = fraction(), fy = fraction();
        const float wx = plainWeight(fx), wy = plainWeight(fy), ax = 1.0f - wx, ay = 1.0f - wy;
        ASSERT_EQ(blendWeights(t[0], t[1], t[2], t[3], ax * ay, wx * ay, ax * wy, wx * wy), blendTexels(t, fx, fy))
            << fx << " " << fy;
    }
}

class SampleRowTest : public textest::EngineTest {
protected:
    SampleRowTest() : EngineTest(64, 32) {}
};

TEST_F(SampleRowTest, EqualsSampleLayer) {
    textest::fillNoise(0, 9);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> near(-200.0f, 200.0f);
    const float odd[] = {2147483520.0f, -2147483648.0f, 3e9f, -1e20f, INFINITY, NAN, 1e-30f, -0.0f};
    std::vector<Pixel> out(200);
    float *rowX = rowSamples().x, *rowY = rowSamples().y;
    for (int round = 0; round < 20000; ++round) {
        const int32_t count = 1 + int32_t(random() % 200);
        for (int32_t i = 0; i < count; ++i) {
            rowX[i] = near(random);
            rowY[i] = near(random);
            if (random() % 5 == 0) rowX[i] = std::round(rowX[i]);
            if (random() % 5 == 0) rowY[i] = std::round(rowY[i]);
            if (random() % 500 == 0) (random() & 1 ? rowX : rowY)[i] = odd[random() % 8];
        }
        sampleRow(0, out.data(), count);
        for (int32_t i = 0; i < count; ++i) ASSERT_EQ(out[i], sampleLayer(0, rowX[i], rowY[i])) << rowX[i] << " " << rowY[i];
    }
}

// The tunnel's cosine near the ends of the arc tangent's range.
TEST(FastTranscendentals, CosineKeepsItsPrecisionNearHalfPi) {
    float a = 1.5707963705062866f;  // the float32 nearest pi/2, above it
    for (int i = 0; i < 1000000; ++i, a = std::nextafter(a, 0.0f))
        for (float angle : {a, -a}) {
            ASSERT_EQ(bitsOf(cosDepthFast(angle, 8192.0f, 0.001f)),
                      bitsOf(static_cast<float>(extFabs(extCos(angle) * 8192.0f * 0.001f))))
                << angle;
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
        ASSERT_EQ(bitsOf(s), bitsOf(static_cast<float>(extSin(angle)))) << angle;
        ASSERT_EQ(bitsOf(c), bitsOf(static_cast<float>(extCos(angle)))) << angle;
        // The tunnel's arc tangent of dy * (1 / dx) and its source row.
        const int32_t dx = int32_t(random() % 65536) - 32768, dy = int32_t(random() % 65536) - 32768;
        if (dx == 0) continue;
        const float inv = static_cast<float>(ext(1.0) / dx);
        const float a = atanFast(double(dy) * inv);
        ASSERT_EQ(bitsOf(a), bitsOf(static_cast<float>(extAtan(ext(dy) * inv)))) << dy << "/" << dx;
        const float k = wideFloat(-10, 12);
        const int32_t centre = int32_t(random() % 32768);
        ASSERT_EQ(bitsOf(scaledAngle(k, a, centre)), bitsOf(static_cast<float>(ext(k) * a + centre)));
        const float depth = wideFloat(-20, 40);
        ASSERT_EQ(bitsOf(cosDepthFast(a, depth, inv)), bitsOf(static_cast<float>(extFabs(extCos(a) * depth * inv))))
            << a << " " << depth;
    }
}

// The twist's angle and rotated coordinates.
TEST(FastTwist, EqualsTheLongDoubleFormulas) {
    std::mt19937 random(9);
    auto wideFloat = [&](float loExponent, float hiExponent) {
        const float v = std::exp2(std::uniform_real_distribution<float>(loExponent, hiExponent)(random));
        return (random() & 1) ? v : -v;
    };
    for (int i = 0; i < 10000000; ++i) {
        const float strength = wideFloat(-20, 20), d = std::abs(wideFloat(-10, 15)), k = std::abs(wideFloat(-40, 5));
        ASSERT_EQ(bitsOf(twistAngle(strength, d, k)),
                  bitsOf(static_cast<float>(ext(strength) * d * d * k)));
        const int32_t c = int32_t(random() % 32768);
        const float a = float(int32_t(random() % 65536) - 32768), e = float(int32_t(random() % 65536) - 32768);
        float b = std::uniform_real_distribution<float>(-1, 1)(random), f = std::uniform_real_distribution<float>(-1, 1)(random);
        if (i % 3 == 0) b = wideFloat(-40, 0);
        if (i % 5 == 0) f = std::sqrt(1.0f - b * b);
        ASSERT_EQ(bitsOf(rotatedCoordinate(c, a, b, e, f)),
                  bitsOf(static_cast<float>(c + (ext(a) * b + ext(e) * f))))
            << c << " " << a << " " << b << " " << e << " " << f;
    }
}

// The row sums single(offset + term) decided in double: terms that put the
// sum on, or a hair either side of, a float32 midpoint (where a double sum
// rounded to the midpoint itself would round to even wrongly), and random
// ones; every decided sum equals the extended one, and NaN, infinite and
// unbounded terms are left open.
TEST(DecideSums, EqualTheExtendedSumsAtMidpoints) {
    std::mt19937_64 random(10);
    constexpr int32_t COUNT = 4096;
    std::vector<double> term(COUNT), error(COUNT, 0.0);
    std::vector<float> out(COUNT);
    std::vector<int32_t> open(COUNT);
    uint64_t decided = 0;
    for (int round = 0; round < 200; ++round) {
        const double offset = double(random() % 65536);
        for (int32_t i = 0; i < COUNT; ++i) {
            const float f = std::ldexp(float(random() % (1u << 24)), int(random() % 40) - 30) * (random() % 2 ? 1 : -1);
            const double midpoint = (double(f) + double(std::nextafter(f, INFINITY))) / 2.0;
            const double tiny = std::ldexp(double(int(random() % 9) - 4), -int(60 + random() % 20));
            term[i] = random() % 4 ? (midpoint - offset) + tiny * std::fabs(midpoint) : double(f) * 1.37;
        }
        term[0] = NAN, term[1] = INFINITY;
        error[2] = NAN;
        const uint32_t left = decideSums(offset, term.data(), error.data(), out.data(), open.data(), COUNT);
        EXPECT_TRUE(open[0] && open[1] && open[2]);
        uint32_t counted = 0;
        for (int32_t i = 0; i < COUNT; ++i) {
            counted += uint32_t(open[i]);
            if (open[i]) continue;
            ++decided;
            ASSERT_EQ(bitsOf(out[i]), bitsOf(static_cast<float>(ext(offset) + ext(term[i])))) << offset << " + " << term[i];
        }
        EXPECT_EQ(left, counted);
        error[2] = 0.0;
    }
    EXPECT_GT(decided, 200u * COUNT / 5);  // the random quarter, far from midpoints, is decided
}

// The branch-free double arc tangent, sine and cosine of the tunnel and twirl
// rows within the errors their bounds are built on, and their decisions equal
// to the extended values, over random arguments and at rounding boundaries:
// arc tangents of tan(m) for float32 midpoints m, a few ulps either side,
// and angles a few float32 steps from multiples of pi/2, where the sine or
// cosine is smallest relative to the reduction's error.
TEST(FastTranscendentals, BranchFreeFormsStayInsideTheirBounds) {
    std::mt19937 random(11);
    auto relativeError = [](double v, ext exact) {
        return double(extFabs(ext(v) - exact)) / std::max(double(extFabs(exact)), 0x1p-1000);
    };
    for (int i = 0; i < 4000000; ++i) {
        double z;
        if (i % 2) {
            const int32_t dx = int32_t(random() % 16384) - 8192, dy = int32_t(random() % 16384) - 8192;
            z = double(dy) * (1.0f / float(dx == 0 ? 1 : dx));
        } else {
            const float f = std::uniform_real_distribution<float>(0.0f, 1.5707963f)(random);
            const ext m = (ext(f) + ext(std::nextafter(f, 2.0f))) * ext(0.5);
            z = double(extSin(m) / extCos(m));
            for (int step = int(random() % 9) - 4; step != 0; step += step > 0 ? -1 : 1)
                z = std::nextafter(z, step > 0 ? INFINITY : 0.0);
            if (random() & 1) z = -z;
        }
        const double a = atanDouble(z);
        const ext exact = extAtan(ext(z));
        ASSERT_LE(relativeError(a, exact), 0x1p-48) << z;
        float settled;
        if (roundsAlike(a, std::fabs(a) * 0x1p-46, settled)) {
            ASSERT_EQ(bitsOf(settled), bitsOf(float(exact))) << z;
        }
        ASSERT_EQ(bitsOf(atanFast(z)), bitsOf(float(exact))) << z;

        float angle = std::uniform_real_distribution<float>(-4096.0f, 4096.0f)(random);
        if (i % 3 == 0) angle = std::ldexp(angle, -int(random() % 40));
        if (i % 3 == 1) {
            angle = float(1.5707963267948966 * double(int32_t(random() % 5215) - 2607));
            for (int step = int(random() % 7) - 3; step != 0; step += step > 0 ? -1 : 1)
                angle = std::nextafter(angle, step > 0 ? INFINITY : -INFINITY);
        }
        double s, c;
        sinCosDouble(angle, s, c);
        const ext exactSin = extSin(angle), exactCos = extCos(angle);
        ASSERT_LE(double(extFabs(ext(s) - exactSin)), std::fabs(s) * 0x1p-49 + 0x1p-100) << angle;
        ASSERT_LE(double(extFabs(ext(c) - exactCos)), std::fabs(c) * 0x1p-49 + 0x1p-100) << angle;
        if (roundsAlike(s, sinCosBound(s), settled)) {
            ASSERT_EQ(bitsOf(settled), bitsOf(float(exactSin))) << angle;
        }
        if (roundsAlike(c, sinCosBound(c), settled)) {
            ASSERT_EQ(bitsOf(settled), bitsOf(float(exactCos))) << angle;
        }
    }
}
