// Perlin noise: the octave schedule (ranges, spacings, early stops), the
// saturated sum, the random stream it leaves and golden hashes.
#include "engine/generators/plasma.h"
#include "test_util.h"

using namespace tex;
using textest::at;
using textest::layerHash;

namespace {

// The octave loop written out with subPlasma and a per-byte saturated add;
// draws into layer 3 and sums into layer 2.
void plainPerlin(int32_t step, int32_t seed, int32_t amplitude, int32_t persistence, int32_t octaves, bool colored) {
    subPlasma(2, step, seed, 1, colored);
    uint32_t range = uint32_t(amplitude), spacing = uint32_t(step);
    for (int32_t k = 1; k < octaves; ++k) {
        range = (range * uint32_t(persistence)) >> 8;
        spacing >>= 1;
        if (range == 0 || spacing == 0) break;
        subPlasma(3, int32_t(spacing), 0, int32_t(range), colored);
        auto* d = reinterpret_cast<uint8_t*>(layers[2]);
        const auto* s = reinterpret_cast<const uint8_t*>(layers[3]);
        for (size_t i = 0, n = size_t(layerWidth) * layerHeight * 3; i < n; ++i) d[i] = uint8_t(std::min(255, d[i] + s[i]));
    }
}

bool isBlack(int32_t layer) {
    for (size_t i = 0, n = size_t(layerWidth) * layerHeight; i < n; ++i)
        if (layers[layer][i] != Pixel{0, 0, 0}) return false;
    return true;
}

}  // namespace

class PerlinTest : public textest::EngineTest {
protected:
    PerlinTest() : EngineTest(128, 64) {}
};

// What the base octave contributes is only its draws: one per grid point.
TEST_F(PerlinTest, FewOctavesOrNoPersistenceLeaveBlack) {
    const struct {
        int32_t persistence, octaves;
    } cases[] = {{128, 1}, {128, 0}, {128, -5}, {0, 6}};
    for (const auto& c : cases) {
        textest::fillNoise(0, 1);
        perlinNoise(0, 16, 99, 256, c.persistence, c.octaves, true);
        EXPECT_TRUE(isBlack(0)) << c.persistence << " " << c.octaves;
        const uint32_t after = randomSeed;
        randomSeed = 99;
        skipRandom(3 * 8 * 4);
        EXPECT_EQ(after, randomSeed);
    }
}

TEST_F(PerlinTest, OctavesFollowTheScheduleAndSaturate) {
    const struct {
        int32_t step, seed, amplitude, persistence, octaves;
        bool colored;
    } cases[] = {
        {64, 12345, 256, 121, 4, true},  // spacings 32, 16, 8; ranges 121, 57, 26
        {4, 5, 256, 128, 8, false},      // spacings 2 and 1, then the spacing reaches 0
        {16, 8, 512, 300, 5, true},      // ranges above 256 keep low bits; sums saturate
        {32, 0, INT32_MAX, INT32_MAX, 4, true},  // the 32-bit product wraps
        {8, 3, -256, 64, 3, false},
        {48, 9, 256, 200, 5, true},   // spacings 24, 12, 6, 3: cells that overlap or wrap
        {256, 6, 256, 255, 3, false},  // spacing 128 exceeds the height; 64 tiles
    };
    for (const auto& c : cases) {
        randomSeed = 4242;
        plainPerlin(c.step, c.seed, c.amplitude, c.persistence, c.octaves, c.colored);
        const uint32_t plainSeed = randomSeed;
        randomSeed = 4242;
        perlinNoise(0, c.step, c.seed, c.amplitude, c.persistence, c.octaves, c.colored);
        EXPECT_EQ(randomSeed, plainSeed) << c.step;
        EXPECT_EQ(textest::snapshot(0), textest::snapshot(2)) << c.step;
        EXPECT_EQ(textest::snapshot(SCRATCH_LAYER), textest::snapshot(3)) << "last octave stays in scratch";
    }
    // Saturation actually happened in the third case: some channel hit 255.
    perlinNoise(0, 16, 8, 512, 300, 5, true);
    bool saturated = false;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 128; ++x) saturated |= at(0, x, y).red == 255;
    EXPECT_TRUE(saturated);
}

TEST_F(PerlinTest, SameSeedRepeatsAndZeroSeedContinues) {
    perlinNoise(0, 32, 77, 256, 128, 4, true);
    perlinNoise(1, 32, 77, 256, 128, 4, true);
    EXPECT_EQ(layerHash(0), layerHash(1));
    perlinNoise(1, 32, 0, 256, 128, 4, true);
    EXPECT_NE(layerHash(0), layerHash(1));
}

TEST_F(PerlinTest, StepOfZeroOrLessDoesNothing) {
    textest::fillNoise(0, 3);
    const auto before = layerHash(0);
    randomSeed = 8;
    for (int32_t step : {0, -1, INT32_MIN}) perlinNoise(0, step, 5, 256, 128, 4, true);
    perlinNoise(SCRATCH_LAYER, 8, 5, 256, 128, 4, true);
    EXPECT_EQ(layerHash(0), before);
    EXPECT_EQ(randomSeed, 8u);
}

TEST(PerlinGolden, Hashes) {
    initLayers(256, 256);
    const struct {
        int32_t step, seed, amplitude, persistence, octaves;
        bool colored;
        uint64_t hash;
    } cases[] = {
        {64, 12345, 256, 128, 4, true, 9936374395448111203ull},
        {256, 1, 256, 121, 8, false, 15708443863367911720ull},
        {32, 9, 200, 180, 6, true, 17727376221336440820ull},
    };
    for (const auto& c : cases) {
        perlinNoise(1, c.step, c.seed, c.amplitude, c.persistence, c.octaves, c.colored);
        EXPECT_EQ(layerHash(1), c.hash) << c.step;
    }
    freeLayers();
}
