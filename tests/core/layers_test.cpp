// The layer store's lifecycle: sizes, masks, black layers, kept records.
#include <stdexcept>

#include "engine/numeric/ext.h"
#include "test_util.h"

using namespace tex;

static bool allZero(int32_t layer) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(layers[layer]);
    for (size_t i = 0, n = size_t(layerWidth) * layerHeight * 3; i < n; ++i)
        if (bytes[i]) return false;
    return true;
}

TEST(InitLayers, MakesBlackLayersEmptyProgramsAndMasks) {
    layerPrograms[2].count = 7;
    initLayers(256, 256);
    EXPECT_EQ(widthMask, 255);
    EXPECT_EQ(heightMask, 255);
    for (int i = 0; i < LAYER_COUNT; ++i) {
        EXPECT_TRUE(allZero(i)) << i;
        EXPECT_EQ(layerPrograms[i].count, 0);
    }
    EXPECT_NE(layers[SCRATCH_LAYER], nullptr);
    freeLayers();
}

TEST(InitLayers, ResizingKeepsRecordsBeyondTheCount) {
    initLayers(64, 32);
    layerPrograms[1].count = 3;
    layerPrograms[1].opcode[2] = 33;
    layerPrograms[1].params[2][0] = 1.5f;
    layers[1][5] = {1, 2, 3};
    initLayers(16, 128);
    EXPECT_EQ(layerWidth, 16);
    EXPECT_EQ(layerHeight, 128);
    EXPECT_EQ(widthMask, 15);
    EXPECT_EQ(heightMask, 127);
    EXPECT_EQ(layerPrograms[1].count, 0);
    EXPECT_EQ(layerPrograms[1].opcode[2], 33);
    EXPECT_EQ(layerPrograms[1].params[2][0], 1.5f);
    EXPECT_TRUE(allZero(1));
    freeLayers();
}

TEST(InitLayers, RefusesUnsupportedSizesAndKeepsTheOldState) {
    initLayers(32, 32);
    for (auto size : {std::pair{0, 32}, {32, -1}, {65537, 1}, {32768, 32768}})
        EXPECT_THROW(initLayers(size.first, size.second), std::invalid_argument);
    EXPECT_EQ(layerWidth, 32);
    EXPECT_NE(layers[0], nullptr);
    freeLayers();
}

TEST(FreeLayers, ReleasesAndCanRepeat) {
    initLayers(8, 8);
    freeLayers();
    for (Pixel* layer : layers) EXPECT_EQ(layer, nullptr);
    freeLayers();  // harmless when nothing is allocated
    EXPECT_EQ(layerWidth, 8);
    // Operations without buffers do nothing instead of crashing.
    colorLayer(0, 1, 2, 3);
    const float params[10] = {0, 1, 1, 1};
    runOperation(4, params);
    initLayers(8, 8);
    EXPECT_TRUE(allZero(0));
    freeLayers();
}

// A process may start with the x87 rounding to 53 bits (Windows does): the
// engine's extended arithmetic needs all 64, and initLayers asks for them.
TEST(InitLayers, SetsTheX87ToItsFullPrecision) {
#if TEX_EXT_IS_LONG_DOUBLE
    uint16_t control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    const uint16_t doublePrecision = uint16_t((control & ~0x300) | 0x200);
    __asm__ volatile("fldcw %0" : : "m"(doublePrecision));
    initLayers(4, 4);
    uint16_t after;
    __asm__ volatile("fnstcw %0" : "=m"(after));
    volatile tex::ext one = 1, tiny = tex::ext(0x1p-60);
    const bool distinct = one + tiny != one;  // rounds to 1 at 53 bits
    __asm__ volatile("fldcw %0" : : "m"(control));
    freeLayers();
    EXPECT_EQ(after & 0x300, 0x300);
    EXPECT_TRUE(distinct);
#else
    GTEST_SKIP() << "ext is the software type here";
#endif
}
