// The look-keeping replay: which arguments scale and how they round, that
// one-pixel operations grow by the ratio, that the design size replays
// exactly, and how close larger renders stay to the design-size look.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>
#include <fstream>
#include <sstream>

#include "measure/look_difference.h"
#include "tools/keep_look.h"

namespace {

texlisting::Document listing(const std::string& text) { return texlisting::parseListing(text, "test"); }

texlisting::Document file(const std::string& name) {
    return texlisting::readDocumentOrListing(std::string(TEX_SOURCE_DIR) + "/" + name);
}

TEST(KeepLook, ScalesLengthsAndFrequenciesPerAxisAndRoundsDefinedly) {
    struct Case {
        const char* operation;
        std::vector<float> slots;
        double rx, ry;
        std::vector<float> expected;
    };
    const Case cases[] = {
        // hFreq is per row (y), hAmp along x, vFreq per column (x), vAmp along y.
        {"sineDistort", {0, 1, 0.2f, 8, 0.1f, 6}, 4, 2, {0, 1, 0.1f, 32, 0.025f, 12}},
        {"checkerBoardLayer", {0, 16, 8, 255, 0, 0, 0, 0, 255}, 2, 8, {0, 32, 64, 255, 0, 0, 0, 0, 255}},
        // Below the design size integers round to nearest, halves away from zero, and stay at least 1.
        {"moveDistort", {0, 1, 3, -1}, 0.5, 0.25, {0, 1, 2, -1}},
        {"motionBlur", {0, 1, 5}, 0.5, 1, {0, 1, 3}},
        // A plain length takes the smaller ratio; a product of lengths both.
        {"makeTilable", {0, 1, 10}, 4, 2, {0, 1, 20}},
        {"tunnelDistort", {0, 1, 100}, 4, 2, {0, 1, 800}},
        {"mapDistort", {0, 1, 2, 0.25f, -0.5f}, 2, 4, {0, 1, 2, 0.5f, -2}},
        // Beyond the float32 range a real stops at the largest float; integers at the int32 range.
        {"twirlLayer", {0, 1, 133, 3e38f}, 8, 8, {0, 1, 133, FLT_MAX}},
        {"moveDistort", {0, 1, 1e9f, 0}, 8, 8, {0, 1, float(INT32_MAX), 0}},
        // perlinNoise draws as many octaves as at the design size: step 4 gives spacings 2 and 1 there.
        {"perlinNoise", {0, 4, 7, 256, 128, 8, 1}, 4, 4, {0, 16, 7, 256, 128, 3, 1}},
        // Colours, seeds, counts and shares of the layer do not change.
        {"blobsLayer", {0, 99, 5, 1}, 4, 4, {0, 99, 5, 1}},
        {"particle", {0, 1.5f}, 4, 4, {0, 1.5f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.operation);
        const tex::OperationInfo* row = tex::findOperation(c.operation);
        ASSERT_NE(row, nullptr);
        float slots[10] = {}, scaled[10], expected[10] = {};
        std::copy(c.slots.begin(), c.slots.end(), slots);
        std::copy(c.expected.begin(), c.expected.end(), expected);
        texlisting::scaleRecord(row->opcode, slots, c.rx, c.ry, scaled);
        for (int k = 0; k < 10; ++k) EXPECT_EQ(scaled[k], expected[k]) << "slot " << k;
    }
}

TEST(KeepLook, AtTheDesignSizeIsTheExactReplay) {
    texlisting::Document document = file("data/Testin3.tex");
    texlisting::setDesignSize(document, 128, 64);
    const std::vector<tex::Pixel> exact = looktest::texture(document, 128, 64, false);
    EXPECT_EQ(std::memcmp(looktest::texture(document, 128, 64, true).data(), exact.data(), exact.size() * 3), 0);
}

TEST(KeepLook, OnePixelOperationsGrowByTheRatio) {
    // An automaton, a scatter of single pixels, edges, dilation and erosion:
    // at four times the design size each of their pixels becomes a 4 by 4 block,
    // the design render enlarged.
    const texlisting::Document document =
        listing("// layer 4\ncellMachine(4,7,30);\nnoiseDistort(4,4,99,3);\nedgeVLayer(4,4);\ndilateLayer(4,3);\n"
                "erodeLayer(3,4);\n");
    const std::vector<tex::Pixel> design = looktest::texture(document, 256, 256, false);
    const std::vector<tex::Pixel> large = looktest::texture(document, 1024, 1024, true);
    int mismatches = 0;
    for (int32_t y = 0; y < 1024; ++y)
        for (int32_t x = 0; x < 1024; ++x)
            mismatches += std::memcmp(&large[size_t(y) * 1024 + size_t(x)], &design[size_t(y / 4) * 256 + size_t(x / 4)], 3) != 0;
    EXPECT_EQ(mismatches, 0);
    // The same holds per axis for the operations run on every ratio-th pixel
    // (erosion and dilation widen by the smaller ratio).
    const texlisting::Document phased = listing("// layer 4\ncellMachine(4,7,30);\nnoiseDistort(4,4,99,3);\nedgeVLayer(4,4);\n");
    const std::vector<tex::Pixel> plain = looktest::texture(phased, 256, 256, false);
    const std::vector<tex::Pixel> wide = looktest::texture(phased, 1024, 256, true);
    mismatches = 0;
    for (int32_t y = 0; y < 256; ++y)
        for (int32_t x = 0; x < 1024; ++x)
            mismatches += std::memcmp(&wide[size_t(y) * 1024 + size_t(x)], &plain[size_t(y) * 256 + size_t(x / 4)], 3) != 0;
    EXPECT_EQ(mismatches, 0);
}

// Percent of full scale, mean over the channels, after shrinking a 4x render
// back to the design size: keeping the look must stay within the bound and
// at most half of what the exact render strays.
TEST(KeepLook, LargerRendersStayCloseToTheDesignLook) {
    const struct {
        const char* file;
        double bound;
    } cases[] = {
        {"data/Testin3.tex", 7},
        {"docs/examples/twirlLayer.listing", 7},
        {"docs/examples/blurLayer.listing", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const texlisting::Document document = file(c.file);
        const double exact = looktest::difference(document, 4, false).mean();
        const double kept = looktest::difference(document, 4, true).mean();
        EXPECT_LE(kept, c.bound);
        EXPECT_LE(kept, exact / 2) << "exact " << exact;
    }
}

}  // namespace
