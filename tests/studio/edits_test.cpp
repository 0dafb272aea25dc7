// The session's record edits an artist uses beside the basic ones: bypass,
// clear, paste, deleting a run of records, several arguments at once, new
// documents and portable names; renders that stop after a record or skip
// bypassed ones equal plain replays of the programs that mean the same.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "tools/studio/folder_storage.h"
#include "tools/studio/render_cache.h"
#include "tools/studio/session.h"

namespace {

namespace fs = std::filesystem;
using studio::Document;
using studio::EditError;
using studio::Session;

const std::string SHIPPED = std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex";

struct TempFolder {
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "texstudio-edits-XXXXXX").string();
        path = mkdtemp(pattern.data());
        fs::copy_file(SHIPPED, path + "/Testin3.tex");
        storage = std::make_unique<studio::FolderStorage>(path);
    }
    ~TempFolder() {
        storage.reset();
        fs::remove_all(path);
    }
    std::string path;
    std::unique_ptr<studio::FolderStorage> storage;
};

std::string bytesOf(const Document& document) { return texlisting::documentBytes(document); }

// Which of a layer's records, as the author sees them, are bypassed.
std::vector<bool> bypassed(const Document& document, int layer) {
    std::vector<bool> flags;
    for (const texlisting::AuthorRecord& record : texlisting::authorProgram(document, layer))
        flags.push_back(record.bypassed);
    return flags;
}
std::vector<bool> bypassed(const Session& session, int layer) { return bypassed(session.document(), layer); }

TEST(StudioEdits, BypassClearPasteAndRunsAreUndoableAndKeepFlagsWithTheirRecords) {
    TempFolder folder;
    Session session(*folder.storage, "Testin3.tex");
    const Document original = session.document();

    // A bypassed record keeps its place and arguments but leaves the replayed
    // program; the flag moves with it.
    session.setBypass(session.revision(), 2, 1, true);
    EXPECT_EQ(bypassed(session, 2), (std::vector<bool>{false, true, false, false, false, false}));
    EXPECT_EQ(session.document().programs[2].count, 5);
    EXPECT_EQ(session.document().programs[2].opcode[1], original.programs[2].opcode[2]);
    EXPECT_TRUE(session.dirty());
    session.moveRecord(session.revision(), 2, 1, 3);
    EXPECT_EQ(bypassed(session, 2), (std::vector<bool>{false, false, false, true, false, false}));
    session.deleteRecord(session.revision(), 2, 0);
    EXPECT_EQ(bypassed(session, 2), (std::vector<bool>{false, false, true, false, false}));
    // Saved and opened again, a document keeps its bypassed records; without
    // them it is saved exactly as before.
    session.save("bypassed.tex", false);
    EXPECT_EQ(bypassed(texlisting::readDocumentOrListing(folder.path + "/bypassed.tex"), 2), bypassed(session, 2));
    session.undo(session.revision());
    session.undo(session.revision());
    session.undo(session.revision());
    EXPECT_EQ(bypassed(session, 2), std::vector<bool>(6, false));
    EXPECT_EQ(bytesOf(session.document()), bytesOf(original));

    // Clearing a layer is one step; entries become zero as a listing builds them.
    session.clearLayer(session.revision(), 4);
    EXPECT_EQ(session.document().programs[4].count, 0);
    EXPECT_EQ(session.document().programs[4].opcode[0], 0);
    session.undo(session.revision());
    EXPECT_EQ(bytesOf(session.document()), bytesOf(original));

    // Pasting listing lines, with or without markers, inserts them in order.
    session.pasteRecords(session.revision(), 1, 1, "  blurLayer(1,1);\n// a note\ninvertLayer(1,1);\n");
    const tex::LayerProgram& layer1 = session.document().programs[1];
    ASSERT_EQ(layer1.count, original.programs[1].count + 2);
    EXPECT_EQ(layer1.opcode[0], original.programs[1].opcode[0]);
    EXPECT_EQ(layer1.opcode[1], 33);
    EXPECT_EQ(layer1.opcode[2], 30);
    EXPECT_EQ(layer1.opcode[3], original.programs[1].opcode[1]);
    session.pasteRecords(session.revision(), 0, 0, "// layer 2\nblurLayer(2,2);\n// layer 3\nsharpenLayer(3,3);\n");
    EXPECT_EQ(session.document().programs[0].opcode[0], 33);
    EXPECT_EQ(session.document().programs[0].opcode[1], 34);
    // A run of records goes in one step.
    const int64_t before = session.revision();
    session.deleteRecords(session.revision(), 1, 1, 2);
    EXPECT_EQ(session.revision(), before + 1);
    EXPECT_EQ(std::memcmp(&session.document().programs[1], &original.programs[1], sizeof original.programs[1]), 0);
    // Pasted bypassed lines stay bypassed.
    session.pasteRecords(session.revision(), 3, 0, "// bypassed: blurLayer(3,3);\ninvertLayer(3,3);\n");
    EXPECT_EQ(bypassed(session, 3), (std::vector<bool>{true, false, false, false, false, false, false}));
    session.undo(session.revision());

    // Refusals change nothing.
    const std::string now = bytesOf(session.document());
    for (const char* bad : {"", "// just a note\n", "blurLayer(1);", "noSuchOperation(1,1);"})
        EXPECT_THROW(session.pasteRecords(session.revision(), 1, 0, bad), EditError) << bad;
    try {
        session.pasteRecords(session.revision(), 1, 0, "blurLayer(1,1);\nblurLayer(1 1);");
        ADD_FAILURE();
    } catch (const EditError& error) {
        EXPECT_NE(std::string(error.what()).find("line 2"), std::string::npos) << error.what();
    }
    std::string many;
    for (int i = 0; i < 99; ++i) many += "blurLayer(1,1);\n";
    EXPECT_THROW(session.pasteRecords(session.revision(), 1, 0, many), EditError);
    EXPECT_THROW(session.deleteRecords(session.revision(), 1, 1, 50), EditError);
    EXPECT_EQ(bytesOf(session.document()), now);

    // Several arguments of one record are one step.
    const int64_t colour = session.revision();
    session.setArguments(session.revision(), 4, 0, {{0, "4"}, {1, "12"}, {2, "200"}});
    EXPECT_EQ(session.revision(), colour + 1);
    EXPECT_THROW(session.setArguments(session.revision(), 4, 0, {{1, "5"}, {2, "abc"}}), EditError);
}

TEST(StudioEdits, NewDocumentsTakeAnUnusedNameAndSavedNamesArePortable) {
    TempFolder folder;
    Session session(*folder.storage, "Testin3.tex");
    session.newDocument();
    EXPECT_EQ(session.name(), "untitled.tex");
    EXPECT_FALSE(session.dirty());
    EXPECT_EQ(session.document().programs[4].count, 0);
    session.save("", false);
    Document example{};
    example.programs[4].count = 1;
    example.programs[4].opcode[0] = 4;
    session.newDocument(example);
    EXPECT_EQ(session.name(), "untitled-2.tex");
    EXPECT_TRUE(session.dirty()) << "an example's copy is not saved yet";
    EXPECT_FALSE(session.canUndo());

    for (const char* bad : {"a<b.tex", "a:b.tex", "a\"b", "what?.tex", "star*.tex", "pipe|.tex", "tab\t.tex", "dot.",
                            "space ", "CON", "con.tex", "Lpt1.listing", "COM9.tex", "nul"})
        EXPECT_THROW(studio::checkPortableName(bad), EditError) << bad;
    for (const char* good : {"wood planks.tex", "CONSOLE.tex", "com10.tex", "marble-2.listing", "été.tex"})
        EXPECT_NO_THROW(studio::checkPortableName(good)) << good;
    EXPECT_THROW(session.save("CON.tex", false), EditError);
    EXPECT_FALSE(fs::exists(folder.path + "/CON.tex"));
}

std::vector<tex::Pixel> layerPixels(int layer) {
    return std::vector<tex::Pixel>(tex::layers[layer], tex::layers[layer] + size_t(tex::layerWidth) * tex::layerHeight);
}

// The programs that replay as `document` with `bypass` stopped after record
// `record` of `layer`: later programs empty, bypassed records left out.
Document reference(const Document& document, const studio::Skipped& bypass, int layer, int record) {
    Document out{};
    for (int l = 0; l < tex::LAYER_COUNT && (layer < 0 || l <= layer); ++l) {
        const int count = texlisting::countedRecords(document.programs[l]);
        const int end = l == layer ? record + 1 : count;
        for (int i = 0; i < end; ++i) {
            if (bypass[l][i]) continue;
            tex::LayerProgram& program = out.programs[l];
            program.opcode[program.count] = document.programs[l].opcode[i];
            std::memcpy(program.params[program.count], document.programs[l].params[i], sizeof program.params[0]);
            ++program.count;
        }
    }
    return out;
}

TEST(StudioRenderCache, StopsAfterARecordAndSkipsBypassedRecordsExactly) {
    TempFolder folder;
    Session session(*folder.storage, "Testin3.tex");
    studio::RenderCache cache, scratch;
    studio::Skipped skipped{};
    std::mt19937 random(11);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const int layer = int(random() % 5);
        const int count = session.document().programs[layer].count;
        const int index = count ? int(random() % uint32_t(count)) : 0;
        switch (random() % 4) {
            case 0:
                if (count) skipped[layer][index] = !skipped[layer][index];
                break;
            case 1:
                if (count) session.setArgument(session.revision(), layer, index, 0, std::to_string(random() % 5));
                break;
            default: break;  // only the view moves
        }
        studio::Replay replay;
        replay.skip = &skipped;
        const bool stop = random() % 3 != 0;
        const int stopLayer = int(random() % 5);
        const int stopCount = session.document().programs[stopLayer].count;
        const int stopRecord = stop ? int(random() % uint32_t(stopCount + 1)) - 1 : -1;
        if (stop) {
            replay.stopLayer = stopLayer;
            replay.stopRecord = stopRecord;
        } else {
            replay.focusLayer = layer;
        }
        ASSERT_TRUE(cache.render(session.document(), 64, 64, {}, replay));
        const int shown = stop ? stopLayer : 4;
        const std::vector<tex::Pixel> got = layerPixels(shown);
        scratch.clear();
        ASSERT_TRUE(scratch.render(reference(session.document(), skipped, stop ? stopLayer : -1, stopRecord), 64, 64));
        const std::vector<tex::Pixel> expected = layerPixels(shown);
        ASSERT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(tex::Pixel)), 0) << "stop " << stop << " at " << stopLayer << ":" << stopRecord;
    }
    tex::freeLayers();
}

}  // namespace

namespace {

TEST(StudioArguments, ARecordAGeneratorOverwritesBeforeAnythingReadsItIsMarked) {
    TempFolder folder;
    Session session(*folder.storage, "Testin3.tex");
    session.clearLayer(session.revision(), 2);
    session.pasteRecords(session.revision(), 2, 0,
                         "colorLayer(2,9,9,9);\nblurLayer(3,3);\nperlinNoise(2,64,5,256,121,4,true);\nblurLayer(2,2);\n");
    const auto program = [&] { return texlisting::authorProgram(session.document(), 2); };
    EXPECT_EQ(studio::replacedReason(program(), 0), "No effect: record 2, perlinNoise, overwrites layer 2 before anything reads it.");
    for (int i = 1; i < 4; ++i) EXPECT_EQ(studio::replacedReason(program(), i), "") << i;
    session.setBypass(session.revision(), 2, 2, true);  // a bypassed generator replaces nothing
    EXPECT_EQ(studio::replacedReason(program(), 0), "");
    session.setBypass(session.revision(), 2, 2, false);
    session.setArgument(session.revision(), 2, 1, 0, "2");  // blurLayer(2,3) reads layer 2 first
    EXPECT_EQ(studio::replacedReason(program(), 0), "");
}

}  // namespace
