// Layer combiners: every byte pair against the plain formulas on both the
// plain and the wide passes, the boundary values, aliasing, the scatter's draw
// order and its bounded running time, and golden hashes.
#include <chrono>
#include <cmath>
#include <limits>
#include <random>

#include "colour/colour_reference.h"
#include "engine/colour/kernels.h"
#include "engine/threads.h"
#include "test_util.h"

using namespace tex;
using colourref::INF;
using colourref::NaN;
using colourref::unitSettings;
using colourref::WideUnitsReset;
using textest::at;
using textest::layerHash;

namespace {

using Combiner = void (*)(int32_t, int32_t, int32_t, float, float);
using PairFormula = uint8_t (*)(uint8_t, uint8_t, float, float);

uint8_t mulFormula(uint8_t a, uint8_t b, float w1, float w2) {
    return colourref::mul(a, b, colourref::mulFactor(w1, w2));
}

struct CombinerCase {
    const char* name;
    Combiner run;
    PairFormula formula;
};
const CombinerCase COMBINERS[] = {
    {"add", addLayers, colourref::add},        {"mul", mulLayers, mulFormula},
    {"min", minCombineLayers, colourref::min}, {"max", maxCombineLayers, colourref::max},
    {"xor", xorLayers, colourref::bxor},       {"or", orLayers, colourref::bor},
    {"and", andLayers, colourref::band},
};


}  // namespace

// A 256x256 layer pair holding every byte pair (a, b) three times.
class AllPairs : public textest::EngineTest {
protected:
    AllPairs() : EngineTest(256, 256) {}
    void SetUp() override {
        EngineTest::SetUp();
        auto* a = reinterpret_cast<uint8_t*>(layers[0]);
        auto* b = reinterpret_cast<uint8_t*>(layers[1]);
        for (size_t i = 0; i < 256 * 256 * 3; ++i) a[i] = uint8_t(i), b[i] = uint8_t(i >> 8);
    }
    // Runs the combiner into layer 2 and compares every byte with the formula.
    void expectAllPairs(const CombinerCase& c, float w1, float w2) {
        uint8_t expected[256][256];
        for (int a = 0; a < 256; ++a)
            for (int b = 0; b < 256; ++b) expected[a][b] = c.formula(uint8_t(a), uint8_t(b), w1, w2);
        c.run(0, 1, 2, w1, w2);
        const auto* out = reinterpret_cast<const uint8_t*>(layers[2]);
        for (size_t i = 0; i < 256 * 256 * 3; ++i) {
            const uint8_t a = uint8_t(i), b = uint8_t(i >> 8);
            ASSERT_EQ(int(out[i]), int(expected[a][b])) << c.name << " a=" << int(a) << " b=" << int(b) << " w1=" << w1
                                                        << " w2=" << w2 << " wide=" << wideUnitsEnabled();
        }
    }
};

TEST_F(AllPairs, EveryCombinerMatchesItsFormulaForSpecialWeights) {
    WideUnitsReset reset;
    const float special[] = {0.0f,   -0.0f, 1.0f,  0.5f,   0.25f, 2.0f, -1.0f, -0.5f,  0.3f,       0.7f,
                             1e-10f, 1e10f, 3e38f, -3e38f, INF,   -INF, NaN,   1e-40f, 1.0f / 255, 8388607.0f};
    for (bool wide : unitSettings()) {
        setWideUnits(wide);
        for (const auto& c : COMBINERS)
            for (float w1 : special)
                for (float w2 : special) expectAllPairs(c, w1, w2);
    }
}

// Weights at the edges of the exact integer forms: a first weight whose high
// multiple is -2^15 (no int16 negation, so the selections take the float
// form), the same on the second weight, and bitwise operands that no 16-bit
// multiplier gives (100.3) next to ones that one does (0.7, 1.5).
TEST_F(AllPairs, EveryCombinerMatchesItsFormulaAtTheEdgesOfTheIntegerForms) {
    const float pairs[][2] = {{-8388607.0f, 0.0078125f}, {0.0078125f, -8388607.0f}, {8388607.0f, -0.0078125f},
                              {100.3f, 0.7f},            {1.5f, 100.3f},            {-255.75f, 65535.0f}};
    for (const auto& c : COMBINERS)
        for (const auto& w : pairs) expectAllPairs(c, w[0], w[1]);
}

// Over ten million pairs per combiner and setting, with weights of every
// scale, sign and number of mantissa bits.
TEST_F(AllPairs, EveryCombinerMatchesItsFormulaForRandomWeights) {
    WideUnitsReset reset;
    std::mt19937 random(20261209);
    std::uniform_real_distribution<float> exponent(-24.0f, 24.0f);
    auto weight = [&] {
        float w = std::exp2(exponent(random));
        if (random() % 3 == 0) w = std::ldexp(std::round(std::ldexp(w, 8)), -8);  // few mantissa bits
        return random() % 4 == 0 ? -w : w;
    };
    std::vector<std::pair<float, float>> weights(160);
    for (auto& w : weights) w = {weight(), weight()};
    for (bool wide : unitSettings()) {
        setWideUnits(wide);
        for (const auto& c : COMBINERS)
            for (const auto& w : weights) expectAllPairs(c, w.first, w.second);
    }
}

// The product by its integer form, where one exists for the factor: unit
// weights (k just above 1/255) and their halves and doubles, factors a few
// ulps either side of them, and factors no form fits; every pair on every
// set of vector units the processor has.
TEST_F(AllPairs, MulMatchesItsFormulaNearTheIntegerForms) {
    const CombinerCase& mul = COMBINERS[1];
    const float unit[] = {1.0f, 0.5f, 2.0f, 0.25f, 0.75f, 1.5f, 3.0f, 1.0f / 3, 0.1f, 0.99f, 1.01f, 60.0f, 120.0f};
    std::vector<float> firsts;
    for (float w : unit) {
        float below = w, above = w;
        for (int step = 0; step < 3; ++step) {
            below = std::nextafter(below, 0.0f);
            above = std::nextafter(above, INF);
            firsts.push_back(below);
            firsts.push_back(above);
        }
        firsts.push_back(w);
    }
    for (VectorUnits units : {VectorUnits::Avx512, VectorUnits::Avx2, VectorUnits::Sse2, VectorUnits::Plain}) {
        if (setVectorUnits(units) != units) continue;
        for (float w1 : firsts) expectAllPairs(mul, w1, 1.0f);
    }
    setVectorUnits(VectorUnits::Avx512);
}

// The selections by their threshold form, where one exists for the weights:
// ratios of positive weights from tiny to past the form's limit of 120, a
// few floats either side of round ones, each way round; every pair on every
// set of vector units the processor has.
TEST_F(AllPairs, SelectionsMatchTheirFormulaNearTheThresholdForms) {
    const float ratios[] = {1.0f, 0.8f, 1.25f, 1.0f / 3, 3.0f, 0.5f, 2.0f, 0.1f, 7.3f, 119.0f, 120.0f, 121.0f, 1e-6f};
    std::vector<std::pair<float, float>> weights;
    for (float r : ratios) {
        float below = r, above = r;
        for (int step = 0; step < 2; ++step) {
            below = std::nextafter(below, 0.0f);
            above = std::nextafter(above, INF);
        }
        for (float w : {r, below, above}) weights.push_back({w, 1.0f}), weights.push_back({0.7f, 0.7f / w});
    }
    for (VectorUnits units : {VectorUnits::Avx512, VectorUnits::Avx2, VectorUnits::Sse2, VectorUnits::Plain}) {
        if (setVectorUnits(units) != units) continue;
        WideUnitsReset reset;
        for (bool wide : unitSettings()) {
            setWideUnits(wide);
            for (const auto& w : weights) {
                expectAllPairs(COMBINERS[2], w.first, w.second);
                expectAllPairs(COMBINERS[3], w.first, w.second);
            }
        }
    }
    setVectorUnits(VectorUnits::Avx512);
}

// Bitwise operands whose products take every shift 8..23 (200 is just below
// 2^16 times 2^-8, 3 * 2^-9 times 2^-23), of both signs, each beside one of
// another shift, for every operation.
TEST_F(AllPairs, BitwiseOperandsOfEveryShiftMatchTheirFormula) {
    const float weights[] = {200.0f, 100.0f, 50.0f, 25.0f, 12.0f, 6.0f, 3.0f, 1.5f,
                             0.75f, 0.375f, 0x3p-5f, 0x3p-6f, 0x3p-7f, 0x3p-8f, 0x3p-9f, 2.5f};
    WideUnitsReset reset;
    for (bool wide : unitSettings()) {
        setWideUnits(wide);
        for (const auto& c : COMBINERS) {
            if (c.run != xorLayers && c.run != orLayers && c.run != andLayers) continue;
            for (size_t k = 0; k + 1 < std::size(weights); ++k) {
                expectAllPairs(c, weights[k], -weights[k + 1]);
                expectAllPairs(c, -weights[k + 1], weights[k]);
            }
        }
    }
}

// Values the operations are known by, on one pixel.
TEST(CombinerValues, BoundariesTiesAndWraps) {
    struct Case {
        Combiner run;
        uint8_t a, b;
        float w1, w2;
        uint8_t expected;
    };
    const Case cases[] = {
        {addLayers, 255, 255, 0.5f, 0.5f, 255},
        {addLayers, 1, 0, 0.5f, 0.5f, 0},  // 0.5 truncates
        {addLayers, 10, 200, 1.0f, -1.0f, 0},
        {addLayers, 255, 0, 1.0f, 7.0f, 255},  // total exactly 255
        {addLayers, 100, 100, 1.3f, 1.0f, 230},
        {addLayers, 200, 200, 1.0f, 1.0f, 255},
        {mulLayers, 255, 255, 1.0f, 1.0f, 255},
        {mulLayers, 254, 255, 1.0f, 1.0f, 254},
        {mulLayers, 128, 255, 1.0f, 1.0f, 128},
        {mulLayers, 1, 1, 1.0f, 1.0f, 0},
        {mulLayers, 200, 200, -1.0f, 1.0f, 0},
        {mulLayers, 3, 3, INF, 1.0f, 255},
        {mulLayers, 0, 3, INF, 1.0f, 0},  // 0 * inf is NaN, stored as 0
        {maxCombineLayers, 100, 150, 2.0f, 1.0f, 100},
        {minCombineLayers, 100, 150, 2.0f, 1.0f, 150},
        {maxCombineLayers, 60, 30, 1.0f, 2.0f, 30},
        {minCombineLayers, 60, 30, 1.0f, 2.0f, 30},  // ties: src2
        {maxCombineLayers, 5, 9, NaN, 1.0f, 5},
        {minCombineLayers, 5, 9, NaN, 1.0f, 5},  // NaN: src1
        {xorLayers, 200, 3, 2.0f, 1.0f, uint8_t((400 ^ 3) & 255)},
        {xorLayers, 0xA5, 0x0F, 1.0f, 1.0f, 0xAA},
        {andLayers, 1, 255, -12.5f, 1.0f, 244},  // trunc(-12.5) = -12, low byte 244
        {orLayers, 1, 0, 1e30f, 0.0f, 255},      // beyond int32: clamps to 2^31 - 1
        {orLayers, 1, 0, -1e30f, 0.0f, 0},       // -2^31
        {orLayers, 1, 0, NaN, 0.0f, 0},
    };
    initLayers(1, 1);
    for (const auto& c : cases) {
        layers[0][0] = {c.a, c.a, c.a};
        layers[1][0] = {c.b, c.b, c.b};
        c.run(0, 1, 2, c.w1, c.w2);
        EXPECT_EQ(int(layers[2][0].green), int(c.expected))
            << int(c.a) << "," << int(c.b) << " " << c.w1 << "," << c.w2;
    }
    freeLayers();
}

// Sizes whose byte counts leave tails after the wide blocks, and aliasing of
// the destination with either source.
TEST(CombinerLayout, TailsAndAliasingGiveTheSeparateResult) {
    WideUnitsReset reset;
    const int32_t sizes[][2] = {{1, 1}, {2, 2}, {4, 4}, {8, 4}, {8, 8}, {7, 9}, {67, 3}, {64, 64}};
    for (const auto& size : sizes) {
        initLayers(size[0], size[1]);
        for (bool wide : unitSettings()) {
            setWideUnits(wide);
            for (const auto& c : COMBINERS) {
                textest::fillNoise(0, 11);
                textest::fillNoise(1, 12);
                c.run(0, 1, 2, 0.7f, 0.45f);
                const auto separate = textest::snapshot(2);
                const auto* a = reinterpret_cast<const uint8_t*>(layers[0]);
                const auto* b = reinterpret_cast<const uint8_t*>(layers[1]);
                for (size_t i = 0; i < separate.size(); ++i)
                    ASSERT_EQ(int(separate[i]), int(c.formula(a[i], b[i], 0.7f, 0.45f))) << c.name << " byte " << i;
                c.run(0, 1, 0, 0.7f, 0.45f);
                EXPECT_EQ(textest::snapshot(0), separate) << c.name << " into src1";
                textest::fillNoise(0, 11);
                c.run(0, 1, 1, 0.7f, 0.45f);
                EXPECT_EQ(textest::snapshot(1), separate) << c.name << " into src2";
                textest::fillNoise(1, 12);
                c.run(1, 1, 3, 0.7f, 0.45f);  // one layer as both sources
                const auto* same = reinterpret_cast<const uint8_t*>(layers[3]);
                for (size_t i = 0; i < separate.size(); ++i)
                    ASSERT_EQ(int(same[i]), int(c.formula(b[i], b[i], 0.7f, 0.45f))) << c.name << " byte " << i;
            }
        }
        freeLayers();
    }
}

TEST(CombinerLayout, BadLayerIndicesAndNoEngineDoNothing) {
    initLayers(8, 8);
    textest::fillNoise(2, 3);
    const auto before = textest::snapshot(2);
    const uint32_t seed = randomSeed = 77;
    for (const auto& c : COMBINERS)
        for (const int32_t bad : {-1, 5, 6, INT32_MIN}) {
            c.run(bad, 0, 2, 1.0f, 1.0f);
            c.run(0, bad, 2, 1.0f, 1.0f);
            c.run(0, 1, bad, 1.0f, 1.0f);
        }
    randCombineLayers(0, 1, 5, 1.0f, 1.0f);
    EXPECT_EQ(textest::snapshot(2), before);
    EXPECT_EQ(randomSeed, seed);
    freeLayers();
    for (const auto& c : COMBINERS) c.run(0, 1, 2, 1.0f, 1.0f);
    randCombineLayers(0, 1, 2, 1.0f, 1.0f);
}

// ---- Random scatter ----

class RandCombine : public textest::EngineTest {
protected:
    RandCombine() : EngineTest(32, 16) {}
    void SetUp() override {
        EngineTest::SetUp();
        textest::fillNoise(0, 5);
        textest::fillNoise(1, 6);
    }
};

TEST_F(RandCombine, MatchesThePlainRoundLoopAndItsSeed) {
    const float weights[][2] = {{1.0f, 1.0f},  {0.3f, 0.0f},  {0.0f, 0.7f},         {2.5f, 0.25f},
                                {0.25f, 2.5f}, {-1.0f, 0.5f}, {1.0f / 3, 1.0f / 3}, {4.0f, 4.0f}};
    for (const auto& w : weights) {
        const auto expected = colourref::randCombine(0, 1, w[0], w[1]);
        const uint32_t seedAfter = randomSeed;
        randomSeed = 12345;  // whatever ran before does not matter
        randCombineLayers(0, 1, 2, w[0], w[1]);
        EXPECT_EQ(textest::snapshot(2), expected) << w[0] << "," << w[1];
        EXPECT_EQ(randomSeed, seedAfter) << w[0] << "," << w[1];
    }
}

TEST_F(RandCombine, NoCopiesLeaveMidGreyAndStillResetTheSeed) {
    for (float w : {0.0f, -2.0f, NaN, -INF}) {
        randomSeed = 99;
        randCombineLayers(0, 1, 2, w, w);
        EXPECT_EQ(randomSeed, 45390954u) << w;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 32; ++x) ASSERT_EQ(at(2, x, y), (Pixel{127, 127, 127})) << w;
    }
}

TEST_F(RandCombine, DestinationMayBeASource) {
    randCombineLayers(0, 1, 2, 0.8f, 0.6f);
    const auto separate = textest::snapshot(2);
    randCombineLayers(0, 1, 1, 0.8f, 0.6f);
    EXPECT_EQ(textest::snapshot(1), separate);
    textest::fillNoise(1, 6);
    randCombineLayers(0, 1, 0, 0.8f, 0.6f);
    EXPECT_EQ(textest::snapshot(0), separate);
}

// Rounds stop at 8 per pixel (weights above 16/3): larger and enormous
// weights give exactly the picture and seed of the cap, in time proportional
// to the layer.
TEST_F(RandCombine, RoundsAreCappedAtEightPerPixel) {
    const float cap = 16.0f / 3.0f;
    const auto expected = colourref::randCombine(0, 1, cap, 1.0f);
    ASSERT_EQ(extRint(ext(512.0) * float(cap * ext(1.5))), 8 * 512) << "the cap's weight gives exactly 8 rounds per pixel";
    const uint32_t seedAfter = randomSeed;
    for (float w : {6.0f, 1e9f, 3e38f, INF}) {
        randCombineLayers(0, 1, 2, w, 1.0f);
        EXPECT_EQ(textest::snapshot(2), expected) << w;
        EXPECT_EQ(randomSeed, seedAfter) << w;
    }
    randCombineLayers(0, 1, 2, 1e9f, 3e38f);
    EXPECT_EQ(textest::snapshot(2), colourref::randCombine(0, 1, cap, cap));
}

// A layer whose rounds run in several chunks, cut into bands on several
// threads: the plain round loop's picture and seed whatever the thread count.
TEST(RandCombineBands, ChunksAndBandsGiveThePlainRoundLoop) {
    const int64_t savedCutoff = splitCutoff;
    splitCutoff = 0;
    initLayers(128, 128);
    textest::fillNoise(0, 5);
    textest::fillNoise(1, 6);
    for (const auto& w : {std::pair<float, float>{1.0f, 1.0f}, {4.0f, 0.5f}}) {
        const auto expected = colourref::randCombine(0, 1, w.first, w.second);
        const uint32_t seedAfter = randomSeed;
        for (const int32_t threads : {1, 3}) {
            setThreadCount(threads);
            randCombineLayers(0, 1, 2, w.first, w.second);
            EXPECT_EQ(textest::snapshot(2), expected) << w.first << "," << w.second << " on " << threads;
            EXPECT_EQ(randomSeed, seedAfter) << w.first << "," << w.second << " on " << threads;
        }
    }
    setThreadCount(1);
    splitCutoff = savedCutoff;
    freeLayers();
}

TEST(RandCombineCap, EnormousWeightsFinish) {
    initLayers(4, 4);
    textest::fillNoise(0, 8);
    textest::fillNoise(1, 9);
    const auto start = std::chrono::steady_clock::now();
    randCombineLayers(0, 1, 2, INF, 3e38f);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 120.0);  // a hang guard, not a speed target
    freeLayers();
}

// ---- Golden hashes of the plain formulas on fixed noise ----

TEST(CombinerGolden, HashesOfThePlainFormulas) {
    struct Golden {
        int combiner;
        float w1, w2;
        uint64_t hash;
    };
    const Golden golden[] = {
        {0, 0.5f, 0.5f, 4586738120904831841uLL},   {0, 0.7f, 0.45f, 14795283599347478730uLL},
        {0, 1.0f, -0.3f, 10083519146766227875uLL}, {1, 1.0f, 1.0f, 1631405662690759034uLL},
        {1, 2.5f, 0.8f, 14366782098054127763uLL},  {2, 1.0f, 1.0f, 5587688270546891737uLL},
        {2, 2.0f, 0.75f, 5822482635356594965uLL},  {3, 1.0f, 1.0f, 8343478076806396939uLL},
        {3, 0.6f, 1.1f, 10861596362184783555uLL},  {4, 1.0f, 1.0f, 3213477639258113587uLL},
        {4, 2.0f, -1.5f, 15022915388140985747uLL}, {5, 0.5f, 3.0f, 6395961687931853856uLL},
        {6, 1.7f, 0.9f, 7959496399371740104uLL},
    };
    WideUnitsReset reset;
    initLayers(64, 64);
    textest::fillNoise(0, 1);
    textest::fillNoise(1, 2);
    const auto* a = reinterpret_cast<const uint8_t*>(layers[0]);
    const auto* b = reinterpret_cast<const uint8_t*>(layers[1]);
    for (const auto& g : golden) {
        const CombinerCase& c = COMBINERS[g.combiner];
        auto* plain = reinterpret_cast<uint8_t*>(layers[3]);
        for (size_t i = 0; i < 64 * 64 * 3; ++i) plain[i] = c.formula(a[i], b[i], g.w1, g.w2);
        EXPECT_EQ(layerHash(3), g.hash) << c.name << " " << g.w1 << "," << g.w2;
        for (bool wide : unitSettings()) {
            setWideUnits(wide);
            c.run(0, 1, 2, g.w1, g.w2);
            EXPECT_EQ(layerHash(2), layerHash(3)) << c.name << " " << g.w1 << "," << g.w2 << " wide=" << wide;
        }
    }
    randCombineLayers(0, 1, 2, 0.8f, 0.6f);
    EXPECT_EQ(textest::snapshot(2), colourref::randCombine(0, 1, 0.8f, 0.6f));
    EXPECT_EQ(layerHash(2), 7019955993649876999uLL) << "randCombine";
    freeLayers();
}

// Each opcode of the family reaches its operation with converted arguments:
// layer slots and the RGB offsets truncated, the other slots unchanged.
TEST(ColourOpcodes, RecordsRunTheirOperations) {
    struct Case {
        int32_t opcode;
        textest::Params params;
        void (*direct)();
    };
    const Case cases[] = {
        {10, {0.9f, 1.2f, 2.7f, 0.7f, 0.45f}, [] { addLayers(0, 1, 2, 0.7f, 0.45f); }},
        {12, {0, 1, 2, 0.6f, 0.4f}, [] { randCombineLayers(0, 1, 2, 0.6f, 0.4f); }},
        {15, {0, 1, 2, 2.0f, 1.0f}, [] { xorLayers(0, 1, 2, 2.0f, 1.0f); }},
        {21, {0, 2, 1.1f, 0.9f, 1.2f}, [] { scaleLayerHSV(0, 2, 1.1f, 0.9f, 1.2f); }},
        {22, {0, 2, 20.9f, -10.9f, 5.5f}, [] { adjustLayerRGB(0, 2, 20, -10, 5); }},
        {23, {0, 2, 30.5f, 0.1f, -10.0f}, [] { adjustLayerHSV(0, 2, 30.5f, 0.1f, -10.0f); }},
        {24, {0, 2, 0.02f, 0.005f, 0.01f}, [] { sineLayerRGB(0, 2, 0.02f, 0.005f, 0.01f); }},
        {26, {0, 2}, [] { stretchRGB(0, 2); }},
    };
    initLayers(16, 16);
    textest::fillNoise(0, 41);
    textest::fillNoise(1, 42);
    for (const auto& c : cases) {
        c.direct();
        const auto expected = textest::snapshot(2);
        textest::fillNoise(2, 43);
        runOperation(c.opcode, c.params.data());
        EXPECT_EQ(textest::snapshot(2), expected) << c.opcode;
    }
    freeLayers();
}

// Layers of several megabytes are written with streaming stores after a
// head up to the first 64-byte boundary; the bytes are those of the plain
// passes, into a separate destination and in place.
TEST(ColourLayout, LargeLayersGiveThePlainPassesBytes) {
    WideUnitsReset reset;
    if (!setWideUnits(true)) GTEST_SKIP() << "no wide units";
    initLayers(2048, 1024);
    using Run = void (*)(int32_t);  // writes layer dst from layers 0 and 1
    const Run runs[] = {
        [](int32_t d) { addLayers(0, 1, d, 0.7f, 0.45f); },
        [](int32_t d) { mulLayers(0, 1, d, 1.2f, 0.9f); },
        [](int32_t d) { minCombineLayers(0, 1, d, 1.0f, 0.8f); },
        [](int32_t d) { xorLayers(0, 1, d, 2.0f, 1.0f); },
        [](int32_t d) { scaleLayerRGB(0, d, 1.2f, 0.9f, 0.5f); },
        [](int32_t d) { sineLayerRGB(0, d, 0.02f, 0.02f, 0.02f); },
        [](int32_t d) { equalizeRGB(0, d); },
    };
    for (const Run run : runs) {
        textest::fillNoise(0, 51);
        textest::fillNoise(1, 52);
        setWideUnits(false);
        run(2);
        const auto plain = textest::snapshot(2);
        setWideUnits(true);
        run(3);
        EXPECT_EQ(textest::snapshot(3), plain);
        run(0);
        EXPECT_EQ(textest::snapshot(0), plain);
    }
    freeLayers();
}

// A layer of several megabytes, with a tail after the whole registers,
// on every set of vector units the processor has: each combiner against its
// formula, into a separate layer and into its first source. Weights with
// few mantissa bits (the bitwise operands computed in lanes), with many, and
// the ones of the random scatter's neighbours that take the table paths.
TEST(CombinerLayout, LargeLayersOnEveryVectorUnitGiveTheFormula) {
    initLayers(1201, 1199);  // 4.3 MB of bytes, not a multiple of 32
    textest::fillNoise(0, 21);
    textest::fillNoise(1, 22);
    const auto first = textest::snapshot(0), second = textest::snapshot(1);
    const float weights[][2] = {{0.7f, 0.45f},  {1.0f, 2.0f},     {1.5f, -3.0f}, {-0.3f, 1e-3f},
                                {300.25f, 1.0f}, {1e-40f, 1.0f},  {1.0f, 1.0f},  {1.0f, -1.0f}};
    for (VectorUnits units : {VectorUnits::Avx2, VectorUnits::Sse2, VectorUnits::Plain}) {
        if (setVectorUnits(units) != units) continue;
        for (const auto& c : COMBINERS)
            for (const auto& w : weights) {
                uint8_t expected[256][256];
                for (int a = 0; a < 256; ++a)
                    for (int b = 0; b < 256; ++b) expected[a][b] = c.formula(uint8_t(a), uint8_t(b), w[0], w[1]);
                c.run(0, 1, 2, w[0], w[1]);
                const auto* out = reinterpret_cast<const uint8_t*>(layers[2]);
                for (size_t i = 0; i < first.size(); ++i)
                    ASSERT_EQ(int(out[i]), int(expected[first[i]][second[i]]))
                        << c.name << " byte " << i << " w1=" << w[0] << " w2=" << w[1] << " " << vectorUnitsName(units);
                c.run(0, 1, 0, w[0], w[1]);
                EXPECT_EQ(0, std::memcmp(layers[0], layers[2], first.size())) << c.name << " into src1";
                std::memcpy(layers[0], first.data(), first.size());
            }
    }
    setVectorUnits(VectorUnits::Avx512);
    freeLayers();
}
