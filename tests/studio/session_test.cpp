// The studio's document session in process: edits keep every byte they do not
// touch, undo and redo restore whole documents, a drag is one step, stale
// revisions are refused, the recovery file follows every change, names
// cannot leave the working folder, and incremental renders equal renders
// from scratch.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include <sys/stat.h>

#include "tools/studio/folder_storage.h"
#include "tools/studio/link.h"
#include "tools/studio/memory_storage.h"
#include "tools/studio/render_cache.h"
#include "tools/studio/session.h"

namespace {

namespace fs = std::filesystem;
using studio::Document;
using studio::EditError;
using studio::Session;

struct Folder {
    Folder() {
        std::string pattern = (fs::temp_directory_path() / "texstudio-XXXXXX").string();
        path = mkdtemp(pattern.data());
        storage = std::make_unique<studio::FolderStorage>(path);
    }
    ~Folder() {
        storage.reset();
        fs::remove_all(path);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string path;
    std::unique_ptr<studio::FolderStorage> storage;
};

const std::string SHIPPED = std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex";

std::string bytesOf(const Document& document) {
    return texlisting::documentBytes(document);
}

// Testin3 with garbage beyond layer 1's count: edits elsewhere must keep it.
Session shippedSession(const Folder& folder) {
    Document document = texlisting::readDocument(SHIPPED);
    document.programs[1].opcode[50] = 77;
    document.programs[1].params[50][3] = 1.25f;
    texlisting::writeDocument(document, folder.file("shipped.tex"));
    return Session(*folder.storage, "shipped.tex");
}

TEST(StudioSession, RecordEditsChangeOnlyWhatTheyTouch) {
    Folder folder;
    Session session = shippedSession(folder);
    const Document original = session.document();
    const float spot[10] = {2, 2};

    // A generator inserted mid-program keeps the records around it.
    session.insertRecord(session.revision(), 2, 1, 3, spot);
    const tex::LayerProgram& layer2 = session.document().programs[2];
    EXPECT_EQ(layer2.count, 7);
    EXPECT_EQ(layer2.opcode[0], 3);
    EXPECT_EQ(layer2.opcode[1], 3);
    EXPECT_EQ(layer2.opcode[2], 44);
    session.duplicateRecord(session.revision(), 2, 0);
    session.moveRecord(session.revision(), 2, 0, 3);
    EXPECT_EQ(session.document().programs[2].opcode[3], 3);
    EXPECT_EQ(session.document().programs[2].opcode[2], 44);
    session.deleteRecord(session.revision(), 2, 3);
    session.deleteRecord(session.revision(), 2, 1);
    session.deleteRecord(session.revision(), 2, 0);
    // Layer 2 lost its first record; the freed entries at the end are zero.
    Document expected = original;
    tex::LayerProgram& program = expected.programs[2];
    for (int i = 0; i < 5; ++i) {
        program.opcode[i] = program.opcode[i + 1];
        std::memcpy(program.params[i], program.params[i + 1], sizeof program.params[i]);
    }
    program.count = 5;
    program.opcode[5] = 0;
    std::memset(program.params[5], 0, sizeof program.params[5]);
    EXPECT_EQ(bytesOf(session.document()), bytesOf(expected));
    EXPECT_EQ(session.document().programs[1].opcode[50], 77) << "bytes beyond another count are kept";

    // Refusals change nothing.
    const int64_t revision = session.revision();
    EXPECT_THROW(session.insertRecord(revision, 5, 0, 33, spot), EditError);
    EXPECT_THROW(session.insertRecord(revision, 0, 9, 33, spot), EditError);
    EXPECT_THROW(session.insertRecord(revision, 0, 0, 9, spot), EditError);
    EXPECT_THROW(session.deleteRecord(revision, 4, 4), EditError);
    EXPECT_THROW(session.moveRecord(revision, 4, 0, 4), EditError);
    EXPECT_THROW(session.setArgument(revision, 4, 0, 7, "1"), EditError);
    EXPECT_EQ(session.revision(), revision);

    Session full(*folder.storage, "full.tex");
    for (int i = 0; i < tex::MAX_OPS; ++i) full.insertRecord(full.revision(), 0, 0, 33, spot);
    EXPECT_THROW(full.insertRecord(full.revision(), 0, 0, 33, spot), EditError);
}

TEST(StudioSession, UndoRedoRestoreWholeDocumentsAndADragIsOneStep) {
    Folder folder;
    Session session = shippedSession(folder);
    const std::string original = bytesOf(session.document());
    session.setArgument(session.revision(), 0, 0, 1, "32");
    const std::string afterEdit = bytesOf(session.document());
    for (int value = 1; value <= 20; ++value) session.setArgument(session.revision(), 4, 2, 3, std::to_string(value), "drag-1");
    session.setArgument(session.revision(), 4, 2, 4, "0.5", "drag-2");
    EXPECT_TRUE(session.dirty());

    session.undo(session.revision());  // drag-2
    session.undo(session.revision());  // the whole of drag-1
    EXPECT_EQ(bytesOf(session.document()), afterEdit);
    session.undo(session.revision());
    EXPECT_EQ(bytesOf(session.document()), original);
    EXPECT_FALSE(session.dirty());
    EXPECT_FALSE(session.canUndo());
    EXPECT_THROW(session.undo(session.revision()), EditError);
    session.redo(session.revision());
    EXPECT_EQ(bytesOf(session.document()), afterEdit);
    // A new edit drops what could be redone.
    session.deleteRecord(session.revision(), 3, 0);
    EXPECT_FALSE(session.canRedo());

    // Every change needs the current revision.
    const int64_t stale = session.revision() - 1;
    EXPECT_THROW(session.setArgument(stale, 0, 0, 1, "16"), studio::StaleRevision);
    EXPECT_THROW(session.undo(stale), studio::StaleRevision);
    EXPECT_THROW(session.deleteRecord(stale, 0, 0), studio::StaleRevision);
}

TEST(StudioArguments, TypedValuesAreStoredAsTheNearestFloatAndShownAsExported) {
    float p[10] = {0, 64, 694787904, 256, 121, 4, 1};
    studio::setArgument(2, p, 2, " 694787905 ");  // no float32 holds it: the nearest is stored
    EXPECT_EQ(p[2], 694787904.0f);
    EXPECT_THROW(studio::setArgument(2, p, 1, "1.5"), EditError);
    EXPECT_THROW(studio::setArgument(2, p, 1, "3e10"), EditError);
    EXPECT_THROW(studio::setArgument(2, p, 0, "5"), EditError);
    EXPECT_THROW(studio::setArgument(2, p, 6, "yes"), EditError);
    studio::setArgument(2, p, 6, "false");
    EXPECT_EQ(p[6], 0.0f);

    float s[10] = {0, 0, 0, 0, 0};
    studio::setArgument(24, s, 2, "0.014");
    EXPECT_EQ(s[2], 0.014f);
    EXPECT_EQ(studio::exporterTexts(24, s)[2], "0.01400000043213367");
    EXPECT_EQ(studio::argumentTexts(24, s)[2], "0.014") << "fields show the shortest text of the same float32";
    EXPECT_EQ(studio::displayLine(24, s), "sineLayerRGB(0,0,0.014,0,0);");
    // A refused value changes nothing, however far out of range it is.
    s[3] = 0.25f;
    for (const char* refused : {"1e39", "3.5e38", "1e999", "-1e999", "abc", ""}) {
        EXPECT_THROW(studio::setArgument(24, s, 3, refused), EditError) << refused;
        EXPECT_EQ(s[3], 0.25f) << refused;
    }
    studio::setArgument(24, s, 3, "1e-999");  // too small for any float: zero
    EXPECT_EQ(s[3], 0.0f);
    // Beyond the range of double too: told apart from tiny numbers by their digits.
    for (const std::string huge : {"1e39", "1e309", "-1e309", "1e99999999999999999999", "0.001e400"})
        EXPECT_THROW(studio::setArgument(24, s, 3, huge), EditError) << huge;
    EXPECT_THROW(studio::setArgument(24, s, 3, std::string(5000, '7')), EditError);
    EXPECT_THROW(studio::setArgument(2, p, 3, std::string(5000, '7')), EditError);
    for (const std::string tiny : std::vector<std::string>{"1e-400", "-1e-400", "1000e-403", "0." + std::string(5000, '0') + "1"}) {
        studio::setArgument(24, s, 3, tiny);
        EXPECT_EQ(s[3], 0.0f) << tiny;
        EXPECT_EQ(std::signbit(s[3]), tiny[0] == '-') << tiny;
    }
    EXPECT_THROW(studio::setArgument(24, s, 3, "nan"), EditError);
    EXPECT_THROW(studio::setArgument(24, s, 3, "0.5x"), EditError);
    try {
        studio::setArgument(24, s, 3, "");
    } catch (const EditError& error) {
        EXPECT_STREQ(error.what(), "g must be a number, such as 0.5.");
    }

    // mandelBrot's arguments are the call's: moving a start keeps the span.
    float m[10] = {4, -2, -1.25f, 0.5f, 1.25f};
    EXPECT_EQ(studio::argumentTexts(7, m), (std::vector<std::string>{"4", "-2", "2.5", "-1.25", "2.5"}));
    studio::setArgument(7, m, 1, "-1");
    studio::setArgument(7, m, 4, "1");
    EXPECT_EQ(studio::argumentTexts(7, m), (std::vector<std::string>{"4", "-1", "2.5", "-1.25", "1"}));
    EXPECT_EQ(m[3], 1.5f);
    EXPECT_EQ(m[4], -0.25f);
    EXPECT_THROW(studio::setArgument(7, m, 1, "3e38"), EditError) << "no float32 corner keeps a span of 2.5 there";
}

TEST(StudioSession, RecoveryFileFollowsEveryChangeAndIsOfferedOnReopening) {
    Folder folder;
    std::string recovery;
    {
        Session session = shippedSession(folder);
        EXPECT_FALSE(session.recoveryOffered());
        session.setArgument(session.revision(), 1, 2, 2, "4096");
        recovery = folder.read("shipped.tex.recovery");
        EXPECT_EQ(recovery, bytesOf(session.document()));
        session.undo(session.revision());
        EXPECT_FALSE(fs::exists(folder.file("shipped.tex.recovery"))) << "back to the file: nothing to recover";
        session.redo(session.revision());
    }  // the studio ends without saving
    Session reopened(*folder.storage, "shipped.tex");
    ASSERT_TRUE(reopened.recoveryOffered());
    const std::string file = bytesOf(reopened.document());
    reopened.resolveRecovery(reopened.revision(), true);
    EXPECT_EQ(bytesOf(reopened.document()), recovery);
    EXPECT_TRUE(reopened.dirty());
    reopened.undo(reopened.revision());
    EXPECT_EQ(bytesOf(reopened.document()), file);
    reopened.redo(reopened.revision());
    reopened.save("", false);
    EXPECT_FALSE(fs::exists(folder.file("shipped.tex.recovery"))) << "a clean save removes it";
    EXPECT_EQ(folder.read("shipped.tex"), recovery);

    // Discarding removes it too.
    reopened.setArgument(reopened.revision(), 1, 2, 2, "100");
    Session declined(*folder.storage, "shipped.tex");
    ASSERT_TRUE(declined.recoveryOffered());
    declined.resolveRecovery(declined.revision(), false);
    EXPECT_FALSE(fs::exists(folder.file("shipped.tex.recovery")));
    EXPECT_THROW(declined.resolveRecovery(declined.revision(), true), EditError);
}

TEST(StudioSession, SavesByExtensionAndAsksBeforeOverwritingUnseenChanges) {
    Folder folder;
    Session session = shippedSession(folder);
    session.setArgument(session.revision(), 0, 0, 1, "32");
    const std::string edited = bytesOf(session.document());

    std::ofstream(folder.file("shipped.tex"), std::ios::binary | std::ios::app) << "x";  // changed by another program
    EXPECT_THROW(session.save("", false), studio::SaveConflict);
    EXPECT_EQ(session.save("", true), "shipped.tex");
    EXPECT_EQ(folder.read("shipped.tex"), edited);
    EXPECT_FALSE(session.dirty());

    EXPECT_EQ(session.save("other", false), "other.tex") << "no extension means .tex";
    EXPECT_THROW(session.save("shipped", false), studio::SaveConflict) << "Save as an existing file asks first";
    session.save("copy.listing", false);
    EXPECT_EQ(session.name(), "copy.listing");
    EXPECT_EQ(bytesOf(texlisting::readDocumentOrListing(folder.file("copy.listing"))),
              bytesOf(texlisting::parseListing(texlisting::formatListing(session.document()), "x")));
    EXPECT_EQ(folder.read("copy.listing").rfind("// layer 0\nperlinNoise(0,32,", 0), 0u);
}

TEST(StudioFolder, NamesCannotLeaveTheWorkingFolder) {
    Folder folder, outside;
    std::ofstream(outside.file("secret.tex")) << "x";
    fs::create_symlink(outside.file("secret.tex"), folder.file("link.tex"));
    std::ofstream(folder.file("inside.tex")) << "// layer 0\n";
    fs::create_symlink(folder.file("inside.tex"), folder.file("alias.tex"));
    std::ofstream(folder.file("notes.txt")) << "x";
    std::ofstream(folder.file("b.listing")) << "x";
    for (const std::string& bad : std::vector<std::string>{"", "../x.tex", "/etc/passwd", "sub/x.tex", "..", ".", "a\\b.tex",
                                   std::string(300, 'a'), std::string(232, 'a') + ".tex", std::string("a\0b.tex", 7),
                                   "a\nb.tex", "x.tex.recovery", "x.tex.lock", "x.tex.tmp0", "x.TMP-abc123"})
        EXPECT_THROW(studio::checkFileName(bad), EditError) << bad;
    EXPECT_THROW(Session(*folder.storage, "link.tex"), EditError);
    EXPECT_EQ(Session(*folder.storage, "alias.tex").document().programs[0].count, 0) << "a link inside is read";
    Session session(*folder.storage, "new.tex");
    EXPECT_EQ(session.files(), (std::vector<std::string>{"alias.tex", "b.listing", "inside.tex"}));
    EXPECT_THROW(session.save("link.tex", true), EditError);
    EXPECT_THROW(session.save("..", true), EditError) << "not \"...tex\"";
    EXPECT_THROW(session.open("../secret.tex"), EditError);
}

// What the folder refuses to read or replace, and what it leaves behind.
TEST(StudioFolder, OnlyPlainFilesAreReadOrReplacedAndOnlyThroughFreshNames) {
    Folder folder, outside;
    ASSERT_EQ(mkfifo(folder.file("pipe.tex").c_str(), 0600), 0);
    fs::create_directory(folder.file("dir.tex"));
    for (const std::string name : {"doc.tex.tmp0", "doc.tex.recovery.tmp12", "doc.tex.tmp-zz9zz9"})
        fs::create_symlink(outside.file(name), folder.file(name));
    std::ofstream(folder.file("doc.tex.tmpnot")) << "the author's";
    EXPECT_THROW(Session(*folder.storage, "pipe.tex"), EditError) << "never waits for a writer";
    EXPECT_THROW(folder.storage->write("pipe.tex", "x"), EditError);
    EXPECT_THROW(folder.storage->write("dir.tex", "x"), EditError);

    Session session(*folder.storage, "doc.tex");  // claims doc.tex: what a killed studio left goes
    session.insertRecord(session.revision(), 0, 0, 33, std::vector<float>(10, 1.0f).data());
    session.save("", false);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder.path)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"dir.tex", "doc.tex", "doc.tex.lock", "doc.tex.tmpnot", "pipe.tex"}));
    EXPECT_TRUE(fs::is_empty(outside.path));

    // One studio per file: another storage of the same folder cannot claim it.
    studio::FolderStorage second(folder.path);
    EXPECT_THROW(Session(second, "doc.tex"), studio::FileInUse);
    Session other(second, "other.tex");
    EXPECT_THROW(other.save("doc.tex", true), studio::FileInUse);
    folder.storage.reset();  // the first studio ends
    EXPECT_FALSE(fs::exists(folder.file("doc.tex.lock")));
    EXPECT_NO_THROW(other.open("doc.tex"));
}

TEST(StudioSession, UndoStepsAreDifferencesWithinAFixedBudget) {
    studio::MemoryStorage storage;
    Session session(storage, "doc.tex");
    const float spot[10] = {0, 64, 1, 256, 128, 4, 1};
    session.insertRecord(session.revision(), 0, 0, 2, spot);
    std::vector<std::string> last;
    for (int i = 0; i < 20000; ++i) {
        session.setArgument(session.revision(), 0, 0, 2, std::to_string(i));
        if (i >= 20000 - 50) last.push_back(bytesOf(session.document()));
    }
    EXPECT_LT(session.historyBytes(), size_t(20000) * 200) << "a few bytes per edit, not a document";
    for (int i = 48; i >= 0; --i) {
        session.undo(session.revision());
        EXPECT_EQ(bytesOf(session.document()), last[size_t(i)]);
    }
    for (int i = 1; i < 50; ++i) session.redo(session.revision());
    EXPECT_EQ(bytesOf(session.document()), last.back());

    // Whole documents replaced over and over: the oldest steps go, the newest stay exact.
    Document noise{};
    std::mt19937 random(5);
    std::vector<std::string> replaced;
    for (int i = 0; i < 3500; ++i) {
        for (uint32_t& word : reinterpret_cast<uint32_t(&)[sizeof noise.programs / 4]>(noise.programs)) word = random();
        session.replaceDocument(session.revision(), noise);
        if (i >= 3500 - 3) replaced.push_back(bytesOf(noise));
    }
    EXPECT_LE(session.historyBytes(), Session::HISTORY_BUDGET);
    EXPECT_GT(session.historyBytes(), Session::HISTORY_BUDGET - 64 * 1024);
    session.undo(session.revision());
    EXPECT_EQ(bytesOf(session.document()), replaced[1]);
    session.undo(session.revision());
    EXPECT_EQ(bytesOf(session.document()), replaced[0]);
}

// Links carry whole documents; damaged ones and any typed text are refused
// with a sentence, never a crash.
TEST(StudioInput, LinksRoundTripAndGarbageIsRefused) {
    Document document = texlisting::readDocument(SHIPPED);
    document.programs[3].params[77][9] = -0.0f;  // bytes no listing keeps
    const std::string fragment = studio::linkFragment(document);
    EXPECT_EQ(bytesOf(studio::documentFromLink("http://127.0.0.1:8421/#" + fragment)), bytesOf(document));
    std::mt19937 random(11);
    const std::string alphabet = "ABCxyz019-_=#&doc.%\n ";
    for (int round = 0; round < 2000; ++round) {
        std::string text = round % 2 ? fragment : "doc=";
        for (int k = int(random() % 40); k > 0; --k) {
            const size_t at = text.empty() ? 0 : random() % text.size();
            text.insert(at, 1, alphabet[random() % alphabet.size()]);
            if (random() % 3 == 0 && !text.empty()) text.erase(random() % text.size(), 1);
        }
        try {
            studio::documentFromLink(text);
        } catch (const EditError&) {
        }
        float params[10] = {4, 1, 2, 3, 4, 5, 6, 7, 8, 9};
        for (int32_t opcode : {2, 7, 24, 45})
            try {
                studio::setArgument(opcode, params, int(random() % 8), text.substr(0, random() % 24));
            } catch (const EditError&) {
            }
    }
}

// Pixels of all five layers after a render.
std::vector<tex::Pixel> allLayers() {
    const size_t n = size_t(tex::layerWidth) * size_t(tex::layerHeight);
    std::vector<tex::Pixel> pixels;
    for (int layer = 0; layer < tex::LAYER_COUNT; ++layer) pixels.insert(pixels.end(), tex::layers[layer], tex::layers[layer] + n);
    return pixels;
}

bool samePixels(const std::vector<tex::Pixel>& a, const std::vector<tex::Pixel>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(tex::Pixel)) == 0;
}

TEST(StudioRenderCache, IncrementalRendersEqualRendersFromScratch) {
    Folder folder;
    Session session = shippedSession(folder);
    studio::RenderCache cache, scratch;
    std::mt19937 random(7);
    const auto check = [&](int expectedFirst) {
        ASSERT_TRUE(cache.render(session.document(), 64, 32));
        EXPECT_EQ(cache.firstReplayed(), expectedFirst);
        const std::vector<tex::Pixel> incremental = allLayers();
        scratch.clear();
        ASSERT_TRUE(scratch.render(session.document(), 64, 32));
        EXPECT_TRUE(samePixels(incremental, allLayers()));
    };
    check(0);
    check(5);  // nothing changed: nothing replayed
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        const int layer = int(random() % 5);
        const int count = session.document().programs[layer].count;
        if (count == 0) continue;
        const int index = int(random() % uint32_t(count));
        // A change of layer index or seed changes what later programs see.
        const int64_t before = session.revision();
        if (random() % 3 == 0)
            session.deleteRecord(session.revision(), layer, index);
        else
            session.setArgument(session.revision(), layer, index, 0, std::to_string(random() % 5));
        check(session.revision() == before ? 5 : layer);
    }
    // An abandoned render leaves nothing stale behind.
    session.setArgument(session.revision(), 3, 0, 2, "12345");
    EXPECT_FALSE(cache.render(session.document(), 64, 32, [](int64_t done, int64_t) { return done < 2; }));
    session.setArgument(session.revision(), 0, 0, 1, "16");
    check(0);
    // Another size starts afresh.
    ASSERT_TRUE(cache.render(session.document(), 32, 32));
    EXPECT_EQ(cache.firstReplayed(), 0);
    tex::freeLayers();
}

}  // namespace

namespace {

// The design size and bypassed records are part of the document: an edit
// undone like others, saved in both forms, carried by links, kept on reopening.
TEST(StudioSession, ExtrasSurviveEditsSavesLinksAndReopening) {
    Folder folder;
    Session session = shippedSession(folder);
    const std::string original = bytesOf(session.document());
    EXPECT_THROW(session.setDesignSize(session.revision(), 300, 256), EditError);
    session.setDesignSize(session.revision(), 1024, 512);
    EXPECT_TRUE(session.dirty());
    Document withBypass = session.document();
    std::vector<texlisting::AuthorRecord> layer4 = texlisting::authorProgram(withBypass, 4);
    layer4[1].bypassed = true;
    texlisting::setAuthorProgram(withBypass, 4, layer4);
    session.replaceDocument(session.revision(), withBypass);

    const std::string link = studio::linkFragment(session.document());
    EXPECT_TRUE(studio::documentFromLink("#" + link) == session.document());
    session.save("sized.tex", false);
    session.save("sized.listing", false);
    for (const char* name : {"sized.tex", "sized.listing"}) {
        SCOPED_TRACE(name);
        Session reopened(*folder.storage, name);
        int32_t width, height;
        texlisting::designSize(reopened.document(), width, height);
        EXPECT_EQ(width, 1024);
        EXPECT_EQ(height, 512);
        ASSERT_EQ(reopened.document().extras.bypassed.size(), 1u);
        EXPECT_EQ(reopened.document().extras.bypassed[0].position, 1);
        EXPECT_EQ(reopened.document().programs[4].count, 3);
    }
    session.undo(session.revision());
    session.undo(session.revision());
    EXPECT_EQ(bytesOf(session.document()), original) << "undone, the document is the shipped one byte for byte";
}

}  // namespace
