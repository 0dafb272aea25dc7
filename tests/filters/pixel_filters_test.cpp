// Pixel and smear filters: byte maps over every byte value, the motion blur's
// sliding sums against the literal window, the seam blend's weights and its
// untouched disc, and golden hashes.
#include <chrono>

#include "reference.h"
#include "test_util.h"

using namespace tex;
using textest::at;

namespace {

bool sameLayers(int32_t a, int32_t b) { return std::memcmp(layers[a], layers[b], layerBytes()) == 0; }

// Layer 0 holds every byte value in every channel (a 16x16 layer).
void fillAllBytes() {
    auto* bytes = reinterpret_cast<uint8_t*>(layers[0]);
    for (size_t i = 0; i < layerBytes(); ++i) bytes[i] = uint8_t(i / 3);
}

}  // namespace

TEST(PixelFilters, InvertAndWoodMapEveryByteLikeTheirFormulas) {
    initLayers(16, 16);
    fillAllBytes();
    const auto* in = reinterpret_cast<const uint8_t*>(layers[0]);
    const auto* out = reinterpret_cast<const uint8_t*>(layers[1]);
    invertLayer(0, 1);
    for (size_t i = 0; i < layerBytes(); ++i) ASSERT_EQ(out[i], 255 - in[i]);
    invertLayer(1, 1);
    EXPECT_TRUE(sameLayers(0, 1)) << "inverting twice, in place, restores the layer";

    for (int64_t bits = -70; bits <= 70; ++bits)
        for (int32_t b32 : {int32_t(bits), int32_t(bits + (int64_t(1) << 31))}) {
            woodLayer(0, 1, b32);
            // Shift counts modulo 32, as 32-bit shifts take them.
            const uint32_t left = uint32_t(b32) & 31u, right = (8u - uint32_t(b32)) & 31u;
            for (size_t i = 0; i < layerBytes(); ++i)
                ASSERT_EQ(out[i], uint8_t((uint32_t(in[i]) << left) | (uint32_t(in[i]) >> right))) << b32;
        }
    const struct {
        int32_t bits;
        uint8_t in, out;
    } examples[] = {{4, 0x12, 0x21}, {4, 0xF0, 0x0F}, {1, 0x80, 0x01}, {1, 0x81, 0x03}, {33, 0x81, 0x03},
                    {0, 0x5A, 0x5A}, {8, 0x5A, 0x5A}, {10, 0xFF, 0},     {-1, 0xFF, 0}};
    for (auto e : examples) {
        textest::fillColour(2, {e.in, e.in, e.in});
        woodLayer(2, 2, e.bits);
        EXPECT_EQ(at(2, 3, 5), (Pixel{e.out, e.out, e.out})) << e.bits;
    }
    freeLayers();
}

TEST(PixelFilters, MotionBlurWeightsRoundingAndWrap) {
    initLayers(16, 4);
    textest::fillColour(0, {0, 0, 0});
    at(0, 0, 1) = {255, 255, 255};
    motionBlur(0, 1, 1);
    // 255*2/4 at the pixel, 255/4 beside it (the left one wraps to column 15).
    for (int32_t x = 0; x < 16; ++x) {
        const uint8_t v = x == 0 ? 127 : x == 1 || x == 15 ? 63 : 0;
        EXPECT_EQ(at(1, x, 1), (Pixel{v, v, v})) << x;
        EXPECT_EQ(at(1, x, 0), (Pixel{0, 0, 0}));
        EXPECT_EQ(at(1, x, 2), (Pixel{0, 0, 0}));
    }
    textest::fillNoise(0, 3);
    motionBlur(0, 1, 0);
    EXPECT_TRUE(sameLayers(0, 1)) << "radius 0 copies";
    // Radius -1 would divide by zero: it copies like radius 0.
    motionBlur(0, 1, -1);
    EXPECT_TRUE(sameLayers(0, 1)) << "radius -1 copies";
    // Any other negative radius has an empty window: all black.
    for (int32_t radius : {-2, -1000, INT32_MIN}) {
        copyLayer(0, 1);
        motionBlur(1, 1, radius);
        textest::fillColour(2, {0, 0, 0});
        EXPECT_TRUE(sameLayers(1, 2)) << radius;
    }
    freeLayers();
}

// The sliding sums against the literal window, for radii below, at and far
// beyond the width (where the window wraps onto the same columns many times),
// including radii whose sums exceed 32 bits, in place and not.
TEST(PixelFilters, MotionBlurEqualsTheLiteralWindowSum) {
    const std::pair<int32_t, int32_t> sizes[] = {{1, 2}, {2, 2}, {4, 2}, {8, 4}, {64, 4}, {256, 2}};
    const int32_t radii[] = {1, 2, 3, 5, 7, 8, 9, 63, 64, 65, 255, 256, 1000, 2901, 5000, 1000000};
    uint32_t seed = 11;
    for (auto [w, h] : sizes) {
        initLayers(w, h);
        for (int32_t radius : radii) {
            if (int64_t(radius) * w > 4000000) continue;  // keep the literal sum affordable
            for (bool white : {false, true}) {  // white gives the largest sums
                if (white)
                    textest::fillColour(0, {255, 255, 255});
                else
                    textest::fillNoise(0, seed++);
                reference::motionBlur(0, 1, radius);
                motionBlur(0, 2, radius);
                ASSERT_TRUE(sameLayers(1, 2)) << w << "x" << h << " radius " << radius;
                motionBlur(0, 0, radius);
                ASSERT_TRUE(sameLayers(1, 0)) << w << "x" << h << " radius " << radius << " in place";
            }
        }
        freeLayers();
    }
}

// Every radius whose divisor takes the multiply-and-shift division, on
// white (the largest sums) and noise.
TEST(PixelFilters, MotionBlurDividesExactlyForEveryRadius) {
    initLayers(4, 1);
    for (int32_t radius = 1; radius <= 3000; ++radius)
        for (bool white : {false, true}) {
            if (white)
                textest::fillColour(0, {255, 255, 255});
            else
                textest::fillNoise(0, uint32_t(radius));
            reference::motionBlur(0, 1, radius);
            motionBlur(0, 2, radius);
            ASSERT_TRUE(sameLayers(1, 2)) << "radius " << radius;
        }
    freeLayers();
}

// Radii near the int32 limit run in time linear in the layer, and keep the
// one property that can be checked without the literal sum: the weights sum
// to the divisor, so a row of one value keeps it.
TEST(PixelFilters, MotionBlurHugeRadiusIsFastAndExact) {
    initLayers(256, 256);
    textest::fillColour(0, {255, 7, 0});
    const auto start = std::chrono::steady_clock::now();
    for (int32_t radius : {INT32_MAX, INT32_MAX - 1, 1 << 30, 123456789}) {
        motionBlur(0, 1, radius);
        ASSERT_TRUE(sameLayers(0, 1)) << radius;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    freeLayers();
}

TEST(PixelFilters, MakeTilableKeepsTheDiscAndBlendsWithTheMirrors) {
    initLayers(64, 64);
    textest::fillNoise(0, 5);
    textest::fillColour(1, {1, 2, 3});
    makeTilable(0, 1, 16);  // r = 16: the disc of radius 16 about (32, 32) is untouched
    for (int32_t y = 0; y < 64; ++y)
        for (int32_t x = 0; x < 64; ++x) {
            if ((x - 32) * (x - 32) + (y - 32) * (y - 32) <= 256) {
                ASSERT_EQ(at(1, x, y), (Pixel{1, 2, 3})) << x << "," << y;
            }
        }
    // Between the circle and the outer region: factor 0.75 / 768 = 1/1024; at
    // (22, 48) t = 100 + 256 - 256, so the own weight is 1 - 100/1024 and the
    // mirrors' single(100/1024 * 0.333333): 200*b + 120*a = 184.37...
    textest::fillColour(0, {40, 40, 40});
    at(0, 22, 48) = {200, 0, 255};
    makeTilable(0, 0, 16);
    EXPECT_EQ(at(0, 22, 48), (Pixel{184, 3, 234}));
    freeLayers();

    // Border 0 on a square layer: the denominator is 0 and every pixel
    // outside the inscribed circle is the plain average of itself and its
    // three mirror images, so the four corners agree.
    initLayers(8, 8);
    textest::fillNoise(0, 9);
    at(0, 0, 0) = {10, 20, 30};
    at(0, 7, 0) = {11, 21, 31};
    at(0, 7, 7) = {12, 22, 32};
    at(0, 0, 7) = {13, 23, 33};
    makeTilable(0, 1, 0);
    for (auto [x, y] : {std::pair{0, 0}, {7, 0}, {7, 7}, {0, 7}}) EXPECT_EQ(at(1, x, y), (Pixel{11, 21, 31}));
    // Border halfW (r = 0): only the centre pixel is left unwritten.
    textest::fillColour(1, {9, 9, 9});
    makeTilable(0, 1, 4);
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t x = 0; x < 8; ++x)
            if ((x == 4 && y == 4) != (at(1, x, y) == Pixel{9, 9, 9})) ADD_FAILURE() << x << "," << y;
    freeLayers();
}

// The per-row shortcuts (the untouched disc, the region of equal weights)
// against the blend computed pixel by pixel, on many shapes and borders, into
// a separate layer (whose disc must survive) and in place.
TEST(PixelFilters, MakeTilableEqualsThePlainBlend) {
    const std::pair<int32_t, int32_t> sizes[] = {{1, 1}, {2, 1}, {1, 4}, {4, 4}, {16, 4}, {4, 32}, {64, 64}, {256, 128}};
    const int32_t borders[] = {0, 1, 2, 3, 5, 8, 13, 31, 32, 33, 64, 100, 127, 128, 200, 255, 256, 300,
                               -1, -7, -100, 1 << 20, -(1 << 20), 1 << 30, INT32_MAX, INT32_MIN};
    uint32_t seed = 40;
    for (auto [w, h] : sizes) {
        initLayers(w, h);
        for (int32_t border : borders) {
            textest::fillNoise(0, seed++);
            textest::fillNoise(1, seed);
            copyLayer(1, 2);
            reference::makeTilable(0, 1, border);
            makeTilable(0, 2, border);
            ASSERT_TRUE(sameLayers(1, 2)) << w << "x" << h << " border " << border;
            copyLayer(0, 1);
            reference::makeTilable(1, 1, border);
            makeTilable(0, 0, border);
            ASSERT_TRUE(sameLayers(0, 1)) << w << "x" << h << " border " << border << " in place";
        }
        freeLayers();
    }
}

// On a layer wider than high the denominator is negative, the own weight
// exceeds 1 and the mirrors' weight is negative: the blend leaves 0..255 and
// is stored saturated, not wrapped to its low 8 bits.
TEST(PixelFilters, MakeTilableSaturatesBlendsOutsideTheByteRange) {
    initLayers(16, 4);
    textest::fillColour(0, {0, 0, 0});
    at(0, 0, 0) = {255, 255, 255};  // t = 4, factor -1/64: b = 1.0625, a = -0.0208...
    at(0, 15, 1) = {255, 255, 255};
    at(0, 0, 2) = {255, 255, 255};
    at(0, 15, 2) = {255, 255, 255};
    makeTilable(0, 1, 0);
    EXPECT_EQ(at(1, 0, 0), (Pixel{255, 255, 255})) << "270.9 saturates";
    EXPECT_EQ(at(1, 0, 1), (Pixel{0, 0, 0})) << "a negative blend saturates at 0";
    freeLayers();
}

TEST(PixelFilters, GoldenHashes) {
    struct Case {
        const char* name;
        void (*run)();
        uint64_t hash;
    };
    const Case cases[] = {
        {"invert", [] { invertLayer(0, 1); }, 9475761164900270281u},
        {"wood 3", [] { woodLayer(0, 1, 3); }, 15052813840318902604u},
        {"wood 37", [] { woodLayer(0, 1, 37); }, 11715124865212429039u},
        {"motion 1", [] { motionBlur(0, 1, 1); }, 16353612558968374952u},
        {"motion 6", [] { motionBlur(0, 1, 6); }, 13893995330144418513u},
        {"motion 100", [] { motionBlur(0, 1, 100); }, 6398718561392526550u},
        {"tilable 0", [] { makeTilable(0, 1, 0); }, 3445001257204176845u},
        {"tilable 12", [] { makeTilable(0, 1, 12); }, 16715745113621767119u},
        {"tilable -20", [] { makeTilable(0, 1, -20); }, 9392756643111835684u},
    };
    initLayers(64, 32);
    for (const Case& c : cases) {
        textest::fillNoise(0, 7);
        textest::fillNoise(1, 8);
        c.run();
        EXPECT_EQ(textest::layerHash(1), c.hash) << c.name;
    }
    freeLayers();
}

// Every operation of the family is reachable through its opcode.
TEST(PixelFilters, OpcodesReachTheFilters) {
    initLayers(32, 16);
    struct Case {
        int32_t opcode;
        float third;
        void (*direct)();
    };
    const Case cases[] = {
        {30, 0, [] { invertLayer(0, 2); }},     {31, 0, [] { embossLayer(0, 2); }},
        {32, 3.7f, [] { woodLayer(0, 2, 3); }}, {33, 0, [] { blurLayer(0, 2); }},
        {34, 0, [] { sharpenLayer(0, 2); }},    {35, 0, [] { edgeHLayer(0, 2); }},
        {36, 0, [] { edgeVLayer(0, 2); }},      {37, 2.9f, [] { motionBlur(0, 2, 2); }},
        {38, 5.5f, [] { makeTilable(0, 2, 5); }}, {39, 0, [] { medianLayer(0, 2); }},
    };
    for (const Case& c : cases) {
        textest::fillNoise(0, 1);
        textest::fillNoise(1, 2);
        textest::fillNoise(2, 2);
        const float params[10] = {0, 1, c.third};
        runOperation(c.opcode, params);
        c.direct();
        EXPECT_FALSE(sameLayers(0, 1)) << c.opcode;
        EXPECT_TRUE(sameLayers(1, 2)) << c.opcode;
    }
    freeLayers();
}
