// Displacement distortions: staging, wrap-around, the random offsets' ranges
// and draw order, and the identities the formulas promise.
#include "engine/internal.h"
#include "test_util.h"

using namespace tex;
using textest::at;
using textest::snapshot;

class DisplaceTest : public textest::EngineTest {};

TEST_F(DisplaceTest, ZeroDisplacementsCopyTheSource) {
    textest::fillNoise(0, 1);
    const auto source = snapshot(0);
    sineDistort(0, 1, 0.3f, 0.0f, 0.7f, 0.0f);
    EXPECT_EQ(snapshot(1), source);
    sineDistort(0, 1, 0.0f, 25.0f, 0.0f, -3.0f);  // sin(0) = 0 whatever the amplitudes
    EXPECT_EQ(snapshot(1), source);
    colorLayer(2, 0, 0, 0);
    mapDistort(0, 2, 1, 7.5f, -3.0f);
    EXPECT_EQ(snapshot(1), source);
    moveDistort(0, 1, 64, -64);
    EXPECT_EQ(snapshot(1), source);
}

TEST_F(DisplaceTest, MapDistortReadsTheUnchangedSourceAndMap) {
    textest::fillNoise(0, 3);
    textest::fillNoise(1, 4);
    mapDistort(0, 0, 2, 0.03f, -0.02f);
    const auto expected = snapshot(2);
    mapDistort(0, 0, 0, 0.03f, -0.02f);  // map = dst = src
    EXPECT_EQ(snapshot(0), expected);
    // The map's brightness is its largest channel: a grey of the same
    // maximum displaces alike.
    colorLayer(1, 10, 16, 3);
    textest::fillNoise(0, 3);
    mapDistort(0, 1, 2, 1.0f, 0.5f);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) ASSERT_EQ(at(2, x, y), at(0, (x + 16) & 63, (y + 8) & 63));
}

TEST_F(DisplaceTest, TileLayerHalvesAndRepeatsWithTruncatingAverage) {
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) at(0, x, y) = {uint8_t(x / 2), uint8_t(y / 2), uint8_t((x % 2 && y % 2) ? 2 : 1)};
    tileLayer(0, 0);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            ASSERT_EQ(at(0, x, y), (Pixel{uint8_t(x & 31), uint8_t(y & 31), 1})) << x << "," << y;  // 1,1,1,2 -> 1
}

TEST(TileLayer, OnePixelSidesStayInsideTheLayer) {
    for (auto size : {std::pair<int, int>{1, 1}, {1, 8}, {8, 1}}) {
        initLayers(size.first, size.second);
        textest::fillNoise(0, 5);
        tileLayer(0, 1);  // the sanitizer build catches any read past the layer
        freeLayers();
    }
}

// noiseDistort's offset for a draw: (r - 32767) shifted logically.
TEST_F(DisplaceTest, NoiseDistortOffsetsFollowTheDrawOrder) {
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) at(0, x, y) = {uint8_t(x), uint8_t(y), 0};
    struct Case {
        int32_t seed, strength, minOffset, maxOffset;
    } cases[] = {{12345, 0, -1, 0}, {777, 2, -2, 2}, {58340664, 7, -64, 64}, {3, 16, -32767, 32768}};
    for (const Case& c : cases) {
        noiseDistort(0, 1, c.seed, c.strength);
        randomSeed = uint32_t(c.seed);
        int seenMin = 0, seenMax = 0;
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x) {
                const int32_t ox = int32_t(nextRandom()) - 32767, oy = int32_t(nextRandom()) - 32767;
                const int32_t sx = ox >> (16 - c.strength), sy = oy >> (16 - c.strength);  // floor division
                seenMin = std::min({seenMin, sx, sy});
                seenMax = std::max({seenMax, sx, sy});
                ASSERT_EQ(at(1, x, y), (Pixel{uint8_t((x + sx) & 63), uint8_t((y + sy) & 63), 0}));
            }
        EXPECT_GE(seenMin, c.minOffset);
        EXPECT_LE(seenMax, c.maxOffset);
        if (c.strength < 16) {
            EXPECT_EQ(seenMin, c.minOffset) << c.strength;
        }
    }
    // The seed is left after the last of 2 * width * height draws.
    noiseDistort(0, 1, 5, 3);
    uint32_t seed = 5;
    for (int i = 0; i < 2 * 64 * 64; ++i) seed *= 22695477u;
    EXPECT_EQ(randomSeed, seed);
}

TEST_F(DisplaceTest, NoiseDistortWithSeedZeroMovesEveryPixelAlike) {
    textest::fillNoise(0, 6);
    noiseDistort(0, 1, 0, 2);  // every draw 0: offsets -2, -2
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) ASSERT_EQ(at(1, x, y), at(0, (x - 2) & 63, (y - 2) & 63));
    // Shifts of 32 or more take the difference modulo 32; extreme strengths are safe.
    noiseDistort(0, 2, 0, 16 - 32);  // shift 32 -> 0
    noiseDistort(0, 3, 0, 16);       // shift 0
    EXPECT_EQ(snapshot(2), snapshot(3));
    noiseDistort(0, 2, 1, INT32_MIN);
    noiseDistort(0, 2, -1, INT32_MAX);
}

TEST_F(DisplaceTest, MoveDistortWrapsAnyOffset) {
    textest::fillNoise(0, 7);
    moveDistort(0, 1, -1, 0);  // the last column reappears first
    for (int y = 0; y < 64; ++y) {
        EXPECT_EQ(at(1, 0, y), at(0, 63, y));
        EXPECT_EQ(at(1, 1, y), at(0, 0, y));
    }
    moveDistort(0, 1, INT32_MAX, INT32_MIN);  // modulo 2^32: -1 columns, 0 rows
    for (int y = 0; y < 64; ++y) EXPECT_EQ(at(1, 0, y), at(0, 63, y));
    moveDistort(0, 0, 3, 5);
    moveDistort(0, 0, -3, -5);
    textest::fillNoise(1, 7);
    EXPECT_EQ(snapshot(0), snapshot(1));
}

TEST_F(DisplaceTest, InvalidLayersChangeNothing) {
    textest::fillNoise(0, 8);
    const auto before = snapshot(0);
    sineDistort(0, 5, 1, 1, 1, 1);
    mapDistort(0, -1, 0, 1, 1);
    tileLayer(6, 0);
    noiseDistort(0, 7, 1, 1);
    moveDistort(-1, 0, 1, 1);
    EXPECT_EQ(snapshot(0), before);
    freeLayers();
    sineDistort(0, 1, 1, 1, 1, 1);  // not initialised: nothing happens
    initLayers(64, 64);
}
