// A document's extras (design size, bypassed records, entries of later
// versions) survive both forms, and a damaged block changes nothing else.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tools/listing.h"

using texlisting::AuthorRecord;
using texlisting::Document;

namespace {

Document sample() {
    Document document = texlisting::parseListing(
        "// layer 0\nperlinNoise(0,64,12345,256,128,4,true);\n// layer 4\nblurLayer(0,4);\nsharpenLayer(4,4);\n", "sample");
    texlisting::setDesignSize(document, 512, 1024);
    AuthorRecord off;
    off.opcode = 33;  // blurLayer(4,4), switched off between the two
    off.params[0] = off.params[1] = 4;
    AuthorRecord wave;
    wave.opcode = 40;  // sineDistort with a slot no listing can write back exactly
    wave.params[0] = wave.params[1] = 4;
    wave.params[2] = 0.1f;
    wave.params[3] = -0.0f;
    off.bypassed = wave.bypassed = true;
    std::vector<AuthorRecord> layer4 = texlisting::authorProgram(document, 4);
    layer4.insert(layer4.begin() + 1, off);
    layer4.push_back(wave);
    texlisting::setAuthorProgram(document, 4, layer4);
    document.extras.unknown.push_back("palette warm 3");
    return document;
}

TEST(Extras, RoundTripThroughDocumentFileAndListing) {
    const Document document = sample();
    ASSERT_EQ(document.programs[4].count, 2);
    EXPECT_EQ(document.programs[4].opcode[1], 34) << "the bypassed record is not replayed";
    ASSERT_EQ(document.extras.bypassed.size(), 2u);
    EXPECT_EQ(document.extras.bypassed[0].position, 1);
    EXPECT_EQ(document.extras.bypassed[1].position, 3);

    const std::string bytes = texlisting::documentBytes(document);
    EXPECT_EQ(bytes.substr(0, size_t(tex::DOCUMENT_SIZE)),
              std::string(reinterpret_cast<const char*>(document.programs), size_t(tex::DOCUMENT_SIZE)));
    Document back;
    ASSERT_TRUE(texlisting::documentFromBytes(bytes, back));
    EXPECT_TRUE(back == document);
    EXPECT_TRUE(back.extras.warnings.empty());
    EXPECT_EQ(std::signbit(back.extras.bypassed[1].params[3]), true) << "slots come back bit for bit";
    int32_t width, height;
    texlisting::designSize(back, width, height);
    EXPECT_EQ(width, 512);
    EXPECT_EQ(height, 1024);

    const std::string listing = texlisting::formatListing(document);
    EXPECT_EQ(listing.rfind("// texgen-extras 1\n// design-size 512x1024\n// palette warm 3\n// end\n// layer 0\n", 0), 0u)
        << listing;
    EXPECT_NE(listing.find("blurLayer(0,4);\n// bypassed: blurLayer(4,4);\nsharpenLayer(4,4);\n// bypassed: sineDistort("),
              std::string::npos)
        << listing;
    Document read = texlisting::parseListing(listing, "doc.listing");
    EXPECT_TRUE(read.extras.warnings.empty());
    read.extras.bypassed[1].params[3] = -0.0f;  // listings write -0 as 0, as for replayed records
    EXPECT_TRUE(read == document);
    // The author's view puts each record where it was.
    const std::vector<AuthorRecord> seen = texlisting::authorProgram(read, 4);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_TRUE(!seen[0].bypassed && seen[1].bypassed && !seen[2].bypassed && seen[3].bypassed);
    EXPECT_EQ(seen[2].opcode, 34);
}

TEST(Extras, NothingExtraIsStoredAsBefore) {
    Document document = sample();
    texlisting::setDesignSize(document, 256, 256);
    document.extras.bypassed.clear();
    document.extras.unknown.clear();
    EXPECT_EQ(texlisting::documentBytes(document).size(), size_t(tex::DOCUMENT_SIZE));
    EXPECT_EQ(texlisting::formatListing(document).substr(0, 11), "// layer 0\n");
    EXPECT_THROW(texlisting::setDesignSize(document, 300, 256), std::invalid_argument);
    EXPECT_THROW(texlisting::setDesignSize(document, 0, 256), std::invalid_argument);
    EXPECT_THROW(texlisting::setDesignSize(document, 65536, 65536), std::invalid_argument);
}

TEST(Extras, DamagedOrUnusableBlocksWarnFallBackAndAreKept) {
    const std::string programs(size_t(tex::DOCUMENT_SIZE), '\0');
    struct Case {
        const char* block;
        const char* warning;  // the start of the one warning
        bool keptWhole;       // not read at all, kept as trailing bytes
    };
    const Case cases[] = {
        {"texgen-extras 1\ndesign-size 512x512\n", "The extras block has no end line", true},
        {"texgen-extras 2\nend\n", "The extras block is of version 2", true},
        {"junk", "The 4 bytes after the programs are not an extras block", true},
        {"texgen-extras 1\ndesign-size 512x512\nbad\x01line\nend\n", "Line 3 of the extras block is damaged", true},
        {"texgen-extras 1\ndesign-size 300x300\nend\n", "The design size 300x300 is not a power of two", false},
        {"texgen-extras 1\ndesign-size 0x256\nend\n", "The design size 0x256 has a side of zero", false},
        {"texgen-extras 1\ndesign-size 131072x1\nend\n", "The design size 131072x1 is beyond the engine's limits", false},
        {"texgen-extras 1\ndesign-size big\nend\n", "The extras entry \"design-size big\" cannot be read", false},
        {"texgen-extras 1\nbypassed 7 0 33\nend\n", "The extras entry \"bypassed 7 0 33\" cannot be read", false},
        {"texgen-extras 1\nlater-entry 1\nend\ntail", "The 4 bytes after the extras block", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.block);
        Document document;
        ASSERT_TRUE(texlisting::documentFromBytes(programs + c.block, document));
        ASSERT_EQ(document.extras.warnings.size(), 1u);
        EXPECT_EQ(document.extras.warnings[0].rfind(c.warning, 0), 0u) << document.extras.warnings[0];
        int32_t width, height;
        texlisting::designSize(document, width, height);
        EXPECT_EQ(width, 256);
        EXPECT_EQ(height, 256);
        EXPECT_EQ(document.extras.trailing.empty(), !c.keptWhole && std::string(c.block).find("tail") == std::string::npos);
        EXPECT_TRUE(texlisting::documentBytes(document) == programs + c.block) << "saved as it was read";
    }
    // A usable size given again replaces an unusable one.
    Document document;
    ASSERT_TRUE(texlisting::documentFromBytes(programs + "texgen-extras 1\ndesign-size big\nend\n", document));
    texlisting::setDesignSize(document, 1024, 1024);
    EXPECT_TRUE(texlisting::documentBytes(document) == programs + "texgen-extras 1\ndesign-size 1024x1024\nend\n");
}

TEST(Extras, BypassedLinesInListingsAreCheckedLikeRecords) {
    const auto message = [](const std::string& text) -> std::string {
        try {
            texlisting::parseListing(text, "x.listing");
        } catch (const texlisting::ListingError& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(message("// layer 4\n// bypassed: blurLayer(4);\n"),
              "x.listing:2:25: expected a layer index for argument 2 of blurLayer, which takes 2");
    EXPECT_EQ(message("// bypassed: blurLayer(4,4);\n"),
              "x.listing:1:1: expected a layer marker such as \"// layer 0\" before the first bypassed record");
    // Only a comment starting its line is a bypassed record; others stay comments.
    const Document document = texlisting::parseListing("// layer 4\nblurLayer(4,4); // bypassed: blurLayer(4,4);\n", "x");
    EXPECT_TRUE(document.extras.bypassed.empty());
}

}  // namespace
