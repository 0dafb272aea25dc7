// Relief and morphology: direction codes, the zero-gradient special cases,
// and erosion and dilation across the layer's edges.
#include <vector>

#include "engine/distort/direction.h"
#include "engine/internal.h"
#include "test_util.h"

using namespace tex;
using textest::at;
using textest::snapshot;

class ReliefTest : public textest::EngineTest {
protected:
    ReliefTest() : EngineTest(16, 16) {}
};

// Red gets gx = gy = g from a neighbourhood that is 1 at the top-left corner
// only; other channels are set from the table below.
TEST_F(ReliefTest, SculptureCodesGradientDirections) {
    struct Case {
        uint8_t n[9];  // the 3x3 block, reading order
        uint8_t expected;
    } cases[] = {
        {{1, 0, 0, 0, 0, 0, 0, 0, 0}, 159},  // gx = 1, gy = 1
        {{0, 0, 1, 0, 0, 0, 0, 0, 0}, 225},  // gx = -1, gy = 1
        {{0, 1, 0, 0, 0, 0, 0, 0, 0}, 196},  // gx = 0, gy > 0
        {{0, 0, 0, 0, 0, 0, 0, 1, 0}, 64},   // gx = 0, gy < 0
        {{5, 5, 5, 5, 5, 5, 5, 5, 5}, 128},  // flat
        {{0, 0, 0, 1, 0, 0, 0, 0, 0}, 127},  // gx = 2, gy = 0: trunc(127.5)
        {{0, 0, 0, 0, 0, 1, 0, 0, 0}, 0},    // gx = -2, gy = 0
        {{0, 0, 0, 0, 0, 0, 255, 0, 0}, 95},  // gx = 255, gy = -255: trunc(127.5 - 31.875...)
    };
    for (const auto& c : cases) {
        colorLayer(0, 0, 0, 0);
        for (int i = 0; i < 9; ++i) at(0, 4 + i % 3, 4 + i / 3).red = c.n[i];
        sculptureLayer(0, 1);
        EXPECT_EQ(at(1, 5, 5).red, c.expected) << int(c.n[0]) << int(c.n[1]) << int(c.n[2]);
        EXPECT_EQ(at(1, 5, 5).green, 128);
    }
}

TEST_F(ReliefTest, SculptureOfAColumnRampIsZeroAwayFromTheSeams) {
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) at(0, x, y) = {uint8_t(x), 9, 9};
    sculptureLayer(0, 0);
    for (int y = 0; y < 16; ++y)
        for (int x = 1; x < 15; ++x) ASSERT_EQ(at(0, x, y), (Pixel{0, 128, 128}));
    EXPECT_NE(at(0, 0, 3).red, 0);  // the seam: the ramp jumps back from 15 to 0
}

TEST_F(ReliefTest, MorphologyWrapsAroundEveryEdge) {
    for (auto corner : {std::pair<int, int>{0, 0}, {15, 0}, {0, 15}, {15, 15}, {7, 8}}) {
        colorLayer(0, 0, 0, 0);
        at(0, corner.first, corner.second) = {255, 255, 255};
        dilateLayer(0, 1);
        erodeLayer(0, 2);
        int white = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) {
                const int dx = (x - corner.first) & 15, dy = (y - corner.second) & 15;
                const bool inside = (dx <= 1 || dx == 15) && (dy <= 1 || dy == 15);
                ASSERT_EQ(at(1, x, y).red, inside ? 255 : 0) << x << "," << y;
                white += at(2, x, y).red != 0;
            }
        EXPECT_EQ(white, 0);
    }
    // Channels are independent; the centre counts.
    colorLayer(0, 100, 100, 100);
    at(0, 3, 3) = {10, 200, 100};
    dilateLayer(0, 1);
    erodeLayer(0, 2);
    EXPECT_EQ(at(1, 4, 4), (Pixel{100, 200, 100}));
    EXPECT_EQ(at(2, 3, 3), (Pixel{10, 100, 100}));
}

TEST_F(ReliefTest, OpeningNeverExceedsTheSource) {
    textest::fillNoise(0, 9);
    const auto source = snapshot(0);
    erodeLayer(0, 1);
    dilateLayer(1, 1);
    const auto opened = snapshot(1);
    for (size_t i = 0; i < source.size(); ++i) ASSERT_LE(opened[i], source[i]);
}

// The direction code's three forms against its formula for every gradient a
// 3x3 Sobel sum of bytes can give.
TEST(DirectionCode, EqualsTheFormulaForEveryGradient) {
    const ext K = ext(40.584510803222656);
    std::vector<int32_t> gxs(2041), gys(2041);
    std::vector<uint8_t> codes(2041);
    for (int32_t gx = -1020; gx <= 1020; ++gx) {
        for (int32_t gy = -1020; gy <= 1020; ++gy) gxs[gy + 1020] = gx, gys[gy + 1020] = gy;
        directionCodes(gxs.data(), gys.data(), codes.data(), 2041);  // an odd count: the last one alone
        for (int32_t gy = -1020; gy <= 1020; ++gy) {
            uint8_t expected;
            if (gx == 0) {
                expected = gy > 0 ? 196 : gy == 0 ? 128 : 64;
            } else {
                const float a = static_cast<float>(extAtan(ext(gy) / gx));
                expected = gx > 0 ? uint8_t(int32_t(a * K + ext(127.5))) : uint8_t(int32_t(a * K));
            }
            ASSERT_EQ(directionCode(gx, gy), expected) << gx << ", " << gy;
            ASSERT_EQ(fastDirectionCode(gx, gy), expected) << gx << ", " << gy;
            ASSERT_EQ(codes[gy + 1020], expected) << gx << ", " << gy;
        }
    }
    EXPECT_EQ(double(40.584510803222656f), 40.584510803222656);  // K is a float32 value
    const ext pi = extFromBits(0x4000, 0xC90FDAA22168C235);
    EXPECT_EQ(40.584510803222656f, static_cast<float>(ext(127.5) / pi));
}
