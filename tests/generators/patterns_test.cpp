// Pattern generators: blob placement and field, the automaton's neighbour
// order and wrap, Mandelbrot escape counts and coordinate accumulation, the
// guarded arguments, the opcodes and golden hashes.
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "engine/generators/patterns.h"
#include "engine/internal.h"

#include "test_util.h"

using namespace tex;
using textest::at;
using textest::layerHash;

namespace {

// blobsLayer per pixel as written: every value in extended precision and
// rounded to float32 where it is stored.
void plainBlobs(int32_t layer, int32_t seed, int32_t count, bool colored) {
    randomSeed = uint32_t(seed);
    int32_t bx[16], by[16];
    float strength[16][3] = {};
    for (int32_t i = 0; i < count; ++i) {
        bx[i] = int32_t(((nextRandom() * uint32_t(layerWidth)) >> 8) & uint32_t(widthMask));
        by[i] = int32_t(((nextRandom() * uint32_t(layerHeight)) >> 8) & uint32_t(heightMask));
        for (int ch = 0; ch < (colored ? 3 : 1); ++ch)
            strength[i][ch] = static_cast<float>(((nextRandom() & 255) * BYTE_UNIT + BLOB_BRIGHTNESS_BASE) * ext(150.0));
    }
    const float k = static_cast<float>(ext(1.0) / (layerWidth * layerHeight * THIRD));
    for (int32_t y = 0; y < layerHeight; ++y)
        for (int32_t x = 0; x < layerWidth; ++x) {
            float sum[3] = {0, 0, 0};
            for (int32_t i = 0; i < count; ++i) {
                const int64_t dx = bx[i] - x, dy = by[i] - y;
                const float t = static_cast<float>((dx * dx + dy * dy) * ext(k));
                const ext lt = t;
                const float f = static_cast<float>(1 - BLOB_C3 * (lt * lt * lt) + BLOB_C2 * (lt * lt) - BLOB_C1 * lt);
                for (int ch = 0; ch < 3; ++ch) sum[ch] = static_cast<float>(sum[ch] + ext(strength[i][ch]) * f);
            }
            auto byte = [](float s) { return uint8_t(s <= 0 ? 0 : s >= 255 ? 255 : int32_t(s)); };
            const uint8_t red = byte(sum[0]);
            at(layer, x, y) = colored ? Pixel{red, byte(sum[1]), byte(sum[2])} : Pixel{red, red, red};
        }
}

uint8_t plainEscape(float cx, float cy, float bailout) {
    float zr = cx, zi = cy;
    for (int n = 0;; ++n) {
        const float zr2 = static_cast<float>(ext(zr) * zr);
        const float zi2 = static_cast<float>(ext(zi) * zi);
        if (ext(zr2) + zi2 > bailout) return uint8_t(n);
        const float nzi = static_cast<float>(ext(2.0) * zr * zi + cy);
        zr = static_cast<float>(ext(zr2) - zi2 + cx);
        zi = nzi;
        if (n >= 255) return 255;
    }
}

bool rowIs(int32_t layer, int32_t y, uint8_t red) {
    for (int32_t x = 0; x < layerWidth; ++x)
        if (at(layer, x, y).red != red) return false;
    return true;
}

}  // namespace

class PatternsTest : public textest::EngineTest {
protected:
    PatternsTest() : EngineTest(256, 256) {}
};

TEST_F(PatternsTest, OneBlobSitsOnItsDrawsAndFadesWithDistance) {
    blobsLayer(0, 1, 1, false);
    EXPECT_EQ(at(0, 90, 40), (Pixel{73, 73, 73}));  // draws 346, 32552, 10851
    const uint32_t after = randomSeed;
    randomSeed = 1;
    for (int k = 0; k < 3; ++k) nextRandom();
    EXPECT_EQ(after, randomSeed);
    EXPECT_GT(at(0, 90 + 100, 40).red, 0);
    EXPECT_EQ(at(0, 90 + 148, 40).red, 0);       // t = 1
    EXPECT_EQ(at(0, 90, 40 + 200).red, 9);       // the faint ring, t = 1.83
    EXPECT_EQ(at(0, 90 - 90, 40 + 215).red, 0);  // t > 2.25
}

// The first blob's centre and red strength come from the same three draws
// either way; colour then draws two more, so later blobs move.
TEST_F(PatternsTest, ColourDrawsTwoMoreValuesPerBlob) {
    blobsLayer(0, 5, 1, false);
    blobsLayer(1, 5, 1, true);
    for (int y = 0; y < 256; y += 3)
        for (int x = 0; x < 256; x += 5) ASSERT_EQ(at(0, x, y).red, at(1, x, y).red);
    blobsLayer(0, 5, 2, false);
    blobsLayer(1, 5, 2, true);
    bool differ = false;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) differ |= at(0, x, y).red != at(1, x, y).red;
    EXPECT_TRUE(differ);
}

TEST_F(PatternsTest, BlobCountIsClampedToZeroAndSixteen) {
    textest::fillNoise(0, 2);
    blobsLayer(0, 77, 0, true);
    EXPECT_TRUE(rowIs(0, 0, 0) && rowIs(0, 255, 0));
    EXPECT_EQ(randomSeed, 77u);
    blobsLayer(0, 77, -3, true);
    EXPECT_TRUE(rowIs(0, 128, 0));
    blobsLayer(0, 77, 16, true);
    const uint32_t seedAfter16 = randomSeed;
    blobsLayer(1, 77, 17, true);
    EXPECT_EQ(layerHash(0), layerHash(1));
    EXPECT_EQ(randomSeed, seedAfter16);
    blobsLayer(1, 77, INT32_MAX, true);
    EXPECT_EQ(layerHash(0), layerHash(1));
}

namespace {

float plainField(float t) {
    const ext lt = t;
    return static_cast<float>(1 - BLOB_C3 * (lt * lt * lt) + BLOB_C2 * (lt * lt) - BLOB_C1 * lt);
}

bool sameFloat(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

// The double field with its error bound equals the extended formula: on every
// scaled distance of a 256 x 256 layer and on ten million seeded values,
// half of them next to the roots 1 and 2.25 where the field nearly cancels.
TEST(Blobs, FieldEqualsTheExtendedFormula) {
    const float k = static_cast<float>(ext(1.0) / (65536 * THIRD));
    for (int32_t d = 0; d <= 2 * 255 * 255; ++d) {
        const float t = static_cast<float>(d * ext(k));
        ASSERT_TRUE(sameFloat(blobField(t), plainField(t))) << d;
    }
    std::mt19937 random(99);
    for (int n = 0; n < 10'000'000; ++n) {
        float t;
        if (n & 1) {
            t = float(random()) * 0x1p-29f;  // 0 to 8
        } else {
            const float root = (n & 2) ? 1.0f : 2.25f;
            t = root + float(int32_t(random() % 2000001) - 1000000) * 0x1p-40f * (1 << (random() % 20));
        }
        ASSERT_TRUE(sameFloat(blobField(t), plainField(t))) << t;
    }
}

// One share added to a float32 sum, formed in double, equals the extended
// sum rounded to float32, on ten million seeded inputs of mixed magnitudes
// (sums of few bits make exact and midpoint sums common), one by one and in
// rows of 1000 with one strength each (the row form's vector lanes).
TEST(Blobs, ShareSumEqualsTheExtendedFormula) {
    std::mt19937 random(5);
    constexpr int ROW = 1000;
    std::vector<float> sums(ROW), fields(ROW), expected(ROW);
    for (int n = 0; n < 10'000'000 / ROW; ++n) {
        const float strength = static_cast<float>(((random() & 255) * BYTE_UNIT + BLOB_BRIGHTNESS_BASE) * ext(150.0));
        for (int x = 0; x < ROW; ++x) {
            float& sum = sums[x];
            float& field = fields[x];
            if (random() % 4 == 0) {
                sum = float(int32_t(random() % 65536) - 20000) * 0x1p-6f;
                field = float(int32_t(random() % 4096) - 512) * 0x1p-12f;
            } else {
                sum = (float(random()) * 0x1p-23f - 100.0f) * std::ldexp(1.0f, int(random() % 12) - 6);
                field = plainField(float(random()) * 0x1p-30f);
            }
            expected[x] = static_cast<float>(sum + ext(strength) * field);
            ASSERT_TRUE(sameFloat(addShare(sum, strength, field), expected[x])) << sum << " " << strength << " " << field;
        }
        addShares(sums.data(), fields.data(), strength, ROW);
        for (int x = 0; x < ROW; ++x) ASSERT_TRUE(sameFloat(sums[x], expected[x])) << x << " " << strength;
    }
}

// 1 + (1 + 2^-12)(1 - 2^-12 + 2^-24) 2^-24 = 1 + 2^-24 + 2^-60: in double it
// rounds to the float32 midpoint 1 + 2^-24 and then, ties to even, to 1;
// the extended sum keeps the 2^-60 and rounds up to 1 + 2^-23.
TEST(Blobs, ShareSumsThatDoubleRoundingWouldBreak) {
    const float strength = (1.0f + 0x1p-12f) * 0x1p-24f, field = 1.0f - 0x1p-12f + 0x1p-24f;
    ASSERT_EQ(float(1.0 + double(strength) * field), 1.0f);
    EXPECT_EQ(addShare(1.0f, strength, field), 1.0f + 0x1p-23f);
    // In a row of 37 (the vector lanes and the tail), the case at several places.
    float sums[37], fields[37];
    for (int x = 0; x < 37; ++x) {
        sums[x] = x % 3 == 1 ? 2.0f : 1.0f;
        fields[x] = x % 3 == 0 ? field : x % 3 == 1 ? field * 2 : 0.25f;
    }
    addShares(sums, fields, strength, 37);
    for (int x = 0; x < 37; ++x) {
        const float expected = x % 3 == 0 ? 1.0f + 0x1p-23f : addShare(x % 3 == 1 ? 2.0f : 1.0f, strength, fields[x]);
        EXPECT_EQ(sums[x], expected) << x;
    }
}

// Field, float32 sums and saturation equal the per-pixel procedure as written.
TEST(Blobs, EqualThePlainProcedure) {
    // 65536 wide: squared distances beyond the int32 range and beyond 2^29.
    const int32_t sizes[][2] = {{1, 1}, {2, 2}, {64, 32}, {256, 256}, {16, 128}, {65536, 1}};
    for (const auto& size : sizes) {
        initLayers(size[0], size[1]);
        for (int32_t count : {1, 5, 16})
            for (bool colored : {false, true}) {
                blobsLayer(0, 1000 + count, count, colored);
                plainBlobs(1, 1000 + count, count, colored);
                ASSERT_EQ(textest::snapshot(0), textest::snapshot(1)) << size[0] << "x" << size[1] << " " << count;
            }
        freeLayers();
    }
}

TEST_F(PatternsTest, CellMachineFirstRowAndSeeding) {
    cellMachine(0, 1, 0);
    EXPECT_EQ(at(0, 0, 0), (Pixel{255, 255, 255}));  // 346 >> 10 = 0
    EXPECT_EQ(at(0, 1, 0), (Pixel{0, 0, 0}));        // 32552 >> 10 = 31
    for (int y = 1; y < 256; ++y) ASSERT_TRUE(rowIs(0, y, 0)) << y;
    cellMachine(0, 0, 0);
    EXPECT_TRUE(rowIs(0, 0, 255));
    EXPECT_EQ(randomSeed, 0u);
    cellMachine(0, 1, 255 + 256 * 7);  // only the low 8 bits count
    for (int y = 1; y < 256; ++y) ASSERT_TRUE(rowIs(0, y, 255)) << y;
}

// Bit 1 (left only) moves a live cell right, bit 4 (right only) moves it left,
// bit 2 (centre only) keeps it; rows wrap at the edges.
TEST(CellMachine, NeighbourOrderAndWrap) {
    initLayers(16, 40);
    const struct {
        int32_t rule, shift;
    } rules[] = {{2, 1}, {16, -1}, {4, 0}};
    for (const auto& r : rules) {
        // The first seed whose first row holds exactly one live cell.
        uint32_t seed = 1;
        for (;; ++seed) {
            randomSeed = seed;
            int live = 0;
            for (int x = 0; x < 16; ++x) live += (nextRandom() >> 10) == 0;
            if (live == 1) break;
        }
        cellMachine(0, int32_t(seed), r.rule);
        int32_t x0 = 0;
        while (at(0, x0, 0).red == 0) ++x0;
        for (int32_t y = 0; y < 40; ++y)
            for (int32_t x = 0; x < 16; ++x)
                ASSERT_EQ(at(0, x, y).red != 0, x == ((x0 + r.shift * y) & 15)) << r.rule << " " << x << "," << y;
    }
    // One cell wide: the cell is its own left and right neighbour (n = 0 or 7).
    initLayers(1, 6);
    cellMachine(0, 0, 1);  // live, then n = 7 (bit clear): dead, then n = 0: live
    for (int y = 0; y < 6; ++y) EXPECT_EQ(at(0, 0, y).red, y % 2 ? 0 : 255) << y;
    freeLayers();
}

// Every rule against the definition, generation by generation, on a width
// that is no whole number of vectors.
TEST(CellMachine, EveryRuleMatchesTheRuleBits) {
    initLayers(37, 24);
    for (int32_t rule = 0; rule < 256; ++rule) {
        cellMachine(0, 1000 + rule, rule);
        for (int32_t y = 1; y < 24; ++y)
            for (int32_t x = 0; x < 37; ++x) {
                const int n = (at(0, (x + 36) % 37, y - 1).red & 1) + 2 * (at(0, x, y - 1).red & 1) +
                              4 * (at(0, (x + 1) % 37, y - 1).red & 1);
                ASSERT_EQ(at(0, x, y).red, (rule >> n) & 1 ? 255 : 0) << rule << " " << x << "," << y;
            }
    }
    freeLayers();
}

TEST(MandelBrot, EscapeCountsStartAtC) {
    initLayers(1, 1);
    const struct {
        float cx, cy;
        Pixel expected;
    } cases[] = {{0, 0, {255, 0, 0}}, {2, 0, {1, 254, 254}}, {5, 0, {0, 255, 255}}, {-2, 0, {255, 0, 0}},
                 {NAN, 0, {255, 0, 0}}};
    for (const auto& c : cases) {
        mandelBrot(0, c.cx, 1, c.cy, 1, 16);
        EXPECT_EQ(at(0, 0, 0), c.expected) << c.cx;
    }
    freeLayers();
}

// A recorded rectangle with a zero horizontal span gives uniform rows.
TEST(MandelBrot, ZeroSpanRecordGivesUniformRows) {
    initLayers(64, 32);
    const float record[10] = {1, -0.75f, -0.5f, -0.75f, 0.5f};
    runOperation(7, record);
    for (int y = 0; y < 32; ++y) ASSERT_TRUE(rowIs(1, y, at(1, 0, y).red));
    EXPECT_NE(at(1, 0, 0).red, at(1, 0, 16).red);
    freeLayers();
}

// The double steps with their fallbacks give the extended escape counts:
// random points over the set and its border, points next to the real axis
// (zr2 and zi2 far apart), points of few bits (exact sums and midpoints) and
// assorted bailouts, until more than ten million steps have been compared.
TEST(MandelBrot, EscapeCountsEqualTheExtendedIteration) {
    initLayers(1, 1);
    std::mt19937 random(1234);
    const float bailouts[] = {16.0f, 4.0f, 2.0f, 1e-3f, 1e30f, 100.5f};
    int64_t steps = 0;
    for (int n = 0; steps < 10'000'000; ++n) {
        float cx = float(random()) * 0x1p-30f - 2.5f, cy = float(random()) * 0x1p-31f - 1.0f;
        if (n % 4 == 1) cy = float(int32_t(random() % 201) - 100) * 0x1p-30f;
        if (n % 4 == 2) {
            cx = float(int32_t(random() % 256) - 160) * 0x1p-6f;
            cy = float(int32_t(random() % 128) - 64) * 0x1p-6f;
        }
        const float bailout = n % 8 == 3 ? bailouts[random() % 6] : 16.0f;
        mandelBrot(0, cx, 1, cy, 1, bailout);
        const uint8_t expected = plainEscape(cx, cy, bailout);
        ASSERT_EQ(at(0, 0, 0).red, expected) << cx << " " << cy << " " << bailout;
        steps += expected + 1;
    }
    freeLayers();
}

TEST_F(PatternsTest, RefuseBadLayers) {
    randomSeed = 3;
    for (int32_t layer : {-1, 5, 6}) {
        blobsLayer(layer, 1, 4, true);
        cellMachine(layer, 1, 30);
        mandelBrot(layer, 0, 1, 0, 1, 16);
    }
    EXPECT_EQ(randomSeed, 3u);
}

// Each opcode reaches its procedure with the slots converted.
TEST_F(PatternsTest, OpcodesRunTheGenerators) {
    const struct {
        int32_t opcode;
        float slots[10];
    } records[] = {{0, {1, 16, 5, 256, 1}}, {1, {1, 0.1f, 0.2f, 256}}, {2, {1, 32, 5, 256, 128, 4, 1}},
                   {6, {1, 5, 4, 1}},       {7, {1, -2, -1, 1, 1}},      {8, {1, 5, 30}}};
    for (const auto& r : records) {
        runOperation(r.opcode, r.slots);
        const auto viaRecord = layerHash(1);
        switch (r.opcode) {
            case 0: subPlasma(2, 16, 5, 256, true); break;
            case 1: sinePlasma(2, 0.1f, 0.2f, 256); break;
            case 2: perlinNoise(2, 32, 5, 256, 128, 4, true); break;
            case 6: blobsLayer(2, 5, 4, true); break;
            case 7: mandelBrot(2, -2, 3, -1, 2, 16); break;
            case 8: cellMachine(2, 5, 30); break;
        }
        EXPECT_EQ(viaRecord, layerHash(2)) << r.opcode;
    }
}

TEST(PatternsGolden, Hashes) {
    initLayers(128, 128);
    const struct {
        int32_t seed, count;
        bool colored;
        uint64_t hash;
    } blobs[] = {{1, 1, false, 12110358852895983989ull}, {42, 6, true, 16287005086848065997ull}, {7, 16, true, 2625905919127538635ull}};
    for (const auto& c : blobs) {
        blobsLayer(0, c.seed, c.count, c.colored);
        EXPECT_EQ(layerHash(0), c.hash) << "blobs " << c.seed;
        plainBlobs(1, c.seed, c.count, c.colored);
        EXPECT_EQ(layerHash(1), c.hash) << "plain blobs " << c.seed;
    }
    const struct {
        int32_t seed, rule;
        uint64_t hash;
    } cells[] = {{1, 30, 18108598656431532050ull}, {12345, 110, 12000681131764892222ull}, {3, 90, 7999383639067215966ull}};
    for (const auto& c : cells) {
        cellMachine(0, c.seed, c.rule);
        EXPECT_EQ(layerHash(0), c.hash) << "cells " << c.rule;
    }
    const struct {
        float x, xs, y, ys, bailout;
        uint64_t hash;
    } sets[] = {{-2.1f, 3, -1.3f, 2.6f, 16, 2475361706287969463ull}, {-0.75f, 0.01f, 0.1f, 0.01f, 16, 14074962240005742943ull}, {-1.5f, 2, -1, 2, 4, 7266320182681765309ull}};
    for (const auto& c : sets) {
        mandelBrot(0, c.x, c.xs, c.y, c.ys, c.bailout);
        EXPECT_EQ(layerHash(0), c.hash) << "mandel " << c.x;
        float cy = c.y;
        for (int y = 0; y < 128; ++y, cy += c.ys / 128) {
            float cx = c.x;
            for (int x = 0; x < 128; ++x, cx += c.xs / 128) {
                const uint8_t v = plainEscape(cx, cy, c.bailout);
                at(1, x, y) = {v, uint8_t(255 - v), uint8_t(255 - v)};
            }
        }
        EXPECT_EQ(layerHash(1), c.hash) << "plain mandel " << c.x;
    }
    freeLayers();
}
