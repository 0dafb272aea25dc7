// The shipped texture's listing: it holds the 22 calls of the compiled viewer,
// each in the program of the layer it writes, exactly as formatListing writes
// them.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "test_util.h"
#include "tools/listing.h"
#include "viewer/compiled_texture.h"

using namespace tex;
using texlisting::Document;

namespace {

struct Call {
    int layer;
    int32_t opcode;
    textest::Params slots;
};

// The compiled viewer's calls as records (booleans stored as 1.0).
const Call SHIPPED_CALLS[] = {
    {0, 2, {0, 64, 694787904, 256, 121, 4, 1}},
    {0, 34, {0, 0}},
    {0, 24, {0, 0, 0.014f, 0.03f, 0.164f}},
    {0, 44, {0, 0, 58340664, 2}},
    {1, 1, {1, 0.149f, 0.071f, 183.0f}},
    {1, 24, {1, 1, 0.108f, 0.006f, 0.192f}},
    {1, 47, {1, 1, 8192.0f}},
    {2, 3, {2, 1.7857143f}},
    {2, 44, {2, 2, 58340664, 7}},
    {2, 32, {2, 2, 4}},
    {2, 43, {2, 2}},
    {2, 41, {2, 2, 133.0f, 338.98306f}},
    {2, 33, {2, 2}},
    {3, 2, {3, 64, 854723392, 256, 112, 3, 1}},
    {3, 44, {3, 3, 506578272, 3}},
    {3, 23, {3, 3, -117.17647f, 0.1764706f, 83.0f}},
    {3, 31, {3, 3}},
    {3, 21, {3, 3, 1.0f, 1.0f, 5.0f}},
    {4, 4, {4, 0, 0, 0}},
    {4, 11, {0, 1, 4, 1.0f, 1.0f}},
    {4, 10, {4, 2, 4, 1.0f, -1.0f}},
    {4, 11, {4, 3, 4, 1.0f, 1.0f}},
};

Document shippedDocument() {
    Document document{};
    for (const Call& call : SHIPPED_CALLS) {
        LayerProgram& program = document.programs[call.layer];
        program.opcode[program.count] = call.opcode;
        std::copy(call.slots.begin(), call.slots.end(), program.params[program.count]);
        ++program.count;
    }
    return document;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(ShippedListing, HoldsTheCompiledViewersCallsLayerByLayer) {
    const std::string path = std::string(TEX_SOURCE_DIR) + "/data/Testin3.listing";
    const std::string text = readText(path);
    ASSERT_FALSE(text.empty()) << path;
    const Document parsed = texlisting::parseListing(text, path);
    const Document expected = shippedDocument();
    const int32_t counts[LAYER_COUNT] = {4, 3, 6, 5, 4};
    for (int layer = 0; layer < LAYER_COUNT; ++layer) {
        const LayerProgram& got = parsed.programs[layer];
        ASSERT_EQ(got.count, counts[layer]) << "layer " << layer;
        for (int i = 0; i < got.count; ++i) {
            EXPECT_EQ(got.opcode[i], expected.programs[layer].opcode[i]) << layer << ":" << i;
            for (int k = 0; k < 10; ++k)
                EXPECT_EQ(got.params[i][k], expected.programs[layer].params[i][k]) << layer << ":" << i << " slot " << k;
        }
    }
    // A few records spelled out, so that a wrong table above cannot hide a wrong file.
    EXPECT_EQ(parsed.programs[0].params[0][2], 694787904.0f);
    EXPECT_EQ(parsed.programs[0].params[0][6], 1.0f);
    EXPECT_EQ(parsed.programs[2].params[0][1], 1.7857143f);
    EXPECT_EQ(parsed.programs[3].params[2][2], -117.17647f);
    EXPECT_EQ(parsed.programs[4].params[2][4], -1.0f);
    // The file is exactly what the formatter writes for it.
    EXPECT_EQ(text, texlisting::formatListing(expected));
}

// compiledview's direct calls and the replayed document give the same picture.
TEST(ShippedListing, CompiledCallsEqualTheReplayedDocument) {
    const std::string listing = std::string(TEX_SOURCE_DIR) + "/data/Testin3.listing";
    const std::string document = ::testing::TempDir() + "compiled-equals-document.tex";
    texlisting::writeDocument(texlisting::parseListing(readText(listing), listing), document);
    uint32_t* loaded = nullptr;
    tex::randomSeed = 0;
    tex::loadTexture(loaded, document, 256, 256, true);

    std::vector<uint32_t> compiled(65536);
    tex::randomSeed = 0;
    tex::initLayers(256, 256);
    viewer::buildCompiledTexture();
    viewer::convertCompiledTexture(compiled.data());
    tex::freeLayers();
    std::remove(document.c_str());

    size_t differing = 0;
    for (size_t i = 0; i < compiled.size(); ++i) differing += compiled[i] != loaded[i];
    std::free(loaded);
    EXPECT_EQ(differing, 0u);
}

// The shipped texture at several sizes, as hashes of loadTexture's pixels: any
// change of a single bit in any operation it uses shows here.
TEST(ShippedListing, TextureHashesStayTheSame) {
    const std::string document = std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex";
    const struct {
        int32_t width, height;
        uint64_t hash;
    } expected[] = {{256, 256, 5697439504926288294ull}, {64, 64, 9574158055949911636ull}, {512, 128, 3923271675218044664ull}};
    for (const auto& e : expected) {
        uint32_t* pixels = nullptr;
        tex::randomSeed = 0;
        tex::loadTexture(pixels, document, e.width, e.height, true);
        uint64_t hash = 14695981039346656037ull;
        for (size_t i = 0; i < size_t(e.width) * size_t(e.height); ++i) {
            hash ^= pixels[i];
            hash *= 1099511628211ull;
        }
        std::free(pixels);
        EXPECT_EQ(hash, e.hash) << e.width << "x" << e.height;
    }
}
