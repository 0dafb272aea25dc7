// Texture documents as text: the listing reader and its errors, the round
// trip through the exporter's lines, the C++ form, and document files.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <locale>
#include <random>

#include "engine/numeric/ext.h"
#include "test_util.h"
#include "tools/listing.h"

using namespace tex;
using texlisting::Document;
using texlisting::ListingError;
using texlisting::parseListing;
namespace fs = std::filesystem;

namespace {

float bitsToFloat(uint32_t bits) {
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
uint32_t floatBits(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// The extent the dispatcher passes mandelBrot for a start and a corner.
float extent(float start, float corner) { return static_cast<float>(tex::ext(corner) - start); }

// The record of a one-line listing in layer 0.
const float* onlyRecord(const Document& document) {
    EXPECT_EQ(document.programs[0].count, 1);
    return document.programs[0].params[0];
}
Document parseLine(const std::string& line) { return parseListing("// layer 0\n" + line + "\n", "t.listing"); }

// A random value of the kind a slot holds: integers held exactly by a float32
// (int32 limits included), reals from random bit patterns and chosen specials,
// booleans 0 or 1.
float randomSlot(char kind, std::mt19937& random) {
    if (kind == SLOT_BOOLEAN) return float(random() % 2);
    if (kind == SLOT_LAYER) return float(random() % 5);
    if (kind == SLOT_INTEGER) {
        switch (random() % 4) {
            case 0: return float(int32_t(random() % 512) - 256);
            case 1: return float(int32_t(random()) >> (random() % 31));
            case 2: return float(int32_t(random()) & ~0xff);  // needs 24 bits at most
            default: return random() % 2 ? -2147483648.0f : 2147483520.0f;
        }
    }
    static const float specials[] = {0.0f, 1.0f, -1.0f, 16.0f, 0.00001f, 1e-45f, 3.4028235e38f, -3.4028235e38f,
                                     INFINITY, -INFINITY, 999999986991104.0f, -1e14f, 0.1f};
    if (random() % 8 == 0) return specials[random() % (sizeof specials / sizeof specials[0])];
    for (;;) {
        const float v = bitsToFloat(uint32_t(random()));
        // NaN, and negatives so small that 17 decimals cannot hold them, do not come back exactly.
        if (!std::isnan(v) && !(v < 0 && v > -0x1p-33f)) return v;
    }
}

struct TempFolder {
    TempFolder() {
        path = fs::temp_directory_path() /
               ("texlisting-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempFolder() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
    fs::path path;
};

}  // namespace

TEST(ListingRoundTrip, ExportThenBuildReproducesRandomRecordsOfEveryOpcode) {
    std::mt19937 random(8);
    for (int trial = 0; trial < 40; ++trial) {
        Document document{};
        for (int layer = 0; layer < LAYER_COUNT; ++layer) {
            LayerProgram& program = document.programs[layer];
            program.count = int32_t(random() % 30);
            for (int i = 0; i < program.count; ++i) {
                const OperationInfo& row = operationTable()[random() % uint32_t(operationCount())];
                program.opcode[i] = row.opcode;
                for (size_t k = 0; row.slots[k]; ++k) program.params[i][k] = randomSlot(row.slots[k], random);
                // mandelBrot corners whose differences are exact come back exactly.
                if (row.opcode == MANDELBROT_OPCODE)
                    for (int k = 1; k <= 4; ++k) program.params[i][k] = float(int32_t(random() % 4096) - 2048) / 256;
            }
        }
        const Document parsed = parseListing(texlisting::formatListing(document), "random.listing");
        for (int layer = 0; layer < LAYER_COUNT; ++layer) {
            const LayerProgram &a = document.programs[layer], &b = parsed.programs[layer];
            ASSERT_EQ(a.count, b.count);
            for (int i = 0; i < a.count; ++i) {
                ASSERT_EQ(a.opcode[i], b.opcode[i]);
                for (int k = 0; k < 10; ++k)
                    ASSERT_EQ(floatBits(a.params[i][k]), floatBits(b.params[i][k]))
                        << exportSource(a.opcode[i], a.params[i]) << " slot " << k;
            }
        }
    }
}

// Every float32 the exporter writes reads back bit for bit through the reader
// (which rounds its unsuffixed literals via double, as C++ does), except the
// tiny negatives the format cannot hold.
TEST(ListingRoundTrip, ExportedRealsReadBackBitForBit) {
    std::mt19937 random(3);
    for (int i = 0; i < 200000; ++i) {
        const float v = bitsToFloat(uint32_t(random()));
        if (std::isnan(v) || (v < 0 && v > -0x1p-33f)) continue;
        const float slots[10] = {2, v};
        const Document parsed = parseLine(exportSource(3, slots));
        ASSERT_EQ(floatBits(onlyRecord(parsed)[1]), floatBits(v)) << exportSource(3, slots);
    }
}

// Corners of every magnitude: the dispatcher always gets the same extents
// back, and a corner comes back whenever it is the only float32 that gives its
// extent (always so when the difference is exact).
TEST(ListingRoundTrip, MandelBrotCornersGiveTheSameExtents) {
    std::mt19937 random(77);
    const auto unique = [](float start, float corner) {
        const float e = extent(start, corner);
        return floatBits(extent(start, std::nextafter(corner, -INFINITY))) != floatBits(e) &&
               floatBits(extent(start, std::nextafter(corner, INFINITY))) != floatBits(e);
    };
    int uniqueCorners = 0;
    for (int trial = 0; trial < 20000; ++trial) {
        float slots[10] = {float(random() % 5)};
        for (int k = 1; k <= 4; ++k) {
            const float mantissa = float(int32_t(random() % 2000001) - 1000000) / 1000000;
            // Short binary fractions like -1.5 as a hand-made region has them, or any float.
            slots[k] = trial % 2 ? float(int32_t(random() % 4096) - 2048) / 256
                                 : std::ldexp(mantissa, int(random() % 40) - 20);
        }
        const Document parsed = parseLine(exportSource(MANDELBROT_OPCODE, slots));
        const float* back = onlyRecord(parsed);
        ASSERT_EQ(floatBits(extent(back[1], back[3])), floatBits(extent(slots[1], slots[3])));
        ASSERT_EQ(floatBits(extent(back[2], back[4])), floatBits(extent(slots[2], slots[4])));
        ASSERT_EQ(back[0], slots[0]);
        ASSERT_EQ(back[1], slots[1]);
        ASSERT_EQ(back[2], slots[2]);
        for (int k = 3; k <= 4; ++k)
            if (unique(slots[k - 2], slots[k])) {
                ++uniqueCorners;
                ASSERT_EQ(back[k], slots[k]) << exportSource(MANDELBROT_OPCODE, slots);
            }
    }
    EXPECT_GT(uniqueCorners, 10000);
    // Infinite and overflowing extents still find corners.
    const float specials[][2] = {{INFINITY, 5}, {5, -INFINITY}, {-3.4028235e38f, 3.4028235e38f}, {NAN, 1}, {1, NAN}};
    for (const auto& corners : specials) {
        const float slots[10] = {0, corners[0], corners[0], corners[1], corners[1]};
        const Document parsed = parseLine(exportSource(MANDELBROT_OPCODE, slots));
        const float* back = onlyRecord(parsed);
        EXPECT_EQ(floatBits(extent(back[1], back[3])), floatBits(extent(slots[1], slots[3])))
            << exportSource(MANDELBROT_OPCODE, slots);
    }
}

// What the exporter's lines cannot carry: listed here so that a change is deliberate.
TEST(ListingRoundTrip, DocumentedLosses) {
    // Unused slots and records beyond the count are not in the listing.
    Document document{};
    document.programs[1].count = 2;
    document.programs[1].opcode[0] = 33;
    std::fill(document.programs[1].params[0], document.programs[1].params[0] + 10, 7.0f);
    document.programs[1].opcode[1] = 9;  // unassigned: its line is one space, read back as nothing
    document.programs[1].opcode[2] = 34;
    const std::string text = texlisting::formatListing(document);
    EXPECT_EQ(text, "// layer 0\n// layer 1\nblurLayer(7,7);\n \n// layer 2\n// layer 3\n// layer 4\n");
    const Document parsed = parseListing(text, "loss.listing");
    EXPECT_EQ(parsed.programs[1].count, 1);
    EXPECT_EQ(parsed.programs[1].params[0][2], 0.0f);
    EXPECT_EQ(parsed.programs[1].opcode[2], 0);

    const struct {
        float slot, back;
    } reals[] = {
        {-1e-20f, -0.0f},            // prints as -0
        {std::nextafter(-1e-15f, 0.0f), -1e-15f},  // "-0.000000000000001" names a neighbour
        {-0.0f, 0.0f},               // prints as 0
    };
    for (const auto& c : reals) {
        const float slots[10] = {2, c.slot};
        EXPECT_EQ(floatBits(onlyRecord(parseLine(exportSource(3, slots)))[1]), floatBits(c.back)) << c.slot;
    }
    const float nan[10] = {2, -NAN};
    EXPECT_TRUE(std::isnan(onlyRecord(parseLine(exportSource(3, nan)))[1]));
    // Booleans other than 1.0 come back as 0; integer slots hold what the dispatcher passes.
    const float odd[10] = {0, 2.7f, 1e10f, 3, 2.0f};
    const Document parsedOdd = parseLine(exportSource(0, odd));
    const float* back = onlyRecord(parsedOdd);
    EXPECT_EQ(back[1], 2.0f);
    EXPECT_EQ(back[2], 2147483648.0f);
    EXPECT_EQ(back[4], 0.0f);
}

TEST(ListingReader, AcceptsCommentsBlanksAndCppLiterals) {
    const std::string text =
        "/* a texture\n"
        "   // layer 3 inside a block comment is no marker */\n"
        "\r\n"
        "// layers below are made by hand\n"
        "  // layer 1 (the plasma)\r\n"
        "sinePlasma( 1 , 1.5f , -2e-3, .5 ); // trailing comment\n"
        "sinePlasma(1,7.E-6,INFINITY,-INFINITY);sinePlasma(1,NAN,+3,0x1p0f);\n";
    // 0x1p0f is not a decimal literal: it must be refused, not misread.
    EXPECT_THROW(parseListing(text, "hand.listing"), ListingError);
    const Document document = parseListing(text.substr(0, text.rfind("sinePlasma(1,NAN")) + "\n", "hand.listing");
    EXPECT_EQ(document.programs[0].count, 0);
    ASSERT_EQ(document.programs[1].count, 2);
    const float* p = document.programs[1].params[0];
    EXPECT_EQ(p[0], 1.0f);
    EXPECT_EQ(p[1], 1.5f);
    EXPECT_EQ(p[2], -2e-3f);
    EXPECT_EQ(p[3], 0.5f);
    p = document.programs[1].params[1];
    EXPECT_EQ(p[1], 7e-6f);
    EXPECT_EQ(p[2], INFINITY);
    EXPECT_EQ(p[3], -INFINITY);
    EXPECT_EQ(document.programs[1].opcode[1], 1);
}

// A real without suffix is a double literal: C++ rounds it to double, then to
// float. Just above the midpoint between 1 and the next float the two routes
// part, and the listing must follow the compiler.
TEST(ListingReader, RealLiteralsRoundAsTheCompilerRoundsThem) {
    const struct {
        const char* text;
        float compiled;
    } cases[] = {
        {"1.00000005960464477540", float(1.00000005960464477540)},
        {"1.00000005960464477540f", 1.00000005960464477540f},
        {"16777217", float(16777217)},
        {"0.1", float(0.1)},
        {"1e-45f", 1e-45f},
        {"1.40129846432482E-45", float(1.40129846432482E-45)},
        {"3.40282356e38", 3.4028235e38f},  // above FLT_MAX, still rounds down to it
    };
    EXPECT_NE(float(1.00000005960464477540), 1.00000005960464477540f);
    struct CommaDecimal : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
    };
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    EXPECT_EQ(onlyRecord(parseLine("particle(0,0.5);"))[1], 0.5f);
    std::locale::global(previous);
    for (const auto& c : cases)
        EXPECT_EQ(floatBits(onlyRecord(parseLine(std::string("particle(0,") + c.text + ");"))[1]),
                  floatBits(c.compiled))
            << c.text;
}

TEST(ListingReader, ErrorsNameFileLineColumnAndWhatWasExpected) {
    std::string full = "// layer 0\n";
    for (int i = 0; i <= MAX_OPS; ++i) full += "blurLayer(0,0);\n";
    const struct {
        std::string text;
        int line, column;
        const char* expected;
    } cases[] = {
        {"blurLayer(0,0);", 1, 1, "a layer marker"},
        {"// layer 0\nblurLayr(0,0);", 2, 1, "an operation name (\"blurLayr\" is not one)"},
        {"// layer 0\n  blurLayer(0);", 2, 14, "a layer index for argument 2 of blurLayer, which takes 2"},
        {"// layer 0\nblurLayer(0,1,2);", 2, 15, "\")\" after the 2 arguments of blurLayer"},
        {"// layer 0\nblurLayer(0,1)\n", 3, 1, "\";\" after the call of blurLayer"},
        {"// layer 0\nblurLayer 0,1);", 2, 11, "\"(\" after blurLayer"},
        {"// layer 0\nblurLayer(0 1);", 2, 13, "\",\" or \")\" after argument 1 of blurLayer"},
        {"// layer 0\nblurLayer(0,1.5);", 2, 13, "a layer index for argument 2 of blurLayer"},
        {"// layer 0\nmotionBlur(0,0,007);", 2, 16, "an integer for argument 3 of motionBlur without leading zeros"},
        {"// layer 0\nmotionBlur(0,0,2147483648);", 2, 16, "within -2147483648..2147483647"},
        {"// layer 0\nmotionBlur(0,0,16777217);", 2, 16, "that a float32 slot holds exactly"},
        {"// layer 0\nsubPlasma(0,1,2,3,1);", 2, 19, "true or false for argument 5 of subPlasma"},
        {"// layer 0\nparticle(0,1.5x);", 2, 12, "a real number for argument 2 of particle"},
        {"// layer 0\nparticle(0,1e);", 2, 12, "digits after the exponent"},
        {"// layer 0\nparticle(0,16f);", 2, 12, "a real number"},
        {"// layer 0\nparticle(0,1e39);", 2, 12, "within the float32 range"},
        {"// layer 0\nparticle(0,1e39f);", 2, 12, "within the float32 range"},
        {"// layer 0\nparticle(0,-);", 2, 13, "a real number for argument 2"},
        {"// layer 0\nmandelBrot(0,-2,3,-1.5,3,15);", 2, 26, "16, the escape limit"},
        {"// layer 0\nmandelBrot(0,1e30,1,0,1,16);", 2, 19, "a width that float32 corners can hold"},
        {"// layer 5\n", 1, 10, "a layer number 0 to 4"},
        {"// layer\n", 1, 9, "a layer number 0 to 4"},
        {"// layer 2\n// layer 1\n", 2, 1, "layer 3 or above"},
        {"// layer 0\n/* open", 2, 1, "\"*/\" closing the comment"},
        {full, MAX_OPS + 2, 1, "at most 100 operations in layer 0's program"},
    };
    for (const auto& c : cases) {
        try {
            parseListing(c.text, "bad.listing");
            ADD_FAILURE() << "no error for " << c.text;
        } catch (const ListingError& error) {
            EXPECT_EQ(error.file, "bad.listing");
            EXPECT_EQ(error.line, c.line) << c.text << ": " << error.what();
            EXPECT_EQ(error.column, c.column) << c.text << ": " << error.what();
            EXPECT_NE(error.message.find(c.expected), std::string::npos) << error.what();
            EXPECT_EQ(std::string(error.what()), "bad.listing:" + std::to_string(c.line) + ":" +
                                                     std::to_string(c.column) + ": " + error.message);
            EXPECT_EQ(error.message.rfind("expected ", 0), 0u) << error.what();
        }
    }
}

TEST(ListingFormat, ClampsCountsAndMarksEveryLayer) {
    Document document{};
    document.programs[0].count = -3;
    document.programs[2].count = 1000;
    for (int i = 0; i < MAX_OPS; ++i) document.programs[2].opcode[i] = 43;
    const std::string text = texlisting::formatListing(document);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5 + MAX_OPS);
    EXPECT_EQ(text.rfind("// layer 0\n// layer 1\n// layer 2\ntileLayer(0,0);\n", 0), 0u);
    EXPECT_EQ(parseListing(text, "clamped.listing").programs[2].count, MAX_OPS);
}

// The C++ form, compiled: the generated function is built against a stand-in
// for engine/engine.h whose operations print the arguments they receive, so
// the compiler itself shows that every literal denotes the recorded value.
TEST(CppSource, CompiledCallsReceiveTheRecordedValues) {
    if (std::system("c++ --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no c++ compiler on the PATH";
    std::mt19937 random(99);
    Document document{};
    std::string expected;
    const auto show = [&expected](char kind, float v) {
        char text[32];
        if (kind == SLOT_REAL)
            std::snprintf(text, sizeof text, " f%08x", unsigned(floatBits(v)));
        else if (kind == SLOT_BOOLEAN)
            std::snprintf(text, sizeof text, " b%d", int(slotBoolean(v)));
        else
            std::snprintf(text, sizeof text, " i%d", int(slotInteger(v)));
        expected += text;
    };
    for (int layer = 0; layer < LAYER_COUNT; ++layer) {
        LayerProgram& program = document.programs[layer];
        program.count = 20;
        for (int i = 0; i < program.count; ++i) {
            const OperationInfo& row = operationTable()[random() % uint32_t(operationCount())];
            float* p = program.params[i];
            program.opcode[i] = row.opcode;
            expected += std::to_string(row.opcode);
            for (size_t k = 0; row.slots[k]; ++k) {
                p[k] = random() % 16 ? randomSlot(row.slots[k], random) : bitsToFloat(uint32_t(random()));
                if (row.opcode != MANDELBROT_OPCODE) show(row.slots[k], p[k]);
            }
            if (row.opcode == MANDELBROT_OPCODE) {
                show(SLOT_INTEGER, p[0]);
                show(SLOT_REAL, p[1]);
                show(SLOT_REAL, extent(p[1], p[3]));
                show(SLOT_REAL, p[2]);
                show(SLOT_REAL, extent(p[2], p[4]));
                show(SLOT_REAL, 16.0f);
            }
            expected += "\n";
        }
    }
    // NaN comes out as whatever NaN the library makes: compare it as such.
    const auto canonical = [](std::string text) {
        for (size_t at = 0; (at = text.find(" f7fc00000", at)) != std::string::npos;) text.replace(at, 10, " fNAN");
        for (size_t at = 0; (at = text.find(" fffc00000", at)) != std::string::npos;) text.replace(at, 10, " fNAN");
        return text;
    };

    TempFolder folder;
    fs::create_directories(folder.path / "engine");
    std::string stub =
        "#pragma once\n#include <cstdint>\n#include <cstdio>\n#include <cstring>\nnamespace tex {\n"
        "inline void show(float v) { uint32_t b; std::memcpy(&b, &v, 4); std::printf(\" f%08x\", unsigned(b)); }\n"
        "inline void show(int32_t v) { std::printf(\" i%d\", int(v)); }\n"
        "inline void show(bool v) { std::printf(\" b%d\", int(v)); }\n";
    for (int32_t r = 0; r < operationCount(); ++r) {
        const OperationInfo& row = operationTable()[r];
        const std::string kinds = std::string(row.slots) + (row.opcode == MANDELBROT_OPCODE ? "f" : "");
        std::string parameters, body = "std::printf(\"" + std::to_string(row.opcode) + "\");";
        for (size_t k = 0; k < kinds.size(); ++k) {
            const char* type = kinds[k] == SLOT_REAL ? "float" : kinds[k] == SLOT_BOOLEAN ? "bool" : "int32_t";
            parameters += std::string(k ? ", " : "") + type + " a" + std::to_string(k);
            body += " show(a" + std::to_string(k) + ");";
        }
        stub += "inline void " + std::string(row.name) + "(" + parameters + ") { " + body + " std::printf(\"\\n\"); }\n";
    }
    std::ofstream(folder / "engine/engine.h") << stub << "}\n";
    std::ofstream(folder / "texture.cpp") << texlisting::formatCppSource(document, "buildTexture")
                                          << "int main() { buildTexture(); }\n";
    const std::string program = folder / "texture";
    ASSERT_EQ(std::system(("c++ -std=c++17 -I" + folder.path.string() + " -o " + program + " " +
                           (folder / "texture.cpp") + " 2> " + (folder / "errors.txt"))
                              .c_str()),
              0)
        << std::ifstream(folder / "errors.txt").rdbuf();
    std::string printed;
    if (std::FILE* output = popen(program.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, output)) > 0;) printed.append(buffer, n);
        pclose(output);
    }
    EXPECT_EQ(canonical(printed), canonical(expected));
    EXPECT_THROW(texlisting::formatCppSource(document, "9lives"), std::invalid_argument);
    EXPECT_THROW(texlisting::formatCppSource(document, "a b"), std::invalid_argument);
}

TEST(DocumentFile, WriteThenReadKeepsEveryByteAndFailuresNameFileAndCause) {
    TempFolder folder;
    Document document;
    auto* bytes = reinterpret_cast<uint8_t*>(document.programs);
    for (size_t i = 0; i < sizeof document.programs; ++i) bytes[i] = uint8_t(i * 13 + 5);
    const std::string path = folder / "doc.tex";
    texlisting::writeDocument(document, path);
    EXPECT_EQ(fs::file_size(path), size_t(DOCUMENT_SIZE));
    const Document back = texlisting::readDocument(path);
    EXPECT_EQ(std::memcmp(back.programs, document.programs, sizeof document.programs), 0);
    // Overwriting leaves no temporary behind.
    texlisting::writeDocument(Document{}, path);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 1);

    const auto error = [](auto action) -> std::string {
        try {
            action();
        } catch (const IoError& e) {
            return e.what();
        }
        return "no error";
    };
    const std::string missing = folder / "missing.tex", shortFile = folder / "short.tex";
    const std::string nowhere = folder / "no/such/folder/doc.tex";
    std::ofstream(shortFile) << std::string(size_t(DOCUMENT_SIZE) - 1, 'x');
    EXPECT_EQ(error([&] { texlisting::readDocument(missing); }), "Cannot read " + missing + ": No such file or directory");
    EXPECT_EQ(error([&] { texlisting::readDocument(shortFile); }),
              "Cannot read " + shortFile + ": it holds 22019 bytes, but a texture document is exactly 22020 bytes");
    // Bytes after the programs that are no extras block are kept, with a warning, and change nothing else.
    std::ofstream(path, std::ios::app) << "tail";
    const Document tailed = texlisting::readDocument(path);
    EXPECT_EQ(tailed.extras.trailing, "tail");
    ASSERT_EQ(tailed.extras.warnings.size(), 1u);
    EXPECT_EQ(tailed.extras.warnings[0], "The 4 bytes after the programs are not an extras block; it is kept as it is "
                                         "but not used, so the design size is 256x256.");
    texlisting::writeDocument(tailed, path);
    EXPECT_EQ(fs::file_size(path), size_t(DOCUMENT_SIZE) + 4);
    EXPECT_EQ(error([&] { texlisting::readDocument(folder.path.string()); }),
              "Cannot read " + folder.path.string() + ": Is a directory");
    EXPECT_EQ(error([&] { texlisting::writeDocument(Document{}, nowhere); }),
              "Cannot write " + nowhere + ": No such file or directory");
    EXPECT_EQ(error([&] { texlisting::writeDocument(Document{}, ""); }), "Cannot write a document without a file name");
}
