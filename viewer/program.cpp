// The viewer programs' shared frame. The message loop pauses 50 ms before
// every message, paint requests included, so a viewer handles at most about
// 20 messages a second; only the quit message (read result 0) ends it, an
// error (-1) does not.
#include "viewer/program.h"

#include <cstdio>
#include <exception>

#include "viewer/window.h"

namespace viewer {

int runViewerWindow() {
    if (!registerWindowClass()) {
        showMessage("Register Window Class failed", nullptr);
        return EXIT_NO_WINDOW;
    }
    mainWindow = createMainWindow();
    if (!mainWindow) {
        showMessage("Window Create failed", nullptr);
        return EXIT_NO_WINDOW;
    }
    makeBitmapInfo();
    while (readMessage() != 0) {
        pauseLoop(50);
        dispatchMessage();
    }
    return EXIT_CLOSED;
}

std::string unhandledErrorReport(uintptr_t address, const std::string& message) {
    char line[64];
    std::snprintf(line, sizeof line, "An unhandled exception occurred at 0x%08X :", unsigned(address & 0xFFFFFFFFu));
    return std::string(line) + "\n" + message;
}

// Builds the texture; the address reported for an error is the code address
// of this call, as the low 32 bits of the return address.
__attribute__((noinline)) static std::string buildOrDescribe(uintptr_t& address) {
    address = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    try {
        buildTexture();
        return std::string();
    } catch (const std::exception& error) {
        return error.what()[0] ? error.what() : "Unknown error";
    } catch (...) {
        return "Unknown error";
    }
}

int runViewer() {
    uintptr_t address = 0;
    const std::string failure = buildOrDescribe(address);
    if (!failure.empty()) {
        showMessage(unhandledErrorReport(address, failure), "Error");
        return EXIT_UNHANDLED_ERROR;
    }
    return runViewerWindow();
}

}  // namespace viewer

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    viewer::programInstance = instance;
    viewer::showCommand = show;
    return viewer::runViewer();
}
#else
// SDL must not replace main: the programs take no arguments and need no
// platform start-up beyond SDL_Init.
int main() { return viewer::runViewer(); }
#endif
