// Loading and saving documents: the round trip, replay order and every failure.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "test_util.h"

using namespace tex;
namespace fs = std::filesystem;

class DocumentTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("texdoc-" + std::to_string(getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        std::memset(layerPrograms, 0, sizeof layerPrograms);
    }
    void TearDown() override {
        std::free(pixels);
        pixels = nullptr;
        freeLayers();
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(folder);
    }
    std::string path(const std::string& name) const { return (folder / name).string(); }
    void writeBytes(const std::string& name, const void* data, size_t size) const {
        std::ofstream(path(name), std::ios::binary).write(static_cast<const char*>(data), std::streamsize(size));
    }
    void record(int32_t layer, int32_t opcode, std::initializer_list<float> slots) {
        LayerProgram& program = layerPrograms[layer];
        program.opcode[program.count] = opcode;
        std::copy(slots.begin(), slots.end(), program.params[program.count]);
        ++program.count;
    }
    std::string loadError(const std::string& file) {
        try {
            loadTexture(pixels, file, 16, 16, true);
        } catch (const IoError& error) {
            return error.what();
        }
        return "no error";
    }
    fs::path folder;
    uint32_t* pixels = nullptr;
};

TEST_F(DocumentTest, SaveThenLoadRoundTripsEveryByte) {
    auto* bytes = reinterpret_cast<uint8_t*>(layerPrograms);
    for (size_t i = 0; i < sizeof layerPrograms; ++i) bytes[i] = uint8_t(i * 7 + 3);
    for (auto& program : layerPrograms) program.count = 0;
    const std::vector<uint8_t> saved(bytes, bytes + sizeof layerPrograms);
    saveTexture(path("doc.tex"));
    EXPECT_EQ(fs::file_size(path("doc.tex")), 22020u);
    std::memset(layerPrograms, 0, sizeof layerPrograms);
    loadTexture(pixels, path("doc.tex"), 32, 32, true);
    EXPECT_EQ(std::memcmp(saved.data(), layerPrograms, saved.size()), 0);
    EXPECT_EQ(layers[0], nullptr);  // the layers are released after a load
    // Only the document remains in the folder: no temporary file is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST_F(DocumentTest, EmptyDocumentIsBlackAndARedFillIsRed) {
    saveTexture(path("empty.tex"));
    loadTexture(pixels, path("empty.tex"), 8, 4, true);
    for (int i = 0; i < 32; ++i) ASSERT_EQ(pixels[i], 0u);
    record(4, 4, {4, 255, 0, 0});
    saveTexture(path("red.tex"));
    loadTexture(pixels, path("red.tex"), 8, 4, false);
    for (int i = 0; i < 32; ++i) ASSERT_EQ(pixels[i], 16711680u);
}

TEST_F(DocumentTest, ProgramsReplayInLayerOrder) {
    record(0, 4, {4, 255, 0, 0});  // layer 0's program writes layer 4 first...
    record(1, 4, {4, 0, 0, 255});  // ...then layer 1's overwrites it
    record(2, 4, {2, 0, 255, 0});
    saveTexture(path("order.tex"));
    loadTexture(pixels, path("order.tex"), 4, 4, true);
    EXPECT_EQ(pixels[5], 255u);
}

TEST_F(DocumentTest, CountsOutsideTheProgramRunAtMostOneHundredRecords) {
    // 101 records would overflow the program: the first 100 run, the count is kept.
    LayerProgram& program = layerPrograms[4];
    for (int i = 0; i < MAX_OPS; ++i) program.opcode[i] = 4, program.params[i][0] = 4, program.params[i][1] = float(i);
    program.count = 101;
    layerPrograms[3].count = -7;
    layerPrograms[3].opcode[0] = 4;
    saveTexture(path("long.tex"));
    loadTexture(pixels, path("long.tex"), 4, 4, true);
    EXPECT_EQ(pixels[0], 99u << 16);
    EXPECT_EQ(layerPrograms[4].count, 101);
    EXPECT_EQ(layerPrograms[3].count, -7);
    layerPrograms[4].count = 2147483647;
    saveTexture(path("huge.tex"));
    loadTexture(pixels, path("huge.tex"), 4, 4, true);
    EXPECT_EQ(pixels[0], 99u << 16);
}

TEST_F(DocumentTest, LongFilesLoadTheirFirst22020Bytes) {
    record(4, 4, {4, 0, 255, 0});
    std::vector<uint8_t> bytes(reinterpret_cast<uint8_t*>(layerPrograms),
                               reinterpret_cast<uint8_t*>(layerPrograms) + 22020);
    bytes.resize(30000, 0xAB);
    writeBytes("long.tex", bytes.data(), bytes.size());
    std::memset(layerPrograms, 0, sizeof layerPrograms);
    loadTexture(pixels, path("long.tex"), 4, 4, true);
    EXPECT_EQ(pixels[3], 0x00FF00u);
}

TEST_F(DocumentTest, ShortFileFailsAfterStoringWhatItRead) {
    std::vector<uint8_t> bytes(22016, 0);
    bytes[4] = 33;  // layer 0's first opcode
    writeBytes("short.tex", bytes.data(), bytes.size());
    layerPrograms[4].params[99][9] = 42.0f;  // the last slot, beyond the file's end
    EXPECT_EQ(loadError(path("short.tex")), "Read past end of file");

    EXPECT_EQ(layerPrograms[0].opcode[0], 33);
    EXPECT_EQ(layerPrograms[4].params[99][9], 42.0f);
    EXPECT_NE(layers[0], nullptr);  // nothing is released on failure
    EXPECT_NE(pixels, nullptr);
    bytes.resize(22019);
    writeBytes("short1.tex", bytes.data(), bytes.size());
    EXPECT_EQ(loadError(path("short1.tex")), "Read past end of file");
    writeBytes("empty.tex", "", 0);
    EXPECT_EQ(loadError(path("empty.tex")), "Read past end of file");
}

TEST_F(DocumentTest, OpenFailuresHaveTheirMessages) {
    EXPECT_EQ(loadError(path("missing.tex")), "File not found");
    EXPECT_EQ(loadError(path("no-such-folder/doc.tex")), "Invalid filename");
    writeBytes("plain", "x", 1);
    EXPECT_EQ(loadError(path("plain/doc.tex")), "Invalid filename");
    EXPECT_EQ(loadError(folder.string()), "Access denied");
    saveTexture(path("locked.tex"));
    fs::permissions(path("locked.tex"), fs::perms::none);
    if (geteuid() != 0) {  // root reads any file
        EXPECT_EQ(loadError(path("locked.tex")), "Access denied");
    }
}

TEST_F(DocumentTest, ReadOnlyDocumentsLoad) {
    record(4, 4, {4, 1, 2, 3});
    saveTexture(path("ro.tex"));
    fs::permissions(path("ro.tex"), fs::perms::owner_read);
    EXPECT_EQ(loadError(path("ro.tex")), "no error");
    EXPECT_EQ(pixels[0], 0x010203u);
}

TEST_F(DocumentTest, SaveFailuresNameTheFileAndLeaveNothingBehind) {
    try {
        saveTexture(path("missing/doc.tex"));
        FAIL() << "saving into a missing folder succeeded";
    } catch (const IoError& error) {
        EXPECT_NE(std::string(error.what()).find("missing/doc.tex"), std::string::npos) << error.what();
    }
    // Replacing an existing document keeps it whole.
    writeBytes("old.tex", "old", 3);
    saveTexture(path("old.tex"));
    EXPECT_EQ(fs::file_size(path("old.tex")), 22020u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}
