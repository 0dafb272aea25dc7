// The 3x3 filters (convolution kernels and the median): single-pixel
// responses, wrap-around, exact agreement of the vector kernels with the
// literal formulas, and golden hashes.
#include <algorithm>
#include <random>

#include "engine/filters/frame.h"
#include "engine/vectors.h"
#include "reference.h"
#include "test_util.h"

using namespace tex;
using textest::at;

namespace {

using Operation = void (*)(int32_t, int32_t);

struct Filter {
    const char* name;
    Operation fast, plain;
};

const Filter FILTERS[] = {
    {"blur", blurLayer, reference::blur},       {"sharpen", sharpenLayer, reference::sharpen},
    {"emboss", embossLayer, reference::emboss}, {"edgeH", edgeHLayer, reference::edgeH},
    {"edgeV", edgeVLayer, reference::edgeV},    {"median", medianLayer, reference::median},
};

// Runs every check with each form of the kernels the processor supports (the
// AVX-512, AVX2 and SSE2 loops and the plain ones).
template <typename Check>
void withEachKernelSet(Check check) {
    for (VectorUnits units : {VectorUnits::Avx512, VectorUnits::Avx2, VectorUnits::Sse2, VectorUnits::Plain}) {
        if (setVectorUnits(units) != units) continue;
        SCOPED_TRACE(vectorUnitsName(units));
        check();
    }
    setVectorUnits(VectorUnits::Avx512);
}

bool sameLayers(int32_t a, int32_t b) { return std::memcmp(layers[a], layers[b], layerBytes()) == 0; }

// Compares a filter with its literal formula on the current layer 0, both
// into a separate layer and in place, with each set of kernels.
void expectSameAsPlain(const Filter& f) {
    f.plain(0, 1);
    withEachKernelSet([&] {
        f.fast(0, 2);
        ASSERT_TRUE(sameLayers(1, 2)) << f.name << " " << layerWidth << "x" << layerHeight;
        copyLayer(0, 3);
        f.fast(3, 3);
        ASSERT_TRUE(sameLayers(1, 3)) << f.name << " in place " << layerWidth << "x" << layerHeight;
    });
}

void fillExtremes(int32_t layer, uint32_t seed) {
    std::mt19937 random(seed);
    const uint8_t values[] = {0, 1, 254, 255};
    auto* bytes = reinterpret_cast<uint8_t*>(layers[layer]);
    for (size_t i = 0; i < layerBytes(); ++i) bytes[i] = values[random() % 4];
}

}  // namespace

// One pixel on a flat background, placed at a corner so that its response
// wraps across all four edges. Responses are listed for the 3x3 block around
// the pixel (rows above, own, below); every other pixel gets the background's
// result.
TEST(NeighbourhoodFilters, SinglePixelResponsesWrapAtEveryEdge) {
    struct Case {
        Operation filter;
        uint8_t background, pixel;
        uint8_t block[9];
        uint8_t elsewhere;
    };
    const Case cases[] = {
        {blurLayer, 0, 255, {15, 31, 15, 31, 63, 31, 15, 31, 15}, 0},
        {blurLayer, 100, 120, {101, 102, 101, 102, 105, 102, 101, 102, 101}, 100},
        {sharpenLayer, 0, 255, {0, 0, 0, 0, 255, 0, 0, 0, 0}, 0},
        {sharpenLayer, 100, 120, {98, 95, 98, 95, 150, 95, 98, 95, 98}, 100},
        {edgeHLayer, 0, 20, {40, 80, 40, 0, 0, 0, 40, 80, 40}, 0},
        {edgeHLayer, 0, 200, {255, 255, 255, 0, 0, 0, 255, 255, 255}, 0},
        {edgeVLayer, 0, 20, {40, 0, 40, 80, 0, 80, 40, 0, 40}, 0},
        // gx = 128 + right - left, gy = 128 + below - above; intSqrt of the sum of squares.
        {embossLayer, 0, 20, {209, 195, 183, 195, 181, 167, 183, 167, 152}, 181},
        {medianLayer, 0, 255, {0, 0, 0, 0, 0, 0, 0, 0, 0}, 0},
        {medianLayer, 255, 0, {255, 255, 255, 255, 255, 255, 255, 255, 255}, 255},
    };
    initLayers(16, 8);
    withEachKernelSet([&] {
        for (const Case& c : cases)
            for (auto [px, py] : {std::pair{0, 0}, std::pair{15, 7}, std::pair{5, 3}}) {
                textest::fillColour(0, {c.background, c.background, c.background});
                at(0, px, py) = {c.pixel, c.pixel, c.pixel};
                c.filter(0, 1);
                for (int32_t y = 0; y < 8; ++y)
                    for (int32_t x = 0; x < 16; ++x) {
                        const int32_t dx = ((x - px + 1) & 15) - 1, dy = ((y - py + 1) & 7) - 1;
                        const bool inBlock = dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1;
                        // The block is indexed from the pixel's point of view:
                        // the neighbour to its left sees it on its right.
                        const uint8_t expected = inBlock ? c.block[(dy + 1) * 3 + (dx + 1)] : c.elsewhere;
                        ASSERT_EQ(at(1, x, y), (Pixel{expected, expected, expected}))
                            << "pixel at " << px << "," << py << " result at " << x << "," << y << " background "
                            << int(c.background);
                    }
            }
    });
    freeLayers();
}

TEST(NeighbourhoodFilters, FlatLayersAndSteps) {
    initLayers(32, 16);
    withEachKernelSet([] {
        for (int value : {0, 1, 77, 128, 254, 255}) {
            const uint8_t b = uint8_t(value);
            textest::fillColour(0, {b, b, b});
            for (Operation keeps : {blurLayer, sharpenLayer, medianLayer}) {
                keeps(0, 1);
                ASSERT_EQ(textest::snapshot(0), textest::snapshot(1)) << value;
            }
            for (auto [filter, expected] : {std::pair<Operation, int>{edgeHLayer, 0}, {edgeVLayer, 0}, {embossLayer, 181}}) {
                filter(0, 1);
                ASSERT_EQ(at(1, 31, 15), (Pixel{uint8_t(expected), uint8_t(expected), uint8_t(expected)}));
            }
        }
        // A step of 5 between halves: 2*4*5 = 40 on both sides of the step and,
        // through the wrap, in the first and last columns.
        for (int32_t y = 0; y < 16; ++y)
            for (int32_t x = 0; x < 32; ++x) at(0, x, y) = x < 16 ? Pixel{10, 0, 0} : Pixel{15, 255, 0};
        edgeVLayer(0, 1);
        edgeHLayer(0, 2);
        medianLayer(0, 3);
        for (int32_t x = 0; x < 32; ++x) {
            const bool nextToStep = x == 0 || x == 15 || x == 16 || x == 31;
            EXPECT_EQ(at(1, x, 9), (Pixel{uint8_t(nextToStep ? 40 : 0), uint8_t(nextToStep ? 255 : 0), 0})) << x;
            EXPECT_EQ(at(2, x, 9), (Pixel{0, 0, 0}));
            EXPECT_EQ(at(3, x, 9), at(0, x, 9)) << "the median keeps a straight edge";
        }
    });
    freeLayers();
}

// Random and extreme-valued layers of many shapes, so that rows shorter than
// a vector, rows that end inside a vector and one-pixel sides all occur:
// together well over ten million neighbourhoods per filter and kernel set.
TEST(NeighbourhoodFilters, VectorKernelsEqualTheLiteralFormulas) {
    const std::pair<int32_t, int32_t> sizes[] = {{1, 1},   {2, 2},  {1, 8},   {8, 1},  {4, 2},    {2, 64},
                                                 {64, 1},  {16, 4}, {32, 16}, {8, 128}, {128, 32}, {256, 256},
                                                 {2048, 2048}};
    uint32_t seed = 1;
    for (auto [w, h] : sizes) {
        initLayers(w, h);
        for (int extremes : {0, 1}) {
            if (extremes && w * h > 65536) continue;  // the large layer is for the random sample
            if (extremes)
                fillExtremes(0, seed++);
            else
                textest::fillNoise(0, seed++);
            for (const Filter& f : FILTERS) expectSameAsPlain(f);
        }
        freeLayers();
    }
}

// Lays out independent neighbourhoods: the 3x3 blocks around the pixels
// (3i+1, 3j+1), whose results depend on their block alone; set(index, n)
// writes neighbour n (reading order) of one block and channel, index 0 up.
template <typename Set>
void fillBlocks(int32_t count, Set set) {
    const int32_t perRow = layerWidth / 3;
    ASSERT_LE(count, perRow * (layerHeight / 3) * 3);
    for (int32_t index = 0; index < count; ++index) {
        const int32_t block = index / 3, cx = block % perRow * 3 + 1, cy = block / perRow * 3 + 1;
        auto byte = [&](int32_t n) {
            return reinterpret_cast<uint8_t*>(&at(0, cx - 1 + n % 3, cy - 1 + n / 3)) + index % 3;
        };
        set(index, byte);
    }
}

// Every arrangement of the values 0, 1 and 255 over the nine places (so every
// order in which equal values meet), one per block and channel.
TEST(NeighbourhoodFilters, MedianIsExactForEveryOrderOfEqualValues) {
    initLayers(256, 256);
    const uint8_t values[3] = {0, 1, 255};
    fillBlocks(19683, [&](int32_t index, auto byte) {
        for (int32_t n = 0, digits = index; n < 9; ++n, digits /= 3) *byte(n) = values[digits % 3];
    });
    reference::median(0, 2);
    withEachKernelSet([] {
        medianLayer(0, 1);
        ASSERT_TRUE(sameLayers(1, 2));
    });
    freeLayers();
}

// The emboss root: every gradient pair with 0 <= gx, gy <= 256 (so every sum
// of squares up to 65536, where the vector root needs exact care), each in one
// block and channel: gx = 128 + right - left, gy = 128 + below - above.
TEST(NeighbourhoodFilters, EmbossRootMatchesIntSqrtForEveryGradient) {
    initLayers(512, 512);
    fillBlocks(257 * 257, [](int32_t index, auto byte) {
        const int32_t gx = index % 257, gy = index / 257;
        *byte(5) = uint8_t(std::max(gx - 128, 0));
        *byte(3) = uint8_t(std::max(128 - gx, 0));
        *byte(7) = uint8_t(std::max(gy - 128, 0));
        *byte(1) = uint8_t(std::max(128 - gy, 0));
    });
    reference::emboss(0, 2);
    withEachKernelSet([] {
        embossLayer(0, 1);
        ASSERT_TRUE(sameLayers(1, 2));
    });
    // Beyond 65536 both give 255: intSqrt stays at 256 or more up to the
    // largest sum the kernel can form (893^2 + 893^2).
    for (uint32_t s = 65536; s <= 2 * 893 * 893; ++s) ASSERT_GE(intSqrt(s), 256u) << s;
    freeLayers();
}

TEST(NeighbourhoodFilters, GoldenHashes) {
    const uint64_t expected[] = {3841027082212264030u,  11221086460409263235u, 13992696321233826397u,
                                 1036790721438154832u,  15500413021733794631u, 4654512439426934120u};
    initLayers(64, 32);
    for (size_t k = 0; k < std::size(FILTERS); ++k) {
        textest::fillNoise(0, 7);
        FILTERS[k].plain(0, 1);
        FILTERS[k].fast(0, 2);
        EXPECT_EQ(textest::layerHash(1), expected[k]) << FILTERS[k].name;
        EXPECT_EQ(textest::layerHash(2), expected[k]) << FILTERS[k].name;
    }
    freeLayers();
}
