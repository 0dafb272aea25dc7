// Simple fills: colour wrap-around, the checkerboard's swap rule and the spot.
#include <cmath>

#include "engine/internal.h"
#include "test_util.h"

using namespace tex;
using textest::at;

class FillsTest : public textest::EngineTest {
protected:
    FillsTest() : EngineTest(256, 256) {}
};

TEST_F(FillsTest, ColorLayerKeepsTheLowEightBits) {
    colorLayer(2, 256, -1, 511);
    EXPECT_EQ(at(2, 0, 0), (Pixel{0, 255, 255}));
    EXPECT_EQ(at(2, 255, 255), (Pixel{0, 255, 255}));
    colorLayer(2, 300, 0, 0);
    EXPECT_EQ(at(2, 17, 3).red, 44);
}

static const Pixel ONE{255, 0, 0}, TWO{0, 0, 255};

static void board(int32_t cw, int32_t ch) { checkerBoardLayer(1, cw, ch, 255, 0, 0, 0, 0, 255); }

TEST_F(FillsTest, CheckerBoardCellsStartWithColourTwo) {
    board(32, 32);
    EXPECT_EQ(at(1, 0, 0), TWO);
    EXPECT_EQ(at(1, 32, 0), ONE);
    EXPECT_EQ(at(1, 0, 32), ONE);
    EXPECT_EQ(at(1, 32, 32), TWO);
    for (int y = 1; y < 32; ++y)
        for (int x = 0; x < 256; ++x) ASSERT_EQ(at(1, x, y), at(1, x, 0));
}

TEST_F(FillsTest, CheckerBoardRowEndSwapKeepsCellRowsAligned) {
    board(100, 16);  // cells of 100, 100 and 56: an even count with a partial cell
    for (int y = 0; y < 16; ++y) EXPECT_EQ(at(1, 0, y), at(1, 0, 0));
    EXPECT_EQ(at(1, 0, 16), ONE);
}

TEST_F(FillsTest, CheckerBoardFullWidthCellsAlternateRows) {
    board(256, 4);
    const Pixel expected[8] = {TWO, ONE, TWO, ONE, ONE, TWO, ONE, TWO};
    for (int y = 0; y < 8; ++y) {
        EXPECT_EQ(at(1, 0, y), expected[y]) << y;
        EXPECT_EQ(at(1, 255, y), expected[y]) << y;
    }
}

// The swap rule equals the closed form: colour 2 where
// (x div cw) + (y div ch) + y * k is even, k = ceil(width / cw) + row-end flag.
TEST(CheckerBoard, EqualsTheClosedFormOnManyShapes) {
    for (int32_t width : {1, 8, 16, 64})
        for (int32_t height : {1, 4, 32}) {
            initLayers(width, height);
            for (int32_t cw : {1, 2, 3, 5, 8, 16, 17, 64, 100, -3})
                for (int32_t ch : {1, 2, 3, 7, 32, 40, -2}) {
                    checkerBoardLayer(0, cw, ch, 1, 1, 1, 2, 2, 2);
                    const int32_t w = std::abs(cw), h = std::abs(ch);
                    const bool flag = (width / w) % 2 == 0 && width % w != 0;
                    const int32_t k = (width + w - 1) / w + (flag ? 1 : 0);
                    for (int32_t y = 0; y < height; ++y)
                        for (int32_t x = 0; x < width; ++x) {
                            const int32_t parity = (x / w + y / h + y * k) % 2;
                            ASSERT_EQ(at(0, x, y).red, parity == 0 ? 2 : 1)
                                << width << "x" << height << " cells " << cw << "x" << ch << " at " << x << "," << y;
                        }
                }
            freeLayers();
        }
}

TEST_F(FillsTest, CheckerBoardWithAZeroCellSizeDoesNothing) {
    colorLayer(1, 9, 9, 9);
    board(0, 8);
    board(8, 0);
    EXPECT_EQ(at(1, 0, 0), (Pixel{9, 9, 9}));
    board(INT32_MIN, INT32_MIN);  // one cell covering everything
    EXPECT_EQ(at(1, 255, 255), TWO);
}

TEST_F(FillsTest, ParticleCentreCornerAndFalloff) {
    particle(0, 0.5f);
    EXPECT_EQ(at(0, 128, 128), (Pixel{255, 255, 255}));
    EXPECT_EQ(at(0, 0, 0), (Pixel{120, 120, 120}));  // fastSqrt(2) = 1.5: 255 - 1.5 * 90
    for (float falloff : {0.0f, -3.0f}) {
        particle(0, falloff);
        EXPECT_EQ(at(0, 0, 0).red, 255);
        EXPECT_EQ(at(0, 255, 17).red, 255);
    }
    particle(0, 1000.0f);
    EXPECT_EQ(at(0, 128, 128).red, 255);
    EXPECT_EQ(at(0, 130, 128).red, 0);
    particle(0, NAN);
    EXPECT_EQ(at(0, 3, 3).red, 0);
}

TEST(Particle, OnePixelSidesMeasureNoDistanceAcross) {
    initLayers(1, 64);
    particle(0, 1.0f);
    EXPECT_EQ(at(0, 0, 32).red, 255);
    EXPECT_EQ(at(0, 0, 0).red, 75);  // dy = -1: 255 - 180
    freeLayers();
    initLayers(1, 1);
    particle(0, 1.0f);
    EXPECT_EQ(at(0, 0, 0).red, 255);
    freeLayers();
}

// The spot is computed on one quarter and mirrored: on odd and even sides,
// powers of two or not, every pixel still equals the per-pixel formula.
TEST(Particle, MirroredQuartersEqualThePixelFormulaOnEveryShape) {
    for (int32_t width : {1, 2, 3, 6, 7, 100, 128})
        for (int32_t height : {1, 2, 5, 64, 99}) {
            initLayers(width, height);
            for (float falloff : {0.7f, 1.7857143f}) {
                particle(0, falloff);
                const int32_t hw = width / 2, hh = height / 2;
                const float ix = hw ? static_cast<float>(ext(1.0) / hw) : 0.0f;
                const float iy = hh ? static_cast<float>(ext(1.0) / hh) : 0.0f;
                const float scale = static_cast<float>(ext(falloff) * ext(180.0));
                for (int32_t y = 0; y < height; ++y)
                    for (int32_t x = 0; x < width; ++x) {
                        const float dx = static_cast<float>(ext(x - hw) * ix), dy = static_cast<float>(ext(y - hh) * iy);
                        const float d = fastSqrt(static_cast<float>(ext(dx) * dx + ext(dy) * dy));
                        const uint8_t grey = saturateByte(static_cast<float>(ext(255.0) - ext(scale) * d));
                        ASSERT_EQ(at(0, x, y), (Pixel{grey, grey, grey})) << width << "x" << height << " at " << x << "," << y;
                    }
            }
            freeLayers();
        }
}
