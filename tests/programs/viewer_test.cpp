// End-to-end tests of fileview and compiledview, driven as a person would drive it: in a
// private X server, the window's pixels are read back from the screen and the
// window is closed through its close request. The SDL2 program runs directly,
// the Win32 program (fileview.exe) under wine with a fresh prefix per run.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "engine/engine.h"
#include "process.h"
#include "x11_session.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using programs::Capture;
using programs::Launch;
using programs::XSession;

// A document whose picture shows a flipped, mirrored or channel-swapped
// display: checkerboard cells of 3 by 5 pixels in two colours whose
// channels all differ.
void writeCheckerDocument(const std::string& path) {
    tex::initLayers(16, 16);
    const float checker[10] = {4, 3, 5, 255, 128, 1, 2, 64, 200};
    tex::appendOperation(4, false, 5, checker);
    tex::saveTexture(path);
    tex::freeLayers();
}

std::vector<uint32_t> loadedPixels(const std::string& path) {
    uint32_t* pixels = nullptr;
    tex::loadTexture(pixels, path, 256, 256, true);
    std::vector<uint32_t> copy(pixels, pixels + 256 * 256);
    std::free(pixels);
    return copy;
}

// The 256 by 256 image stretched to width by height, nearest pixel; exact for
// whole-number factors, the only ones compared.
std::vector<uint32_t> stretched(const std::vector<uint32_t>& image, int width, int height) {
    std::vector<uint32_t> out(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) out[size_t(y) * width + x] = image[size_t(y * 256 / height) * 256 + x * 256 / width];
    return out;
}

size_t differences(const Capture& capture, const std::vector<uint32_t>& expected) {
    if (capture.pixels.size() != expected.size()) return expected.size();
    size_t count = 0;
    for (size_t i = 0; i < expected.size(); ++i) count += capture.pixels[i] != expected[i];
    return count;
}

// The window repaints continuously; poll until its pixels are the expected
// ones, and return the differences that remain after `limit`.
size_t settle(XSession& x, Window window, int width, int height, const std::vector<uint32_t>& image,
              std::chrono::milliseconds limit) {
    const std::vector<uint32_t> expected = stretched(image, width, height);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    size_t left = expected.size();
    do {
        const Capture capture = x.capture(window);
        if (capture.width == width && capture.height == height) left = differences(capture, expected);
        if (left == 0) break;
        std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return left;
}

// What differs between the SDL and the Win32 program.
struct Backend {
    std::string label;
    std::vector<std::string> command;                // fileview, or wine fileview.exe
    std::map<std::string, std::string> environment;  // beyond DISPLAY
    int slack;                                       // pixels the first client size may be off by
    std::chrono::milliseconds startLimit;
};

class ViewerTest : public ::testing::Test {
protected:
    static std::unique_ptr<XSession>& session() {
        static std::unique_ptr<XSession> x;
        return x;
    }
    static void startServer() {
        if (!session()) session() = std::make_unique<XSession>(programs::findOnPath("Xvfb"));
    }
    static void TearDownTestSuite() { session().reset(); }

    void SetUp() override {
        startServer();
        if (!session()->ok()) GTEST_SKIP() << "Xvfb is not installed (Debian: xvfb)";
    }

    Launch launch(const Backend& backend, const std::string& directory) {
        Launch launch;
        launch.arguments = backend.command;
        launch.directory = directory;
        launch.set = backend.environment;
        launch.set["DISPLAY"] = session()->name();
        launch.unset = {"WAYLAND_DISPLAY", "SDL_VIDEODRIVER"};
        return launch;
    }

    // fileview on a document: the first picture, a resized one, and the exit
    // code after the close request.
    // With `shipped` the document is data/Testin3.tex, whose picture depends
    // on every operation family; otherwise a small document of known variety.
    void showsDocumentAndClosesCleanly(const Backend& backend, bool shipped = false) {
        programs::TemporaryDirectory folder;
        const std::string document = folder.path + "/Testin3.tex";
        if (shipped) {
            fs::copy_file(std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex", document);
        } else {
            writeCheckerDocument(document);
        }
        const std::vector<uint32_t> image = loadedPixels(document);
        if (!shipped) {
            ASSERT_NE(image[0], image[3]) << "the test document must not be uniform";
        }

        showsImageAndClosesCleanly(backend, folder.path, image);
    }

    // A viewer started in `directory`: its first picture is `image`, so is the
    // picture stretched over a resized window, and the close request ends it
    // with exit code 0.
    void showsImageAndClosesCleanly(const Backend& backend, const std::string& directory,
                                    const std::vector<uint32_t>& image) {
        programs::Running running = programs::start(launch(backend, directory));
        XSession& x = *session();
        const Window window = x.findWindow("Texture", backend.startLimit);
        if (!window) {
            const programs::Outcome outcome = programs::finish(running, 1s);
            FAIL() << backend.label << ": no window titled Texture; exit " << outcome.exitCode << ", stderr "
                   << outcome.err;
        }
        int width = 0, height = 0;
        ASSERT_TRUE(x.size(window, width, height));
        EXPECT_LE(std::abs(width - 256), backend.slack) << "client width " << width;
        EXPECT_LE(std::abs(height - 256), backend.slack) << "client height " << height;
        if (width != 256 || height != 256) x.resize(window, 256, 256);
        EXPECT_EQ(settle(x, window, 256, 256, image, 10s), 0u) << "pixels differing from loadTexture's";

        // Stretched over the new client area, aspect ratio not kept.
        x.resize(window, 512, 768);
        EXPECT_EQ(settle(x, window, 512, 768, image, 10s), 0u) << "pixels differing after resizing to 512x768";

        x.requestClose(window);
        const programs::Outcome outcome = programs::finish(running, 10s);
        EXPECT_FALSE(outcome.timedOut) << "still running after the close request";
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    }

    // fileview without a document: the report in a box titled "Error" and on
    // standard error, no texture window, exit code 217 once the box is closed.
    void reportsMissingDocument(const Backend& backend) {
        programs::TemporaryDirectory folder;
        programs::Running running = programs::start(launch(backend, folder.path));
        XSession& x = *session();
        const Window box = x.findWindow("Error", backend.startLimit);
        EXPECT_NE(box, 0u) << "no message box titled Error";
        EXPECT_EQ(x.findWindow("Texture", 0ms), 0u) << "the texture window must not open";
        if (box) x.requestClose(box);
        const programs::Outcome outcome = programs::finish(running, 10s);
        EXPECT_FALSE(outcome.timedOut);
        EXPECT_EQ(outcome.exitCode, 217);
        EXPECT_TRUE(std::regex_search(outcome.err, std::regex("^An unhandled exception occurred at 0x[0-9A-F]{8} :\r?\n"
                                                              "File not found\r?\n")))
            << outcome.err;
    }
};

class SdlViewer : public ViewerTest {
protected:
    Backend backend(const std::string& program = TEX_FILEVIEW) { return {program, {program}, {}, 0, 10s}; }
};

TEST_F(SdlViewer, ShowsTheLoadedTextureAndExitsZeroWhenClosed) { showsDocumentAndClosesCleanly(backend()); }

TEST_F(SdlViewer, ShowsTheShippedTexture) { showsDocumentAndClosesCleanly(backend(), true); }

TEST_F(SdlViewer, MissingDocumentReportsFileNotFoundAndExits217) { reportsMissingDocument(backend()); }

// compiledview reads nothing: started in an empty folder it shows the picture
// fileview shows for the shipped document.
TEST_F(SdlViewer, CompiledViewShowsTheShippedTexture) {
    programs::TemporaryDirectory folder;
    showsImageAndClosesCleanly(backend(TEX_COMPILEDVIEW), folder.path,
                               loadedPixels(std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex"));
}

// Without any display the program says so and ends with the window set-up's
// exit code instead of hanging or crashing.
TEST(SdlViewerWithoutDisplay, ExitsSixAndSaysWhy) {
    programs::TemporaryDirectory folder;
    writeCheckerDocument(folder.path + "/Testin3.tex");
    Launch launch;
    launch.arguments = {TEX_FILEVIEW};
    launch.directory = folder.path;
    launch.unset = {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"};
    const programs::Outcome outcome = programs::run(launch, 20s);
    EXPECT_EQ(outcome.exitCode, 6);
    EXPECT_NE(outcome.err.find("No display could be opened"), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("Register Window Class failed"), std::string::npos) << outcome.err;
}

// fileview.exe under wine. One prefix serves every test of a run; making it
// takes about 15 seconds.
class WineViewer : public ViewerTest {
protected:
    static std::unique_ptr<programs::TemporaryDirectory>& prefix() {
        static std::unique_ptr<programs::TemporaryDirectory> folder;
        return folder;
    }
    static std::map<std::string, std::string> wineEnvironment() {
        // No Mono or Gecko installers: fileview needs neither.
        return {{"WINEPREFIX", prefix()->path + "/wine"}, {"WINEDEBUG", "-all"}, {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
    }
    static void TearDownTestSuite() {
        if (prefix()) {
            Launch stop;
            stop.arguments = {programs::findOnPath("wineserver"), "-k"};
            stop.set = wineEnvironment();
            if (!stop.arguments[0].empty()) programs::run(stop, 20s);
            prefix().reset();
        }
        ViewerTest::TearDownTestSuite();
    }

    void SetUp() override {
        ViewerTest::SetUp();
        if (IsSkipped()) return;
        if (std::string(TEX_FILEVIEW_EXE).empty() || !fs::exists(TEX_FILEVIEW_EXE))
            GTEST_SKIP() << "fileview.exe is not built (Debian: g++-mingw-w64-x86-64)";
        if (programs::findOnPath("wine").empty()) GTEST_SKIP() << "wine is not installed (Debian: wine)";
        if (!prefix()) {
            prefix() = std::make_unique<programs::TemporaryDirectory>();
            Launch boot;
            boot.arguments = {programs::findOnPath("wine"), "wineboot", "-i"};
            boot.set = wineEnvironment();
            boot.set["DISPLAY"] = session()->name();
            const programs::Outcome outcome = programs::run(boot, 120s);
            ASSERT_EQ(outcome.exitCode, 0) << "wineboot failed: " << outcome.err;
        }
    }

    Backend backend(const std::string& program = TEX_FILEVIEW_EXE) {
        // wine sizes the window from its own system metrics: the client area
        // comes out a pixel or two off 256 by 256.
        return {fs::path(program).filename().string(), {programs::findOnPath("wine"), program}, wineEnvironment(), 8, 60s};
    }
};

TEST_F(WineViewer, ShowsTheLoadedTextureAndExitsZeroWhenClosed) { showsDocumentAndClosesCleanly(backend()); }

TEST_F(WineViewer, MissingDocumentReportsFileNotFoundAndExits217) { reportsMissingDocument(backend()); }

TEST_F(WineViewer, CompiledViewShowsTheShippedTexture) {
    if (!fs::exists(TEX_COMPILEDVIEW_EXE)) GTEST_SKIP() << "compiledview.exe is not built";
    programs::TemporaryDirectory folder;
    showsImageAndClosesCleanly(backend(TEX_COMPILEDVIEW_EXE), folder.path,
                               loadedPixels(std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex"));
}

}  // namespace
