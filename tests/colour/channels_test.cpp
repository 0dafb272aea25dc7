// Channel scaling and adjustment: every byte against the plain formulas on
// both passes, saturation at the boundaries, the HSV round trip's known
// losses, hue wrapping of any magnitude, aliasing and golden hashes.
#include <chrono>
#include <limits>
#include <random>

#include "colour/colour_reference.h"
#include "engine/colour/kernels.h"
#include "test_util.h"

using namespace tex;
using colourref::INF;
using colourref::NaN;
using colourref::unitSettings;
using colourref::WideUnitsReset;
using textest::at;
using textest::layerHash;


// Layer 0 holds every byte in every channel, each channel in its own order.
class ChannelBytes : public textest::EngineTest {
protected:
    ChannelBytes() : EngineTest(256, 4) {}
    void SetUp() override {
        EngineTest::SetUp();
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 256; ++x) at(0, x, y) = {uint8_t(x), uint8_t(255 - x), uint8_t(x * 7 + y)};
    }
    template <typename Formula>
    void expectEveryByte(Formula formula, const char* what) {
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 256; ++x) {
                const Pixel in = at(0, x, y), out = at(1, x, y);
                ASSERT_EQ(out, (Pixel{formula(0, in.red), formula(1, in.green), formula(2, in.blue)}))
                    << what << " at " << x << "," << y << " wide=" << wideUnitsEnabled();
            }
    }
};

TEST_F(ChannelBytes, ScaleRGBMatchesItsFormula) {
    WideUnitsReset reset;
    const float factors[][3] = {{1, 1, 1},
                                {2, 0.5f, -1},
                                {0.3f, 1.7f, 254.9f},
                                {1e-30f, 3e38f, INF},
                                {NaN, -INF, -0.0f},
                                {1.0f / 255, 0.999999f, 1.000001f}};
    for (bool wide : unitSettings()) {
        setWideUnits(wide);
        for (const auto& f : factors) {
            scaleLayerRGB(0, 1, f[0], f[1], f[2]);
            expectEveryByte([&](int c, uint8_t v) { return colourref::scaleRGB(v, f[c]); }, "scaleLayerRGB");
        }
    }
}

// Factors of two decimals from 0.01 to 3 and next to the ends of the
// integer form (128 and below), with their neighbouring floats: where the
// plain passes take the form, each channel's must give its formula's bytes.
TEST_F(ChannelBytes, ScaleRGBMatchesItsFormulaForManyFactors) {
    for (int k = 1; k <= 300; k += 3) {
        const float f = float(k) * 0.01f;
        const float factors[3] = {f, std::nextafter(f, 0.0f), std::nextafter(f, 4.0f)};
        scaleLayerRGB(0, 1, factors[0], factors[1], factors[2]);
        expectEveryByte([&](int c, uint8_t v) { return colourref::scaleRGB(v, factors[c]); }, "scaleLayerRGB");
    }
    const float ends[3] = {127.99f, 128.0f, 0.0001f};
    scaleLayerRGB(0, 1, ends[0], ends[1], ends[2]);
    expectEveryByte([&](int c, uint8_t v) { return colourref::scaleRGB(v, ends[c]); }, "scaleLayerRGB");
}

TEST_F(ChannelBytes, AdjustRGBMatchesItsFormulaAndSaturatesAtTheIntLimits) {
    WideUnitsReset reset;
    const int32_t offsets[][3] = {{0, 0, 0}, {-300, 300, 1}, {-128, 127, -1}, {INT32_MAX, INT32_MIN, 255}};
    for (bool wide : unitSettings()) {
        setWideUnits(wide);
        for (const auto& o : offsets) {
            adjustLayerRGB(0, 1, o[0], o[1], o[2]);
            expectEveryByte([&](int c, uint8_t v) { return colourref::adjustRGB(v, o[c]); }, "adjustLayerRGB");
        }
    }
    // 255 + (2^31 - 1) would overflow 32 bits; it saturates like any large sum.
    adjustLayerRGB(0, 1, INT32_MAX, INT32_MAX, INT32_MAX);
    EXPECT_EQ(at(1, 255, 0), (Pixel{255, 255, 255}));
    adjustLayerRGB(0, 1, INT32_MIN, INT32_MIN, INT32_MIN);
    EXPECT_EQ(at(1, 255, 0), (Pixel{0, 0, 0}));
}

TEST(ChannelValues, RGBBoundaries) {
    initLayers(1, 1);
    layers[0][0] = {128, 200, 3};
    scaleLayerRGB(0, 1, 2.0f, 1.0f, -1.0f);  // 256.0 saturates; negative gives 0
    EXPECT_EQ(layers[1][0], (Pixel{255, 200, 0}));
    scaleLayerRGB(0, 1, 1.9921875f, 1.275f, 1.0f);  // 255.0 exactly, and 255.00000x
    EXPECT_EQ(layers[1][0], (Pixel{255, 255, 3}));
    adjustLayerRGB(0, 1, -300, 300, 252);
    EXPECT_EQ(layers[1][0], (Pixel{0, 255, 255}));
    freeLayers();
}

// ---- HSV ----

TEST(HsvValues, RoundTripLossesGreysAndTints) {
    struct Case {
        bool scale;
        Pixel in;
        float h, s, v;
        Pixel expected;
    };
    const Case cases[] = {
        {true, {68, 32, 130}, 1, 1, 1, {67, 31, 130}},  // neutral arguments lose a unit
        {true, {199, 221, 1}, 1, 1, 1, {199, 221, 0}},
        {false, {68, 32, 130}, 0, 0, 0, {67, 31, 130}},
        {true, {90, 90, 90}, 1, 1, 1, {90, 90, 90}},        // greys come back unchanged
        {true, {90, 90, 90}, 7, 3, 2, {180, 180, 180}},     // and stay grey, value scaled
        {true, {200, 200, 200}, 1, 1, 2, {255, 255, 255}},  // value clamps at 255
        {false, {100, 100, 100}, 0, 1, 0, {100, 0, 1}},     // hue -1 + 0 = 359: red tint
        {false, {10, 200, 30}, 0, 0, 255, {12, 255, 38}},   // value offset 255
        {false, {10, 200, 30}, 0, 0, -255, {0, 0, 0}},      // and -255: black
        {true, {255, 0, 0}, 1, -1, 1, {255, 255, 255}},     // saturation clamps at 0
        {false, {255, 0, 0}, 120, 0, 0, {0, 255, 0}},
        {false, {255, 0, 0}, 360, 0, 0, {255, 0, 0}},  // a whole turn
        {false, {255, 0, 0}, -240, 0, 0, {0, 255, 0}},
        {true, {0, 255, 0}, 4, 1, 1, {0, 255, 0}},  // 120 * 4 = 480 = 120 + 360
    };
    initLayers(1, 1);
    for (const auto& c : cases) {
        layers[0][0] = c.in;
        (c.scale ? scaleLayerHSV : adjustLayerHSV)(0, 1, c.h, c.s, c.v);
        EXPECT_EQ(layers[1][0], c.expected)
            << c.in << (c.scale ? " scaled " : " adjusted ") << c.h << "," << c.s << "," << c.v;
        EXPECT_EQ(layers[1][0], colourref::hsvPixel(c.in, c.scale, c.h, c.s, c.v));
    }
    freeLayers();
}

// Enormous hues are reduced in one step: the result is that of the exact
// remainder modulo 360, and the call takes no longer than for a small hue.
TEST(HsvValues, EnormousAndNonFiniteHuesFinishAndStayDefined) {
    initLayers(64, 64);
    textest::fillNoise(0, 4);
    const auto start = std::chrono::steady_clock::now();
    for (float h : {1e30f, -3e38f, INF, -INF, NaN}) {
        scaleLayerHSV(0, 1, h, 1.0f, 1.0f);
        adjustLayerHSV(0, 2, h, 0.1f, 0.0f);
        for (int i = 0; i < 64 * 64; ++i) {
            ASSERT_EQ(layers[1][i], colourref::hsvPixel(layers[0][i], true, h, 1.0f, 1.0f)) << h;
            ASSERT_EQ(layers[2][i], colourref::hsvPixel(layers[0][i], false, h, 0.1f, 0.0f)) << h;
        }
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 30.0);
    // 2^40 degrees is 16 degrees plus a whole number of turns.
    layers[0][0] = {255, 0, 0};
    adjustLayerHSV(0, 1, 1099511627776.0f, 0.0f, 0.0f);
    float r, g, b;
    hsvToRgb(16.0f, 1.0f, 255.0f, r, g, b);
    EXPECT_EQ(layers[1][0], (Pixel{uint8_t(r), uint8_t(g), uint8_t(b)}));
    // NaN saturation or value arguments: every NaN result converts to 0.
    for (float bad : {NaN, INF, -INF}) {
        scaleLayerHSV(0, 1, 1.0f, bad, bad);
        adjustLayerHSV(0, 2, 1.0f, bad, -bad);
        for (int i = 0; i < 64 * 64; ++i) {
            ASSERT_EQ(layers[1][i], colourref::hsvPixel(layers[0][i], true, 1.0f, bad, bad)) << bad;
            ASSERT_EQ(layers[2][i], colourref::hsvPixel(layers[0][i], false, 1.0f, bad, -bad)) << bad;
        }
    }
    freeLayers();
}

// Every colour of a 2^24 grid sample through both HSV operations, and the
// destination as the source.
TEST(HsvLayers, MatchThePlainConversionAndMayWorkInPlace) {
    initLayers(256, 256);
    std::mt19937 random(5);
    const float args[][4] = {
        {1, 1, 1, 1}, {0, 1.3f, -0.2f, 1.1f}, {0, 37.5f, 0.25f, -12.0f}, {1, 2.5f, 0.5f, 1.5f}, {1, -1.0f, 3.0f, 0.9f}};
    WideUnitsReset reset;
    for (bool wide : unitSettings())
        for (const auto& a : args) {
            setWideUnits(wide);
            for (int i = 0; i < 256 * 256; ++i)
                layers[0][i] = {uint8_t(random()), uint8_t(random()), uint8_t(random() % 4 == 0 ? 0 : random())};
            const bool scale = a[0] == 1;
            const auto run = scale ? scaleLayerHSV : adjustLayerHSV;
            run(0, 1, a[1], a[2], a[3]);
            for (int i = 0; i < 256 * 256; ++i)
                ASSERT_EQ(layers[1][i], colourref::hsvPixel(layers[0][i], scale, a[1], a[2], a[3])) << layers[0][i];
            run(0, 0, a[1], a[2], a[3]);
            EXPECT_EQ(textest::snapshot(0), textest::snapshot(1));
        }
    freeLayers();
}

TEST(ChannelLayers, AliasingBadIndicesAndGoldenHashes) {
    initLayers(64, 64);
    textest::fillNoise(0, 21);
    struct Golden {
        const char* name;
        void (*run)(int32_t, int32_t);
        uint64_t hash;
    };
    const Golden golden[] = {
        {"scaleRGB", [](int32_t s, int32_t d) { scaleLayerRGB(s, d, 1.3f, 0.7f, 2.2f); }, 12252699521489885163uLL},
        {"adjustRGB", [](int32_t s, int32_t d) { adjustLayerRGB(s, d, 40, -25, 100); }, 11834338685364960591uLL},
        {"scaleHSV", [](int32_t s, int32_t d) { scaleLayerHSV(s, d, 1.5f, 0.8f, 1.2f); }, 4014968580176505246uLL},
        {"adjustHSV", [](int32_t s, int32_t d) { adjustLayerHSV(s, d, 45.0f, 0.1f, -20.0f); }, 13968020902317071473uLL},
    };
    for (const auto& g : golden) {
        textest::fillNoise(0, 21);
        g.run(0, 1);
        EXPECT_EQ(layerHash(1), g.hash) << g.name;
        g.run(0, 0);
        EXPECT_EQ(textest::snapshot(0), textest::snapshot(1)) << g.name << " in place";
        const auto before = textest::snapshot(1);
        for (int32_t bad : {-1, 5, 9}) {
            g.run(bad, 1);
            g.run(0, bad);
        }
        EXPECT_EQ(textest::snapshot(1), before) << g.name;
    }
    // The plain formulas give the same hashes.
    textest::fillNoise(0, 21);
    for (int i = 0; i < 64 * 64; ++i) {
        const Pixel p = layers[0][i];
        layers[2][i] = {colourref::scaleRGB(p.red, 1.3f), colourref::scaleRGB(p.green, 0.7f),
                        colourref::scaleRGB(p.blue, 2.2f)};
        layers[3][i] = {colourref::adjustRGB(p.red, 40), colourref::adjustRGB(p.green, -25),
                        colourref::adjustRGB(p.blue, 100)};
    }
    EXPECT_EQ(layerHash(2), golden[0].hash);
    EXPECT_EQ(layerHash(3), golden[1].hash);
    for (int i = 0; i < 64 * 64; ++i) {
        layers[2][i] = colourref::hsvPixel(layers[0][i], true, 1.5f, 0.8f, 1.2f);
        layers[3][i] = colourref::hsvPixel(layers[0][i], false, 45.0f, 0.1f, -20.0f);
    }
    EXPECT_EQ(layerHash(2), golden[2].hash);
    EXPECT_EQ(layerHash(3), golden[3].hash);
    freeLayers();
    scaleLayerHSV(0, 1, 1, 1, 1);  // no engine: nothing happens
    adjustLayerRGB(0, 1, 1, 1, 1);
}

// Scaling on a layer of several megabytes, with a tail
// after the whole registers, on every set of vector units the processor
// has, into a separate layer and in place.
TEST(ChannelLayers, LargeLayersOnEveryVectorUnitGiveTheFormula) {
    initLayers(1201, 1199);
    textest::fillNoise(0, 41);
    const auto source = textest::snapshot(0);
    const float factors[][3] = {{1.2f, 0.9f, 0.5f}, {-1.0f, 1e-30f, 8388608.0f}, {2.0f, 1.0f, 0.7f}};
    for (VectorUnits units : {VectorUnits::Avx2, VectorUnits::Sse2, VectorUnits::Plain}) {
        if (setVectorUnits(units) != units) continue;
        for (const auto& f : factors)
            for (int32_t dst : {1, 0}) {
                scaleLayerRGB(0, dst, f[0], f[1], f[2]);
                const auto* out = reinterpret_cast<const uint8_t*>(layers[dst]);
                for (size_t i = 0; i < source.size(); ++i)
                    ASSERT_EQ(int(out[i]), int(colourref::scaleRGB(source[i], f[i % 3])))
                        << "byte " << i << " " << vectorUnitsName(units) << " into " << dst;
                std::memcpy(layers[0], source.data(), source.size());
            }
    }
    setVectorUnits(VectorUnits::Avx512);
    freeLayers();
}
