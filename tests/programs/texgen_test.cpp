// texgen end to end: rendered PNG files read back equal what the engine makes,
// every failure is one line naming the file and the cause with a non-zero
// exit, info shows converted arguments and warns of what the engine skips or
// clamps, and the shipped document is exactly what its listing builds.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/engine.h"
#include "process.h"
#include "tools/texgen.h"

namespace {

namespace fs = std::filesystem;
using programs::Outcome;
using texlisting::Document;

Outcome texgen(const std::vector<std::string>& arguments, const std::string& directory = "") {
    programs::Launch launch;
    launch.arguments = {TEX_TEXGEN};
    launch.arguments.insert(launch.arguments.end(), arguments.begin(), arguments.end());
    launch.directory = directory;
    return programs::run(launch, std::chrono::seconds(60));
}

void record(Document& document, int layer, int32_t opcode, std::vector<float> slots) {
    tex::LayerProgram& program = document.programs[layer];
    program.opcode[program.count] = opcode;
    std::copy(slots.begin(), slots.end(), program.params[program.count]);
    ++program.count;
}

// Layer 4 shows orientation and channel order: checkerboard cells of 3 by 5
// with every channel different, and a spot added from layer 3.
Document testDocument() {
    Document document{};
    for (int layer = 0; layer < 4; ++layer) record(document, layer, 4, {float(layer), 10.0f * layer, 40, 200 - 9.0f * layer});
    record(document, 3, 3, {3, 1.5f});
    record(document, 4, 5, {4, 3, 5, 255, 128, 1, 2, 64, 200});
    record(document, 4, 10, {4, 3, 4, 1, 1});
    return document;
}

// 0x00RRGGBB per pixel, as loadTexture gives them.
std::vector<uint32_t> readPng(const std::string& path, int& width, int& height) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
    EXPECT_EQ(image.format & PNG_FORMAT_FLAG_COLOR, PNG_FORMAT_FLAG_COLOR) << "an RGB file";
    EXPECT_EQ(image.format & PNG_FORMAT_FLAG_ALPHA, 0u) << "without alpha";
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> bytes(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr)) return {};
    width = int(image.width);
    height = int(image.height);
    std::vector<uint32_t> pixels(bytes.size() / 3);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = uint32_t(bytes[3 * i]) << 16 | uint32_t(bytes[3 * i + 1]) << 8 | bytes[3 * i + 2];
    return pixels;
}

std::vector<uint32_t> loaded(const std::string& path, int width, int height) {
    uint32_t* pixels = nullptr;
    tex::loadTexture(pixels, path, width, height, true);
    std::vector<uint32_t> copy(pixels, pixels + size_t(width) * size_t(height));
    std::free(pixels);
    return copy;
}

std::string readBytes(const std::string& path) { return programs::readFile(path); }

class Texgen : public ::testing::Test {
protected:
    void SetUp() override {
        document = folder.path + "/doc.tex";
        texlisting::writeDocument(testDocument(), document);
    }
    programs::TemporaryDirectory folder;
    std::string document;
};

TEST_F(Texgen, RenderedLayerFourEqualsTheLoadedTexture) {
    const struct {
        std::string size;
        int width, height;
    } cases[] = {{"", 256, 256}, {"64x32", 64, 32}, {"8x128", 8, 128}, {"16", 16, 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string out = folder.path + "/out.png";
        std::vector<std::string> arguments = {"render", document, "-o", out};
        if (!c.size.empty()) arguments.insert(arguments.end(), {"--size", c.size});
        const Outcome outcome = texgen(arguments);
        ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
        int width = 0, height = 0;
        const std::vector<uint32_t> png = readPng(out, width, height);
        ASSERT_EQ(width, c.width);
        ASSERT_EQ(height, c.height);
        const std::vector<uint32_t> expected = loaded(document, c.width, c.height);
        EXPECT_NE(expected[0], expected[3]) << "the test picture must not be uniform";
        EXPECT_EQ(png, expected);
    }
}

TEST_F(Texgen, RendersAnyLayerAndAllLayers) {
    // Layers 0..3 hold uniform colours (layer 3 also a spot); each PNG is its layer.
    const std::string one = folder.path + "/one.png";
    const Outcome single = texgen({"render", document, "-o", one, "--layer", "2", "--size", "32"});
    ASSERT_EQ(single.exitCode, 0) << single.err;
    int width = 0, height = 0;
    EXPECT_EQ(readPng(one, width, height), std::vector<uint32_t>(32 * 32, 20u << 16 | 40u << 8 | 182u));

    const Outcome all = texgen({"render", document, "-o", folder.path + "/all.png", "--all-layers", "--size", "32"});
    ASSERT_EQ(all.exitCode, 0) << all.err;
    for (int layer = 0; layer < 5; ++layer) {
        const std::string name = folder.path + "/all-layer" + std::to_string(layer) + ".png";
        const std::vector<uint32_t> png = readPng(name, width, height);
        ASSERT_EQ(png.size(), 32u * 32u) << name;
        if (layer < 3) {
            const uint32_t colour = uint32_t(10 * layer) << 16 | 40u << 8 | uint32_t(200 - 9 * layer);
            EXPECT_EQ(png, std::vector<uint32_t>(32 * 32, colour)) << name;
        }
        if (layer == 4) {
            EXPECT_EQ(png, loaded(document, 32, 32));
        }
    }
    EXPECT_EQ(texgen::layerFileName("a/b.c/out.png", 3), "a/b.c/out-layer3.png");
    EXPECT_EQ(texgen::layerFileName("out", 0), "out-layer0.png");
}

TEST_F(Texgen, ThreadCountsGiveTheSameLayersAndFiles) {
    const std::string shipped = std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex";
    const Outcome one = texgen({"hash", shipped, "--all-layers", "--size", "512", "--threads", "1"});
    const Outcome three = texgen({"hash", shipped, "--all-layers", "--size", "512", "--threads", "3"});
    ASSERT_EQ(one.exitCode, 0) << one.err;
    EXPECT_EQ(three.out, one.out);
    const std::string a = folder.path + "/a.png", b = folder.path + "/b.png";
    ASSERT_EQ(texgen({"render", shipped, "-o", a, "--size", "512", "--threads", "1"}).exitCode, 0);
    ASSERT_EQ(texgen({"render", shipped, "-o", b, "--size", "512", "--threads", "0"}).exitCode, 0);
    EXPECT_TRUE(readBytes(a) == readBytes(b));
    EXPECT_EQ(texgen({"export", shipped, "--threads", "2"}).exitCode, 0);
    const Outcome refused = texgen({"hash", shipped, "--threads", "many"});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("--threads"), std::string::npos) << refused.err;
}

TEST_F(Texgen, EveryFailureIsOneLineNamingFileAndCause) {
    const std::string shortFile = folder.path + "/short.tex", emptyFile = folder.path + "/empty.tex",
                      longFile = folder.path + "/long.tex", countFile = folder.path + "/counts.tex";
    std::ofstream(shortFile, std::ios::binary) << std::string(22019, '\0');
    std::ofstream(emptyFile, std::ios::binary);
    std::ofstream(longFile, std::ios::binary) << std::string(22021, '\0');
    Document counts{};
    counts.programs[1].count = 101;
    texlisting::writeDocument(counts, countFile);
    fs::create_directory(folder.path + "/folder.png");
    const std::string out = folder.path + "/out.png";
    const struct {
        std::vector<std::string> arguments;
        std::vector<std::string> mentions;
    } cases[] = {
        {{"render", folder.path + "/missing.tex", "-o", out}, {"missing.tex", "No such file"}},
        {{"render", shortFile, "-o", out}, {"short.tex", "22019 bytes"}},
        {{"render", folder.path, "-o", out}, {folder.path}},
        {{"render", document, "-o", out, "--size", "300"}, {"300", "power of two"}},
        {{"render", document, "-o", out, "--size", "256x0"}, {"256x0", "power of two"}},
        {{"render", document, "-o", out, "--size", "-4"}, {"-4"}},
        {{"render", document, "-o", out, "--size", "big"}, {"big"}},
        {{"render", document, "-o", out, "--size", "131072"}, {"131072", "too large"}},
        {{"render", document, "-o", out, "--size", "32768x32768"}, {"32768x32768", "too large"}},
        {{"render", document, "-o", folder.path + "/no/such/folder/out.png"}, {"no/such/folder/out.png"}},
        {{"render", document, "-o", folder.path + "/folder.png"}, {"folder.png"}},
        {{"render", document, "-o", out, "--layer", "5"}, {"--layer", "5"}},
        {{"render", document}, {"--output"}},
        {{"info", folder.path + "/missing.tex"}, {"missing.tex", "No such file"}},
        {{"info", shortFile}, {"short.tex"}},
        {{"info", emptyFile}, {"empty.tex", "0 bytes", "exactly 22020"}},
        {{"render", countFile, "-o", out}, {"counts.tex", "layer 1's count 101 is outside 0..100", "--lenient"}},
        {{"build", folder.path + "/missing.listing", "-o", out}, {"missing.listing", "No such file"}},
        {{"frobnicate"}, {"subcommand"}},
    };
    for (const auto& c : cases) {
        std::string command;
        for (const std::string& argument : c.arguments) command += " " + argument;
        SCOPED_TRACE(command);
        const Outcome outcome = texgen(c.arguments);
        EXPECT_NE(outcome.exitCode, 0);
        EXPECT_NE(outcome.exitCode, -1) << "crashed or hung";
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
        EXPECT_EQ(outcome.err.rfind("texgen: ", 0), 0u) << outcome.err;
        for (const std::string& mention : c.mentions) EXPECT_NE(outcome.err.find(mention), std::string::npos) << outcome.err;
        EXPECT_FALSE(fs::exists(out)) << "a failed command must not leave an output file";
        EXPECT_FALSE(fs::exists(out + ".tmp"));
    }
}

// Without --size every command renders at the document's design size; a
// design size no tool can use, or bytes after the programs that are no
// extras block, warn in info and leave the 256x256 default.
TEST_F(Texgen, RendersAtTheDesignSizeUnlessToldAndKeepsTheLookWhenAsked) {
    Document sized = testDocument();
    texlisting::setDesignSize(sized, 64, 32);
    std::vector<texlisting::AuthorRecord> layer4 = texlisting::authorProgram(sized, 4);
    texlisting::AuthorRecord off = layer4.back();
    off.bypassed = true;
    layer4.insert(layer4.begin(), off);
    texlisting::setAuthorProgram(sized, 4, layer4);
    const std::string path = folder.path + "/sized.tex", out = folder.path + "/out.png";
    texlisting::writeDocument(sized, path);
    int width = 0, height = 0;

    ASSERT_EQ(texgen({"render", path, "-o", out}).exitCode, 0);
    EXPECT_EQ(readPng(out, width, height), loaded(path, 64, 32)) << "the bypassed record is not replayed";
    EXPECT_EQ(width, 64);
    EXPECT_EQ(height, 32);
    EXPECT_EQ(texgen({"hash", path}).out, texgen({"hash", path, "--size", "64x32"}).out);
    ASSERT_EQ(texgen({"export", path, "--png", out}).exitCode, 0);
    readPng(out, width, height);
    EXPECT_EQ(width, 64);

    // Keeping the look: the same file from render and export, and different pixels from the exact render.
    const std::string kept = folder.path + "/kept.png", exported = folder.path + "/exported.png";
    ASSERT_EQ(texgen({"render", path, "-o", kept, "--size", "256x128", "--keep-look"}).exitCode, 0);
    ASSERT_EQ(texgen({"export", path, "--png", exported, "--size", "256x128", "--keep-look"}).exitCode, 0);
    const auto bytes = [](const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(bytes(kept), bytes(exported));
    EXPECT_NE(texgen({"hash", path, "--size", "256x128", "--keep-look"}).out, texgen({"hash", path, "--size", "256x128"}).out);
    EXPECT_EQ(texgen({"hash", path, "--keep-look"}).out, texgen({"hash", path}).out) << "at the design size: exact";

    const Outcome info = texgen({"info", path});
    EXPECT_EQ(info.exitCode, 0);
    EXPECT_NE(info.out.find("design size: 64x32\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("(bypassed)"), std::string::npos) << info.out;
    const Outcome listing = texgen({"export", path});
    EXPECT_NE(listing.out.find("// design-size 64x32\n"), std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find("// layer 4\n// bypassed: "), std::string::npos) << listing.out;
    const std::string listed = folder.path + "/sized.listing", built = folder.path + "/built.tex";
    std::ofstream(listed) << listing.out;
    ASSERT_EQ(texgen({"build", listed, "-o", built}).exitCode, 0);
    EXPECT_EQ(bytes(built), bytes(path)) << "build gives back the document with its extras";

    for (const std::string& tail : {std::string("texgen-extras 1\ndesign-size 300x300\nend\n"), std::string("junk")}) {
        SCOPED_TRACE(tail);
        const std::string odd = folder.path + "/odd.tex";
        std::ofstream(odd, std::ios::binary) << bytes(document) << tail;
        const Outcome described = texgen({"info", odd});
        EXPECT_EQ(described.exitCode, 0);
        EXPECT_NE(described.out.find("design size: 256x256"), std::string::npos) << described.out;
        EXPECT_NE(described.out.find("  warning: The "), std::string::npos) << described.out;
        ASSERT_EQ(texgen({"render", odd, "-o", out}).exitCode, 0);
        EXPECT_EQ(readPng(out, width, height), loaded(document, 256, 256));
    }
}

// --lenient renders what the viewers show for counts outside 0..100.
TEST_F(Texgen, LenientRenderReplaysLikeTheLoader) {
    Document odd = testDocument();
    odd.programs[4].count = 1000;
    odd.programs[2].count = -3;
    const std::string path = folder.path + "/odd.tex", out = folder.path + "/odd.png";
    texlisting::writeDocument(odd, path);
    const Outcome outcome = texgen({"render", path, "-o", out, "--size", "32", "--lenient"});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    int width = 0, height = 0;
    EXPECT_EQ(readPng(out, width, height), loaded(path, 32, 32));
}

TEST_F(Texgen, InfoShowsConvertedArgumentsAndWarnsOfSkippedOrClampedRecords) {
    Document odd{};
    record(odd, 0, 7, {0, -2, -1.5f, 1, 1.5f});                   // mandelBrot: corners become extents
    record(odd, 0, 6, {0, 3.9f, -3.9f, 2});                       // blobsLayer: truncation, 2.0 is false
    record(odd, 0, 9, {1, 2, 3});                                 // unassigned
    record(odd, 0, 42, {0, 7, 1, 0.5f, 0.25f});                   // a layer outside 0..4
    record(odd, 1, 44, {1, 1, 1e12f, NAN});                       // integers clamped and NaN
    odd.programs[2].count = 150;                                  // more than the record holds
    odd.programs[3].count = -1;
    const std::string path = folder.path + "/odd.tex";
    texlisting::writeDocument(odd, path);
    const Outcome outcome = texgen({"info", path});
    // The table is printed, and the counts make the document malformed.
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.err, "texgen: " + path + " is malformed: layer 2's count 150 is outside 0..100, layer 3's count -1 "
                           "is outside 0..100\n");
    const std::string& text = outcome.out;
    for (const char* expected : {
             "mandelBrot         0, -2, 3, -1.5, 3, 16\n",
             "mapDistort         0, 7, 1, 0.5, 0.25\n",
             "blobsLayer         0, 3, -3, false\n",
             "(unassigned)",
             "record 2: opcode 9 is unassigned",
             "record 3: slot 1 names layer 7, outside 0..4",
             "record 0: slot 2 (1e+12) is beyond the int32 range and is clamped to 2147483647",
             "record 0: slot 3 is not a number and becomes 0",
             "count 150 is above 100: only the first 100 records are replayed",
             "count -1 is negative",
         })
        EXPECT_NE(text.find(expected), std::string::npos) << "missing: " << expected << "\n" << text;
    // Exactly the warnings above: ordinary records give none.
    std::ostringstream listing;
    EXPECT_EQ(texgen::describe(odd, path, listing), 6);
    std::ostringstream clean;
    EXPECT_EQ(texgen::describe(testDocument(), "doc.tex", clean), 0) << clean.str();
}

TEST(TexgenSize, AcceptsPowersOfTwoUpToTheEnginesLimit) {
    int32_t width = 0, height = 0;
    texgen::parseSize("8192x8192", width, height);
    EXPECT_EQ(width, 8192);
    EXPECT_EQ(height, 8192);
    texgen::parseSize("16384", width, height);
    EXPECT_EQ(width, 16384);
    texgen::parseSize("1x65536", width, height);
    EXPECT_EQ(height, 65536);
    for (const char* bad : {"", "x", "0", "3", "256x", "x256", "256x256x2", "2147483648", "65536x65536", "+256", " 256"})
        EXPECT_THROW(texgen::parseSize(bad, width, height), texgen::CommandError) << bad;
}

// The shipped document is made by project code from the listing beside it:
// the committed bytes are exactly what texgen build makes, and exporting them
// gives the listing back.
TEST(ShippedDocument, IsWhatTexgenBuildsFromItsListing) {
    programs::TemporaryDirectory folder;
    const std::string data = std::string(TEX_SOURCE_DIR) + "/data/";
    const std::string built = folder.path + "/Testin3.tex";
    const Outcome build = texgen({"build", data + "Testin3.listing", "-o", built});
    ASSERT_EQ(build.exitCode, 0) << build.err;
    const std::string committed = readBytes(data + "Testin3.tex");
    EXPECT_EQ(committed.size(), 22020u);
    EXPECT_TRUE(committed == readBytes(built)) << "data/Testin3.tex differs from what its listing builds";

    const Outcome exported = texgen({"export", data + "Testin3.tex"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(exported.out, readBytes(data + "Testin3.listing"));
}

TEST(TexgenBuild, ReportsTheListingsLineAndWritesNothing) {
    programs::TemporaryDirectory folder;
    const std::string listing = folder.path + "/bad.listing";
    std::ofstream(listing) << "// layer 0\ncolorLayer(0,1,2,3);\nnoSuchOperation(1);\n";
    const std::string out = folder.path + "/bad.tex";
    const Outcome outcome = texgen({"build", listing, "-o", out});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_NE(outcome.err.find("bad.listing:3:"), std::string::npos) << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_FALSE(fs::exists(out));
}

// render, info and export take a listing wherever they take a document,
// whatever its name: the content decides.
TEST(TexgenListings, AreAcceptedWhereDocumentsAreByContent) {
    programs::TemporaryDirectory folder;
    const std::string data = std::string(TEX_SOURCE_DIR) + "/data/";
    const std::string listingNamedTex = folder.path + "/listing.tex", documentNamedListing = folder.path + "/doc.listing";
    std::ofstream(listingNamedTex, std::ios::binary) << readBytes(data + "Testin3.listing");
    std::ofstream(documentNamedListing, std::ios::binary) << readBytes(data + "Testin3.tex");
    for (const std::string& input : {listingNamedTex, documentNamedListing}) {
        SCOPED_TRACE(input);
        const std::string out = input + ".png";
        const Outcome rendered = texgen({"render", input, "-o", out, "--size", "64"});
        ASSERT_EQ(rendered.exitCode, 0) << rendered.err;
        int width = 0, height = 0;
        EXPECT_EQ(readPng(out, width, height), loaded(data + "Testin3.tex", 64, 64));
        const Outcome exported = texgen({"export", input});
        EXPECT_EQ(exported.out, readBytes(data + "Testin3.listing"));
        EXPECT_EQ(texgen({"info", input}).exitCode, 0);
    }
    std::ofstream(listingNamedTex) << "// layer 0\nblurLayer(0);\n";
    const Outcome bad = texgen({"info", listingNamedTex});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find("listing.tex:2:"), std::string::npos) << bad.err;
}

TEST(TexgenExport, PrintsCppSourceWithTheChosenFunctionName) {
    const std::string document = std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex";
    const Outcome outcome = texgen({"export", document, "--cpp", "--function", "makeShippedTexture"});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_NE(outcome.out.find("void makeShippedTexture() {"), std::string::npos) << outcome.out;
}

}  // namespace
