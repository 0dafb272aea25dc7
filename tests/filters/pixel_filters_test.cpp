// Pixel and smear filters: byte maps over every byte value, the motion blur's
// sliding sums against the literal window, the seam blend's weights and its
// untouched disc, refusals, opcodes and golden hashes.
#include <chrono>

#include "reference.h"
#include "test_util.h"

using namespace tex;
using textest::at;

static bool sameLayers(int32_t a, int32_t b) { return std::memcmp(layers[a], layers[b], layerBytes()) == 0; }

TEST(PixelFilters, InvertAndWoodMapEveryByteLikeTheirFormulas) {
    initLayers(16, 16);
    auto* in = reinterpret_cast<uint8_t*>(layers[0]);
    const auto* out = reinterpret_cast<const uint8_t*>(layers[1]);
    for (size_t i = 0; i < layerBytes(); ++i) in[i] = uint8_t(i / 3);  // every byte in every channel
    invertLayer(0, 1);
    for (size_t i = 0; i < layerBytes(); ++i) ASSERT_EQ(out[i], 255 - in[i]);
    invertLayer(1, 1);
    EXPECT_TRUE(sameLayers(0, 1)) << "inverting twice, in place, restores the layer";
    // Shift counts modulo 32, as 32-bit shifts take them; a layer whose bytes
    // are not whole blocks of words too, and the result written in place.
    auto wood = [&](int32_t b32) {
        const uint32_t left = uint32_t(b32) & 31u, right = (8u - uint32_t(b32)) & 31u;
        woodLayer(0, 1, b32);
        for (size_t i = 0; i < layerBytes(); ++i)
            ASSERT_EQ(out[i], uint8_t((uint32_t(in[i]) << left) | (uint32_t(in[i]) >> right))) << b32;
    };
    for (int64_t bits = -70; bits <= 70; ++bits)
        for (int32_t b32 : {int32_t(bits), int32_t(bits + (int64_t(1) << 31))}) wood(b32);
    initLayers(16, 7);
    in = reinterpret_cast<uint8_t*>(layers[0]);
    out = reinterpret_cast<const uint8_t*>(layers[1]);
    for (size_t i = 0; i < layerBytes(); ++i) in[i] = uint8_t(i * 7);
    for (int32_t b32 = 1; b32 < 8; ++b32) wood(b32);
    std::memcpy(layers[2], layers[0], layerBytes());
    woodLayer(2, 2, 3);
    woodLayer(0, 1, 3);
    EXPECT_TRUE(sameLayers(1, 2)) << "in place";
    initLayers(16, 16);
    textest::fillColour(2, {0x12, 0x81, 0xF0});
    woodLayer(2, 2, 4);
    EXPECT_EQ(at(2, 3, 5), (Pixel{0x21, 0x18, 0x0F}));
    woodLayer(2, 2, 33);  // acts like 1
    EXPECT_EQ(at(2, 3, 5), (Pixel{0x42, 0x30, 0x1E}));
    freeLayers();
}

TEST(PixelFilters, MotionBlurWeightsRoundingWrapAndNegativeRadii) {
    initLayers(16, 4);
    at(0, 0, 1) = {255, 255, 255};
    motionBlur(0, 1, 1);
    // 255*2/4 at the pixel, 255/4 beside it (the left one wraps to column 15).
    for (int32_t x = 0; x < 16; ++x) {
        const uint8_t v = x == 0 ? 127 : x == 1 || x == 15 ? 63 : 0;
        EXPECT_EQ(at(1, x, 1), (Pixel{v, v, v})) << x;
        EXPECT_EQ(at(1, x, 0), (Pixel{0, 0, 0}));
    }
    textest::fillNoise(0, 3);
    // Radius 0 copies; radius -1 would divide by zero and copies like 0.
    for (int32_t radius : {0, -1}) {
        motionBlur(0, 1, radius);
        EXPECT_TRUE(sameLayers(0, 1)) << radius;
    }
    // Any other negative radius has an empty window: all black.
    for (int32_t radius : {-2, -1000, INT32_MIN}) {
        copyLayer(0, 1);
        motionBlur(1, 1, radius);
        EXPECT_TRUE(sameLayers(1, 2)) << radius;
    }
    freeLayers();
}

// The sliding sums against the literal window: every radius up to 3000 (all
// that take the multiply-and-shift division), radii far beyond the width
// (where the window wraps onto the same columns many times) and sums beyond
// 32 bits, on noise and on white (the largest sums), in place and not.
TEST(PixelFilters, MotionBlurEqualsTheLiteralWindowSum) {
    struct Run {
        int32_t w, h, fromRadius, toRadius, step;
    };
    const Run runs[] = {{4, 1, 1, 3000, 1},   {1, 2, 1, 100, 33},   {2, 2, 1, 9, 1},     {8, 4, 1, 20, 1},
                        {64, 4, 1, 200, 7},   {256, 2, 250, 260, 1}, {256, 1, 2901, 5001, 2100},
                        {4, 2, 1000000, 1000000, 1}};
    uint32_t seed = 11;
    for (const Run& run : runs) {
        initLayers(run.w, run.h);
        for (int32_t radius = run.fromRadius; radius <= run.toRadius; radius += run.step)
            for (bool white : {false, true}) {
                if (white)
                    textest::fillColour(0, {255, 255, 255});
                else
                    textest::fillNoise(0, seed++);
                reference::motionBlur(0, 1, radius);
                motionBlur(0, 2, radius);
                ASSERT_TRUE(sameLayers(1, 2)) << run.w << "x" << run.h << " radius " << radius;
                motionBlur(0, 0, radius);
                ASSERT_TRUE(sameLayers(1, 0)) << run.w << "x" << run.h << " radius " << radius << " in place";
            }
        freeLayers();
    }
}

// Radii up to the int32 limit finish in time linear in the layer and equal
// the sum with the weights of each column added up first (itself checked
// against the literal sum where that is affordable).
TEST(PixelFilters, MotionBlurHugeRadiusEqualsTheFoldedWeights) {
    initLayers(4, 4);
    textest::fillNoise(0, 21);
    for (int32_t radius : {1, 5, 6, 7, 100, 12345}) {
        reference::motionBlur(0, 1, radius);
        reference::motionBlurFolded(0, 2, radius);
        ASSERT_TRUE(sameLayers(1, 2)) << radius;
    }
    for (int32_t radius : {INT32_MAX, INT32_MAX - 1, 1 << 30, 123456789, 134217727, 134217728}) {
        reference::motionBlurFolded(0, 1, radius);
        motionBlur(0, 2, radius);
        ASSERT_TRUE(sameLayers(1, 2)) << radius;
    }
    freeLayers();
    initLayers(2048, 256);
    const auto start = std::chrono::steady_clock::now();
    motionBlur(0, 1, INT32_MAX);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    freeLayers();
}

TEST(PixelFilters, MakeTilableKeepsTheDiscAndBlendsWithTheMirrors) {
    initLayers(64, 64);
    // r = 16: factor 0.75 / (1024 - 256) = 1/1024. At (22, 48) t = 100, so the
    // own weight is 1 - 100/1024 and the mirrors' single(100/1024 * 0.333333):
    // 200*b + 120*a = 184.37...
    textest::fillColour(0, {40, 40, 40});
    at(0, 22, 48) = {200, 0, 255};
    textest::fillColour(1, {1, 2, 3});
    makeTilable(0, 1, 16);
    EXPECT_EQ(at(1, 22, 48), (Pixel{184, 3, 234}));
    for (int32_t y = 0; y < 64; ++y)
        for (int32_t x = 0; x < 64; ++x) {
            const bool inside = (x - 32) * (x - 32) + (y - 32) * (y - 32) <= 256;
            ASSERT_EQ(inside, at(1, x, y) == (Pixel{1, 2, 3})) << x << "," << y;
        }
    freeLayers();

    // Border 0 on a square: denominator 0, so outside the inscribed circle
    // every pixel is the plain average of itself and its mirrors.
    initLayers(8, 8);
    textest::fillNoise(0, 9);
    const std::pair<int32_t, int32_t> corners[] = {{0, 0}, {7, 0}, {7, 7}, {0, 7}};
    for (int k = 0; k < 4; ++k) at(0, corners[k].first, corners[k].second) = {uint8_t(10 + k), uint8_t(20 + k), 30};
    makeTilable(0, 1, 0);
    for (auto [x, y] : corners) EXPECT_EQ(at(1, x, y), (Pixel{11, 21, 30}));
    freeLayers();

    // Wider than high: the denominator is negative, the own weight above 1 and
    // the mirrors' negative. The blend leaves 0..255 and is saturated, not
    // wrapped: 255 * 1.0625 at (0, 0), 765 * -0.0052 + 0 at (0, 1).
    initLayers(16, 4);
    for (auto [x, y] : {std::pair{0, 0}, {15, 1}, {0, 2}, {15, 2}}) at(0, x, y) = {255, 255, 255};
    makeTilable(0, 1, 0);
    EXPECT_EQ(at(1, 0, 0), (Pixel{255, 255, 255}));
    EXPECT_EQ(at(1, 0, 1), (Pixel{0, 0, 0}));
    freeLayers();
}

// The per-row shortcuts (the skipped disc, the region of equal weights)
// against the blend computed pixel by pixel, on many shapes and borders, into
// a separate layer (whose disc must survive) and in place.
TEST(PixelFilters, MakeTilableEqualsThePlainBlend) {
    const std::pair<int32_t, int32_t> sizes[] = {{1, 1}, {2, 1}, {1, 4}, {4, 4}, {16, 4}, {4, 32}, {64, 64}, {256, 128}};
    const int32_t borders[] = {0,   1,   2,   3,  5,  8,    13,      31,      32,      33,        64,       100, 127,
                               128, 200, 255, 256, 300, -1, -7, -100, 1 << 20, -(1 << 20), 1 << 30, INT32_MAX, INT32_MIN};
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

// Through the dispatcher, with slots truncated; and refusals: a layer index
// outside 0..4 (or no engine) changes nothing.
TEST(PixelFilters, OpcodesReachTheFiltersAndBadIndicesAreRefused) {
    initLayers(32, 16);
    struct Case {
        int32_t opcode;
        float third;
        void (*direct)(int32_t, int32_t);
    };
    const Case cases[] = {
        {30, 0, invertLayer},  {31, 0, embossLayer},  {32, 3.7f, [](int32_t s, int32_t d) { woodLayer(s, d, 3); }},
        {33, 0, blurLayer},    {34, 0, sharpenLayer}, {35, 0, edgeHLayer},
        {36, 0, edgeVLayer},   {39, 0, medianLayer},  {37, 2.9f, [](int32_t s, int32_t d) { motionBlur(s, d, 2); }},
        {38, 5.5f, [](int32_t s, int32_t d) { makeTilable(s, d, 5); }},
    };
    for (const Case& c : cases) {
        textest::fillNoise(0, 1);
        textest::fillNoise(1, 2);
        copyLayer(1, 2);
        const float params[10] = {0, 1, c.third};
        runOperation(c.opcode, params);
        c.direct(0, 2);
        EXPECT_FALSE(sameLayers(0, 1)) << c.opcode;
        EXPECT_TRUE(sameLayers(1, 2)) << c.opcode;
        const uint64_t before = textest::layerHash(1);
        for (auto [s, d] : {std::pair{0, 5}, {5, 1}, {-1, 1}, {0, 7}, {INT32_MIN, 1}}) c.direct(s, d);
        EXPECT_EQ(textest::layerHash(1), before) << c.opcode;
    }
    freeLayers();
    for (const Case& c : cases) c.direct(0, 1);  // no engine: nothing happens, nothing crashes
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
