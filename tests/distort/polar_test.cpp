// Polar and radial distortions: the twist disc, the kaleidoscope's quadrants,
// the tunnel's centre column and seam, and log-polar rows.
#include <cmath>

#include "engine/internal.h"
#include "test_util.h"

using namespace tex;
using textest::at;
using textest::snapshot;

class PolarTest : public textest::EngineTest {
protected:
    PolarTest() : EngineTest(64, 64) {}
};

TEST_F(PolarTest, TwirlKeepsTheOutsideOfItsDisc) {
    textest::fillNoise(0, 1);
    twirlLayer(0, 1, 0.0f, 3.0f);  // angle 0: everything unchanged
    EXPECT_EQ(snapshot(1), snapshot(0));
    twirlLayer(0, 1, 250.0f, 0.7f);
    int changed = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const float dx = float(x - 32), dy = float(y - 32);
            const float d = 32.0f - fastSqrt(dx * dx + dy * dy);
            if (d <= 0.0f)
                ASSERT_EQ(at(1, x, y), at(0, x, y)) << x << "," << y;
            else
                changed += !(at(1, x, y) == at(0, x, y));
        }
    EXPECT_GT(changed, 2000);
    // The centre turns about itself: it samples its own position.
    EXPECT_EQ(at(1, 32, 32), at(0, 32, 32));
}

TEST_F(PolarTest, TwirlWithScaleZeroOrNonFiniteArgumentsIsDefined) {
    textest::fillNoise(0, 2);
    for (float strength : {1.0f, 0.0f, INFINITY, NAN})
        for (float scale : {0.0f, -0.0f, 1e-38f, INFINITY, NAN}) {
            twirlLayer(0, 1, strength, scale);
            // Outside the disc nothing moves; inside, coordinates that came
            // out infinite or NaN sample position 0 (or the pixel itself when
            // the angle is 0).
            EXPECT_EQ(at(1, 0, 0), at(0, 0, 0));
            const Pixel centre = at(1, 32, 32);
            EXPECT_TRUE(centre == at(0, 32, 32) || centre == at(0, 0, 0)) << strength << " " << scale;
        }
    twirlLayer(0, 1, 1.0f, 0.0f);
    EXPECT_EQ(at(1, 31, 30), at(0, 0, 0));
}

TEST_F(PolarTest, KaleidoscopeMirrorsTheChosenQuadrant) {
    struct Case {
        int corner, x0, y0;  // top-left pixel of the kept quadrant
    } cases[] = {{1, 0, 0}, {2, 32, 0}, {3, 32, 32}, {4, 0, 32}};
    for (const Case& c : cases)
        for (bool inPlace : {false, true}) {
            textest::fillNoise(0, 3);
            const auto source = snapshot(0);
            const int dst = inPlace ? 0 : 1;
            kaleidLayer(0, dst, c.corner);
            for (int y = 0; y < 64; ++y)
                for (int x = 0; x < 64; ++x) {
                    ASSERT_EQ(at(dst, x, y), at(dst, 63 - x, y));
                    ASSERT_EQ(at(dst, x, y), at(dst, x, 63 - y));
                }
            for (int y = c.y0; y < c.y0 + 32; ++y)
                for (int x = c.x0; x < c.x0 + 32; ++x) {
                    const size_t i = (size_t(y) * 64 + x) * 3;
                    ASSERT_EQ(at(dst, x, y), (Pixel{source[i], source[i + 1], source[i + 2]})) << c.corner;
                }
        }
    // A symmetric source comes back unchanged whatever the corner.
    const auto symmetric = snapshot(1);
    for (int corner = 1; corner <= 4; ++corner) {
        kaleidLayer(1, 2, corner);
        EXPECT_EQ(snapshot(2), symmetric);
    }
}

TEST_F(PolarTest, KaleidoscopeWithACornerOutside1To4ChangesNothing) {
    textest::fillNoise(0, 4);
    textest::fillNoise(1, 5);
    const auto before = snapshot(1);
    for (int corner : {0, 5, -1, INT32_MIN, INT32_MAX}) kaleidLayer(0, 1, corner);
    EXPECT_EQ(snapshot(1), before);
}

TEST_F(PolarTest, TunnelCentreColumnRepeatsItsLeftNeighbour) {
    textest::fillNoise(0, 6);
    tunnelDistort(0, 1, 700.0f);
    for (int y = 0; y < 64; ++y) EXPECT_EQ(at(1, 32, y), at(1, 31, y));
    const auto positive = snapshot(1);
    tunnelDistort(0, 1, -700.0f);  // v takes the magnitude
    EXPECT_EQ(snapshot(1), positive);
    tunnelDistort(0, 0, 700.0f);
    EXPECT_EQ(snapshot(0), positive);
}

TEST_F(PolarTest, TunnelSamplesTheAngleAcrossTheWidth) {
    // A layer whose colour is its position: along the centre row the angle
    // is 0, so the right half reads column cx, the left half column 0, and
    // the row is depth / distance (checked where that is whole: a blend of
    // fractional weights may truncate one below).
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) at(0, x, y) = {uint8_t(x), uint8_t(y), 0};
    tunnelDistort(0, 1, 64.0f);
    for (int x = 0; x < 64; ++x) {
        if (x == 32 || 64 % std::abs(x - 32) != 0) continue;
        EXPECT_EQ(at(1, x, 32).red, x > 32 ? 32 : 0) << x;
        EXPECT_EQ(at(1, x, 32).green, 64 / std::abs(x - 32) & 63) << x;
    }
}

TEST(Tunnel, OnePixelWideLayerKeepsItsColumn) {
    initLayers(1, 8);
    textest::fillNoise(0, 7);
    tunnelDistort(0, 1, 5.0f);
    for (int y = 0; y < 8; ++y) EXPECT_EQ(at(1, 0, y), at(0, 0, y));
    freeLayers();
}

TEST_F(PolarTest, LogPolarRowZeroIsTheUnitCircle) {
    textest::fillNoise(0, 8);
    logPolLayer(0, 1);
    // Column 0 of row 0 samples (cx + 1, cy) exactly.
    EXPECT_EQ(at(1, 0, 0), at(0, 33, 32));
    const float step = static_cast<float>(ext(2.0) * PI_F / 64);
    for (int j = 0; j < 64; ++j) {
        const float a = float(j) * step;
        EXPECT_EQ(at(1, j, 0), sampleLayer(0, static_cast<float>(extCos(a) + ext(32.0)), static_cast<float>(extSin(a) + ext(32.0))));
    }
    const auto apart = snapshot(1);
    logPolLayer(0, 0);
    EXPECT_EQ(snapshot(0), apart);
}
