// Tone curves: the sine tables against the plain formula for every byte,
// equalisation's rounding of halves to even, the occupied range of the
// stretch, channel independence, odd sizes and golden hashes.
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

namespace {


// Equalisation or stretch of one layer, the plain way: histograms, the
// mapping per channel, then every byte through it.
std::vector<uint8_t> plainEqualize(int32_t src, bool stretch) {
    const size_t pixels = size_t(layerWidth) * layerHeight;
    uint32_t counts[3][256] = {};
    for (size_t i = 0; i < pixels; ++i) {
        ++counts[0][layers[src][i].red];
        ++counts[1][layers[src][i].green];
        ++counts[2][layers[src][i].blue];
    }
    uint8_t map[3][256];
    for (int c = 0; c < 3; ++c) colourref::equalizeTable(counts[c], stretch, pixels, map[c]);
    std::vector<uint8_t> out(pixels * 3);
    const auto* in = reinterpret_cast<const uint8_t*>(layers[src]);
    for (size_t i = 0; i < out.size(); ++i) out[i] = map[i % 3][in[i]];
    return out;
}

}  // namespace

TEST(SineCurve, EveryByteMatchesThePlainFormula) {
    WideUnitsReset reset;
    initLayers(256, 2);
    for (int x = 0; x < 256; ++x) at(0, x, 0) = at(0, 255 - x, 1) = {uint8_t(x), uint8_t(x ^ 0x55), uint8_t(255 - x)};
    const float frequencies[][3] = {{1.0f / 255, 1.0f / 255, 1.0f / 255},
                                    {0, 1, 2},
                                    {0.013f, -0.7f, 100.5f},
                                    {1e30f, -3e38f, 1e-30f},
                                    {NaN, INF, -INF}};
    for (bool wide : unitSettings()) {
        setWideUnits(wide);
        for (const auto& f : frequencies) {
            sineLayerRGB(0, 1, f[0], f[1], f[2]);
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 256; ++x) {
                    const Pixel in = at(0, x, y);
                    ASSERT_EQ(at(1, x, y), (Pixel{colourref::sine(in.red, f[0]), colourref::sine(in.green, f[1]),
                                                  colourref::sine(in.blue, f[2])}))
                        << f[0] << "," << f[1] << "," << f[2] << " at " << x << " wide=" << wide;
                }
        }
    }
    freeLayers();
}

// The tables come from the double sine where a margin proves the byte; over
// ten million (byte, frequency) pairs of every scale, including arguments
// beyond the margin's range and bytes near whole-number boundaries.
TEST(SineCurve, RandomFrequenciesMatchTheExtendedSine) {
    initLayers(256, 1);
    for (int x = 0; x < 256; ++x) at(0, x, 0) = {uint8_t(x), uint8_t(x), uint8_t(x)};
    std::mt19937 random(2024);
    auto frequency = [&]() -> float {
        switch (random() % 3) {
            case 0:
                return std::uniform_real_distribution<float>(-0.05f, 0.05f)(random);
            case 1:
                return float(random() % 1024) / float(1 + random() % 2048);  // simple ratios
            default: {
                const float f = std::exp2(std::uniform_real_distribution<float>(-30.0f, 14.0f)(random));
                return random() % 2 ? f : -f;
            }
        }
    };
    for (int call = 0; call < 13100; ++call) {
        const float f[3] = {frequency(), frequency(), frequency()};
        sineLayerRGB(0, 1, f[0], f[1], f[2]);
        for (int x = 0; x < 256; ++x)
            ASSERT_EQ(at(1, x, 0), (Pixel{colourref::sine(uint8_t(x), f[0]), colourref::sine(uint8_t(x), f[1]),
                                          colourref::sine(uint8_t(x), f[2])}))
                << f[0] << "," << f[1] << "," << f[2] << " byte " << x;
    }
    freeLayers();
}

TEST(SineCurve, KnownValues) {
    initLayers(8, 1);
    const uint8_t bytes[8] = {0, 1, 64, 127, 128, 200, 255, 255};
    const uint8_t half[8] = {127, 129, 217, 254, 254, 207, 127, 127};  // frequency 1/255
    for (int x = 0; x < 8; ++x) at(0, x, 0) = {bytes[x], bytes[x], bytes[x]};
    sineLayerRGB(0, 1, 1.0f / 255, 0.0f, NaN);
    for (int x = 0; x < 8; ++x) EXPECT_EQ(at(1, x, 0), (Pixel{half[x], 127, 0})) << int(bytes[x]);
    freeLayers();
}

TEST(Equalize, FlatHalvesAndRanges) {
    struct Case {
        bool stretch;
        uint8_t first, second;  // half the pixels each
        uint8_t mapFirst, mapSecond;
    };
    const Case cases[] = {
        {false, 0, 255, 128, 255},                                // 127.5 rounds to the even 128
        {true, 0, 255, 128, 255},    {true, 100, 200, 150, 200},  // equalised within [100, 200]
        {false, 100, 200, 128, 255}, {false, 77, 77, 255, 255},   // one flat colour: every channel 255
        {true, 77, 77, 77, 77},                                   // stretch leaves a flat colour
    };
    initLayers(16, 16);
    for (const auto& c : cases) {
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) {
                const uint8_t v = x < 8 ? c.first : c.second;
                at(0, x, y) = {v, v, uint8_t(x * 16 + y)};
            }
        (c.stretch ? stretchRGB : equalizeRGB)(0, 1);
        EXPECT_EQ(int(at(1, 0, 0).red), c.mapFirst) << int(c.first) << "," << int(c.second) << " " << c.stretch;
        EXPECT_EQ(int(at(1, 15, 0).green), c.mapSecond) << int(c.first) << "," << int(c.second) << " " << c.stretch;
        EXPECT_EQ(textest::snapshot(1), plainEqualize(0, c.stretch));
    }
    freeLayers();
}

// Odd sizes (tails in the counting and mapping passes), skewed histograms,
// a flat channel beside varying ones, and in-place use.
TEST(Equalize, MatchesThePlainMappingAndMayWorkInPlace) {
    WideUnitsReset reset;
    const int32_t sizes[][2] = {{1, 1}, {3, 1}, {7, 9}, {64, 32}, {256, 256}};
    std::mt19937 random(9);
    for (const auto& size : sizes) {
        initLayers(size[0], size[1]);
        for (int skew = 0; skew < 3; ++skew) {
            for (size_t i = 0, n = size_t(size[0]) * size[1]; i < n; ++i) {
                const uint32_t r = random();
                layers[0][i] = {uint8_t(40), uint8_t(skew == 0 ? r : (r % 7) * (r % 5) + 30),
                                uint8_t(skew == 2 ? 250 + (r >> 8) % 3 : r >> 16)};
            }
            for (bool stretch : {false, true}) {
                const auto expected = plainEqualize(0, stretch);
                for (bool wide : unitSettings()) {
                    setWideUnits(wide);
                    (stretch ? stretchRGB : equalizeRGB)(0, 1);
                    ASSERT_EQ(textest::snapshot(1), expected) << size[0] << "x" << size[1] << " skew " << skew;
                }
                if (stretch) {
                    EXPECT_EQ(int(layers[1][0].red), 40);  // a flat channel stays flat
                }
                textest::fillNoise(2, 1);
                std::memcpy(layers[2], layers[0], size_t(size[0]) * size[1] * 3);
                (stretch ? stretchRGB : equalizeRGB)(2, 2);
                EXPECT_EQ(textest::snapshot(2), expected);
            }
        }
        freeLayers();
    }
}

TEST(CurveLayers, BadIndicesAndGoldenHashes) {
    initLayers(64, 64);
    textest::fillNoise(0, 31);
    const auto before = textest::snapshot(1);
    for (int32_t bad : {-1, 5, 12}) {
        sineLayerRGB(bad, 1, 1, 1, 1);
        equalizeRGB(bad, 1);
        stretchRGB(bad, 1);
        sineLayerRGB(0, bad, 1, 1, 1);
        equalizeRGB(0, bad);
        stretchRGB(0, bad);
    }
    EXPECT_EQ(textest::snapshot(1), before);
    sineLayerRGB(0, 1, 0.02f, 0.005f, 1.0f / 255);
    EXPECT_EQ(layerHash(1), 13072051000587458060uLL);
    const auto* in = reinterpret_cast<const uint8_t*>(layers[0]);
    const float f[3] = {0.02f, 0.005f, 1.0f / 255};
    auto* plain = reinterpret_cast<uint8_t*>(layers[2]);
    for (size_t i = 0; i < 64 * 64 * 3; ++i) plain[i] = colourref::sine(in[i], f[i % 3]);
    EXPECT_EQ(layerHash(2), layerHash(1));
    // A skewed layer, so that equalisation changes it.
    for (int i = 0; i < 64 * 64; ++i) {
        const Pixel p = layers[0][i];
        layers[0][i] = {uint8_t(p.red / 3), uint8_t(p.green * p.green / 255), uint8_t(128 + p.blue / 4)};
    }
    equalizeRGB(0, 1);
    EXPECT_EQ(layerHash(1), 10834171475957098634uLL);
    EXPECT_EQ(textest::snapshot(1), plainEqualize(0, false));
    stretchRGB(0, 1);
    EXPECT_EQ(layerHash(1), 4806881574532212931uLL);
    EXPECT_EQ(textest::snapshot(1), plainEqualize(0, true));
    freeLayers();
    equalizeRGB(0, 1);  // no engine: nothing happens
}

// The per-channel tables on a layer of several megabytes, on every set
// of vector units the processor has, into a separate layer and in place:
// the same bytes as the plain mapping (one pass through the tables, byte by
// byte), for distinct tables per channel and for one shared by all three.
TEST(CurveLayers, LargeLayersOnEveryVectorUnitGiveThePlainMapping) {
    initLayers(1201, 1199);
    textest::fillNoise(0, 31);
    const auto source = textest::snapshot(0);
    const auto* in = source.data();
    auto sinePlain = [&](const float (&f)[3]) {
        std::vector<uint8_t> out(source.size());
        uint8_t table[3][256];
        for (int c = 0; c < 3; ++c)
            for (int v = 0; v < 256; ++v) table[c][v] = colourref::sine(uint8_t(v), f[c]);
        for (size_t i = 0; i < out.size(); ++i) out[i] = table[i % 3][in[i]];
        return out;
    };
    const float distinct[3] = {0.02f, 0.005f, 0.01f}, shared[3] = {0.3f, 0.3f, 0.3f};
    const auto equalized = plainEqualize(0, false), stretched = plainEqualize(0, true);
    const auto sineDistinct = sinePlain(distinct), sineShared = sinePlain(shared);
    for (VectorUnits units : {VectorUnits::Avx2, VectorUnits::Sse2, VectorUnits::Plain}) {
        if (setVectorUnits(units) != units) continue;
        SCOPED_TRACE(vectorUnitsName(units));
        for (int32_t dst : {1, 0}) {
            sineLayerRGB(0, dst, distinct[0], distinct[1], distinct[2]);
            EXPECT_EQ(textest::snapshot(dst), sineDistinct);
            std::memcpy(layers[0], source.data(), source.size());
            sineLayerRGB(0, dst, shared[0], shared[1], shared[2]);
            EXPECT_EQ(textest::snapshot(dst), sineShared);
            std::memcpy(layers[0], source.data(), source.size());
            equalizeRGB(0, dst);
            EXPECT_EQ(textest::snapshot(dst), equalized);
            std::memcpy(layers[0], source.data(), source.size());
            stretchRGB(0, dst);
            EXPECT_EQ(textest::snapshot(dst), stretched);
            std::memcpy(layers[0], source.data(), source.size());
        }
    }
    setVectorUnits(VectorUnits::Avx512);
    freeLayers();
}
