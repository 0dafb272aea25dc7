// Plasma generators: the random stream, grid values, the cosine blend of the
// cells (against blendTexels and a plain rendering of the cell loop), the
// guarded arguments and golden hashes of both generators.
#include <cmath>
#include <cstring>
#include <array>
#include <random>
#include <vector>

#include "engine/distort/sampling.h"
#include "engine/generators/plasma.h"
#include "engine/internal.h"
#include "test_util.h"

using namespace tex;
using textest::at;
using textest::layerHash;

namespace {

// The procedure written out plainly: every cell writes its step x step
// positions through blendTexels, with the fractions i * inv and j * inv.
void plainPlasma(int32_t layer, int32_t step, int32_t seed, int32_t amplitude, bool colored) {
    std::memset(layers[layer], 0, size_t(layerWidth) * layerHeight * 3);
    if (seed != 0) randomSeed = uint32_t(seed);
    const uint32_t mask = uint32_t(amplitude) - 1u;
    for (int32_t y = 0; y < layerHeight; y += step)
        for (int32_t x = 0; x < layerWidth; x += step) {
            Pixel& p = at(layer, x, y);
            p.red = uint8_t(nextRandom() & mask);
            p.green = colored ? uint8_t(nextRandom() & mask) : p.red;
            p.blue = colored ? uint8_t(nextRandom() & mask) : p.red;
        }
    if (step <= 1) return;
    const float inv = static_cast<float>(ext(1.0) / step);
    for (int32_t y = 0; y < layerHeight; y += step)
        for (int32_t x = 0; x < layerWidth; x += step) {
            const int32_t xr = (x + step) & widthMask, yb = (y + step) & heightMask;
            const Pixel c[4] = {at(layer, x, y), at(layer, xr, y), at(layer, x, yb), at(layer, xr, yb)};
            for (int32_t j = 0; j < step; ++j)
                for (int32_t i = 0; i < step; ++i) {
                    const float fx = static_cast<float>(ext(i) * inv);
                    const float fy = static_cast<float>(ext(j) * inv);
                    at(layer, (x + i) & widthMask, (y + j) & heightMask) = blendTexels(c, fx, fy);
                }
        }
}

uint32_t seedAfter(uint32_t seed, int draws) {
    randomSeed = seed;
    for (int k = 0; k < draws; ++k) nextRandom();
    return randomSeed;
}

}  // namespace

class PlasmaTest : public textest::EngineTest {
protected:
    PlasmaTest() : EngineTest(256, 256) {}
};

TEST_F(PlasmaTest, StepOneIsTheRandomStreamInPixelOrder) {
    subPlasma(0, 1, 1, 256, false);
    EXPECT_EQ(at(0, 0, 0), (Pixel{90, 90, 90}));
    EXPECT_EQ(at(0, 1, 0), (Pixel{40, 40, 40}));
    EXPECT_EQ(at(0, 2, 0), (Pixel{99, 99, 99}));
    EXPECT_EQ(randomSeed, seedAfter(1, 256 * 256));
    subPlasma(0, 1, 1, 256, true);
    EXPECT_EQ(at(0, 0, 0), (Pixel{90, 40, 99}));
    EXPECT_EQ(randomSeed, seedAfter(1, 3 * 256 * 256));
}

TEST_F(PlasmaTest, ZeroSeedContinuesTheStreamAndASeedReplacesIt) {
    randomSeed = 777;
    subPlasma(0, 16, 0, 256, true);
    const auto first = layerHash(0);
    subPlasma(1, 16, 0, 256, true);
    EXPECT_NE(layerHash(1), first);
    randomSeed = 777;
    subPlasma(1, 16, 0, 256, true);
    EXPECT_EQ(layerHash(1), first);
    for (uint32_t before : {0u, 5u, 123456u}) {
        randomSeed = before;
        subPlasma(2, 16, 42, 256, false);
        EXPECT_EQ(randomSeed, seedAfter(42, 16 * 16));
        subPlasma(3, 16, 42, 256, false);
        EXPECT_EQ(layerHash(2), layerHash(3));
    }
}

// The mask is amplitude - 1: 1 masks everything (the draws are still made),
// 0 keeps all 16 bits (stored as the low byte), 100 keeps bits 0, 1, 5, 6.
TEST_F(PlasmaTest, AmplitudeMasksTheDraws) {
    colorLayer(0, 9, 9, 9);
    subPlasma(0, 8, 3, 1, true);
    for (int y = 0; y < 256; y += 37)
        for (int x = 0; x < 256; x += 11) ASSERT_EQ(at(0, x, y), (Pixel{0, 0, 0}));
    EXPECT_EQ(randomSeed, seedAfter(3, 3 * 32 * 32));

    subPlasma(0, 1, 3, 0, true);
    subPlasma(1, 1, 3, 256, true);
    EXPECT_EQ(layerHash(0), layerHash(1));

    subPlasma(0, 1, 3, 100, false);
    bool sawHighBit = false;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            ASSERT_EQ(at(0, x, y).red & ~99, 0);
            sawHighBit |= (at(0, x, y).red & 64) != 0;
        }
    EXPECT_TRUE(sawHighBit);
}

TEST_F(PlasmaTest, GridPointsKeepTheirValuesAndMidpointsAverage) {
    subPlasma(1, 64, 9, 256, true);
    // The grid values in row-major order of the 4 x 4 grid.
    randomSeed = 9;
    for (int gy = 0; gy < 4; ++gy)
        for (int gx = 0; gx < 4; ++gx) {
            const uint8_t r = uint8_t(nextRandom()), g = uint8_t(nextRandom()), b = uint8_t(nextRandom());
            ASSERT_EQ(at(1, gx * 64, gy * 64), (Pixel{r, g, b}));
        }
    const Pixel a = at(1, 0, 0), b = at(1, 64, 0);
    EXPECT_EQ(at(1, 32, 0), (Pixel{uint8_t((a.red + b.red) / 2), uint8_t((a.green + b.green) / 2),
                                   uint8_t((a.blue + b.blue) / 2)}));
    // The last column of cells blends towards column 0: the layer tiles.
    const Pixel c = at(1, 192, 0);
    EXPECT_EQ(at(1, 224, 0), (Pixel{uint8_t((c.red + a.red) / 2), uint8_t((c.green + a.green) / 2),
                                    uint8_t((c.blue + a.blue) / 2)}));
}

TEST_F(PlasmaTest, StepOfZeroOrLessDoesNothing) {
    textest::fillNoise(0, 5);
    const auto before = layerHash(0);
    randomSeed = 31;
    for (int32_t step : {0, -1, -64, INT32_MIN}) {
        subPlasma(0, step, 7, 256, true);
        EXPECT_EQ(layerHash(0), before);
        EXPECT_EQ(randomSeed, 31u);
    }
    subPlasma(5, 4, 7, 256, true);  // the scratch layer is not a destination
    subPlasma(-1, 4, 7, 256, true);
    EXPECT_EQ(randomSeed, 31u);
}

// A step far beyond the layer costs one write per pixel, whatever its size,
// and still draws once per side's single grid point.
TEST_F(PlasmaTest, HugeStepsFinish) {
    for (int32_t step : {1 << 20, INT32_MAX}) {
        subPlasma(0, step, 4, 256, true);
        EXPECT_EQ(randomSeed, seedAfter(4, 3)) << step;
    }
}

// The cell loop with per-call weight tables and one write per pixel equals
// the plain procedure, including steps that do not divide the layer (cells
// wrap and read corners already overwritten), steps beyond the layer and
// layers two pixels wide or high (the step of 2 wraps onto itself there).
TEST(PlasmaCells, EqualThePlainProcedure) {
    const int32_t sizes[][2] = {{1, 1}, {1, 8}, {8, 1}, {2, 2}, {4, 2}, {2, 8}, {16, 16}, {32, 8}, {8, 32}, {64, 64}};
    for (bool wide : {false, true})
    for (const auto& size : sizes) {
        if (useWideBlend(wide) != wide) continue;
        initLayers(size[0], size[1]);
        for (int32_t step : {1, 2, 3, 4, 5, 7, 8, 16, 17, 31, 32, 33, 64, 100, 129})
            for (int32_t amplitude : {256, 100, 0, 2, -7})
                for (bool colored : {false, true}) {
                    plainPlasma(1, step, 11, amplitude, colored);
                    const uint32_t plainSeed = randomSeed;
                    subPlasma(0, step, 11, amplitude, colored);
                    ASSERT_EQ(textest::snapshot(0), textest::snapshot(1))
                        << size[0] << "x" << size[1] << " step " << step << " amplitude " << amplitude;
                    ASSERT_EQ(randomSeed, plainSeed);
                }
        freeLayers();
    }
    useWideBlend(true);
}

namespace {

// The channel sum as blendTexels forms it, in extended precision.
uint8_t extendedChannel(const uint32_t c[4], const float w[4]) {
    const ext sum = c[0] * ext(w[0]) + c[1] * ext(w[1]) +
                            c[2] * ext(w[2]) + c[3] * ext(w[3]);
    return uint8_t(static_cast<int32_t>(sum));
}

// Corner values of one channel: random, all alike (sums next to whole
// numbers), zeros and ones, or one of a few small values.
void drawCorners(std::mt19937& random, uint32_t c[4]) {
    const uint32_t bits = random(), kind = bits & 3;
    for (int k = 0; k < 4; ++k)
        c[k] = kind == 0 ? (bits >> 8) & 255 : kind == 1 ? (bits >> (8 + 2 * k)) & 1 : kind == 2 ? random() & 255 : (bits >> (8 + 2 * k)) & 3;
}

// (weight, rest) pairs of real cell positions.
std::vector<std::array<float, 2>> cellPositions(std::mt19937& random) {
    std::vector<std::array<float, 2>> positions;
    for (int n = 0; n < 65536; ++n) {
        // Every tenth a fraction of 0, 1/2 or 1/4, whose sums are often exact.
        const int32_t step = n % 10 == 0 ? 4 : 2 + int32_t(random() % 1023);
        const float inv = static_cast<float>(ext(1.0) / step);
        const float w = cosineWeight(static_cast<float>(ext(random() % step) * inv));
        positions.push_back({w, static_cast<float>(ext(1.0) - w)});
    }
    return positions;
}

// The four corner weights of a random position, as blendTexels forms them
// from a column and a row position.
void drawWeights(std::mt19937& random, const std::vector<std::array<float, 2>>& positions, float w[4]) {
    const auto& x = positions[random() & 65535];
    const auto& y = positions[random() & 65535];
    w[0] = x[1] * y[1], w[1] = x[0] * y[1], w[2] = x[1] * y[0], w[3] = x[0] * y[0];
}

}  // namespace

// The exact blend that redoes the undecided positions (the sampler's, in
// integers or, for weights below 2^-30, in double and then extended) equals
// the extended formula on ten million seeded inputs with the weights of
// real cell positions, channel by channel.
TEST(PlasmaCells, RedoneBlendEqualsTheExtendedFormula) {
    std::mt19937 random(77);
    const auto positions = cellPositions(random);
    for (int n = 0; n < 10'000'000; n += 3) {
        float w[4];
        drawWeights(random, positions, w);
        uint32_t c[3][4];
        for (auto& channel : c) drawCorners(random, channel);
        Pixel t[4];
        for (int k = 0; k < 4; ++k) t[k] = {uint8_t(c[0][k]), uint8_t(c[1][k]), uint8_t(c[2][k])};
        const Pixel p = distort::blendWeights(t[0], t[1], t[2], t[3], w[0], w[1], w[2], w[3]);
        const uint8_t got[3] = {p.red, p.green, p.blue};
        for (int ch = 0; ch < 3; ++ch)
            ASSERT_EQ(got[ch], extendedChannel(c[ch], w)) << c[ch][0] << " " << c[ch][1] << " " << c[ch][2] << " "
                                                          << c[ch][3] << " " << w[0] << " " << w[3];
    }
}

// The same for four like corners, every value with a million seeded weight
// sets, the products below 2^-33 among them: their sums lie next to the
// value itself, where the float32 form leaves most undecided.
TEST(PlasmaCells, RedoneFlatBlendEqualsTheExtendedFormula) {
    std::mt19937 random(5);
    const auto positions = cellPositions(random);
    for (int n = 0; n < 1'000'000; ++n) {
        float w[4];
        drawWeights(random, positions, w);
        for (uint32_t v = n % 16; v < 256; v += 16) {
            const uint32_t c[4] = {v, v, v, v};
            const Pixel t = {uint8_t(v), uint8_t(v), uint8_t(v)};
            ASSERT_EQ(distort::blendWeights(t, t, t, t, w[0], w[1], w[2], w[3]).green, extendedChannel(c, w))
                << v << " " << w[0] << " " << w[3];
        }
    }
}

// The four- and eight-wide cell row blends equal the extended formula on ten
// million seeded pixels each (rows of 1 to 64 positions).
TEST(PlasmaCells, CellRowBlendEqualsTheExtendedFormula) {
    for (bool wide : {false, true}) {
    if (useWideBlend(wide) != wide) continue;
    std::mt19937 random(2024);
    const auto positions = cellPositions(random);
    alignas(16) float weight[64], rest[64];
    alignas(16) int32_t grain[64];
    Pixel out[64];
    for (int64_t pixels = 0; pixels < 10'000'000;) {
        const int64_t count = 1 + random() % 64;
        for (int64_t i = 0; i < count; ++i) {
            const auto& p = positions[random() & 65535];
            weight[i] = p[0];
            rest[i] = p[1];
            grain[i] = weightGrain(p[0], p[1]);
        }
        const auto& y = positions[random() & 65535];
        uint32_t c[3][4];
        for (auto& channel : c) drawCorners(random, channel);
        const Pixel corners[4] = {{uint8_t(c[0][0]), uint8_t(c[1][0]), uint8_t(c[2][0])},
                                  {uint8_t(c[0][1]), uint8_t(c[1][1]), uint8_t(c[2][1])},
                                  {uint8_t(c[0][2]), uint8_t(c[1][2]), uint8_t(c[2][2])},
                                  {uint8_t(c[0][3]), uint8_t(c[1][3]), uint8_t(c[2][3])}};
        blendCellRow(corners, weight, rest, grain, y[0], y[1], weightGrain(y[0], y[1]), count, out);
        for (int64_t i = 0; i < count; ++i) {
            const float w[4] = {rest[i] * y[1], weight[i] * y[1], rest[i] * y[0], weight[i] * y[0]};
            const Pixel expected{extendedChannel(c[0], w), extendedChannel(c[1], w), extendedChannel(c[2], w)};
            ASSERT_EQ(out[i], expected) << "position " << i << " of " << count << (wide ? " (wide)" : "");
        }
        pixels += count;
    }
    }
    useWideBlend(true);
}

TEST(PlasmaRandom, SkippingDrawsEqualsDrawing) {
    for (uint32_t seed : {1u, 0u, 0xDEADBEEFu})
        for (uint64_t count : {0ull, 1ull, 2ull, 3ull, 1000ull, 196608ull}) {
            randomSeed = seed;
            skipRandom(count);
            EXPECT_EQ(randomSeed, seedAfter(seed, int(count)));
        }
}

TEST_F(PlasmaTest, SinePlasmaFlatGreyAndWrapRound) {
    sinePlasma(0, 0, 0, 256);
    for (int y = 0; y < 256; y += 17)
        for (int x = 0; x < 256; x += 13) ASSERT_EQ(at(0, x, y), (Pixel{127, 127, 127}));
    // 127 * 300/256 = 148.828...: no clamp, and the low byte of a negative value.
    sinePlasma(0, 0, 0, 600);
    EXPECT_EQ(at(0, 3, 3).red, uint8_t(int(127.0 * 600 / 256)));
    sinePlasma(0, 0, 0, -256);
    EXPECT_EQ(at(0, 3, 3).red, uint8_t(-127));
    sinePlasma(0, NAN, 0, 256);
    EXPECT_EQ(at(0, 3, 3).red, 0);
}

// The double fast path with its fallback equals the extended formula on ten
// million seeded pixels: frequencies small, large and huge, amplitudes that
// wrap round, that leave the int32 range, and that are tiny.
TEST(SinePlasma, EqualsTheExtendedFormulaOnRandomArguments) {
    initLayers(256, 256);
    std::mt19937 random(8);
    const float amplitudes[] = {256.0f, 255.5f, -77.0f, 3e9f, 1e-30f, 1e6f, 0.0f};
    for (int call = 0; call < 160; ++call) {
        const float xf = std::ldexp(float(random()) * 0x1p-32f - 0.5f, int(random() % 24) - 8);
        const float yf = std::ldexp(float(random()) * 0x1p-32f - 0.5f, int(random() % 24) - 8);
        const float amplitude = call % 2 ? amplitudes[random() % 7] : float(random()) * 0x1p-22f - 512.0f;
        sinePlasma(0, xf, yf, amplitude);
        const float scale = static_cast<float>(amplitude * ext(0.00390625));
        for (int y = 0; y < 256; ++y) {
            const float rowTerm = static_cast<float>(extSin(ext(y) * yf) * ext(63.5) + ext(127.0));
            for (int x = 0; x < 256; ++x) {
                const ext v = (extSin(ext(x) * xf) * ext(63.5) + rowTerm) * scale;
                const int32_t whole = v >= ext(2147483647.0) ? INT32_MAX : v <= -ext(2147483648.0) ? INT32_MIN : int32_t(v);
                ASSERT_EQ(at(0, x, y).red, uint8_t(whole)) << xf << " " << yf << " " << amplitude << " at " << x << "," << y;
            }
        }
    }
    freeLayers();
}

// Hashes of the plain procedures' output; any change of a bit shows here.
TEST(PlasmaGolden, Hashes) {
    initLayers(256, 128);
    struct {
        int32_t step, seed, amplitude;
        bool colored;
        uint64_t hash;
    } plasmas[] = {
        {64, 12345, 256, true, 12339590637535109211ull},
        {32, 7, 256, false, 12330117530832598598ull},
        {100, 3, 121, true, 145951520027097957ull},
        {5, 99, 57, true, 9702869635897774574ull},
        {1, 2, 256, true, 11903499730541433033ull},
    };
    for (const auto& c : plasmas) {
        subPlasma(2, c.step, c.seed, c.amplitude, c.colored);
        EXPECT_EQ(layerHash(2), c.hash) << "subPlasma step " << c.step;
        plainPlasma(3, c.step, c.seed, c.amplitude, c.colored);
        EXPECT_EQ(layerHash(3), c.hash) << "plain subPlasma step " << c.step;
    }
    struct {
        float xf, yf, amplitude;
        uint64_t hash;
    } sines[] = {{0.05f, 0.11f, 256, 3573628043920239880ull}, {0.3f, -1.25f, 300.7f, 5263914516708311091ull}};
    for (const auto& c : sines) {
        sinePlasma(2, c.xf, c.yf, c.amplitude);
        EXPECT_EQ(layerHash(2), c.hash) << "sinePlasma " << c.xf;
    }
    freeLayers();
}
