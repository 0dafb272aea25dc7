// The display window on SDL2, with the effects of the Win32 window: a
// resizable window titled "Texture" with a 256 by 256 client area at start,
// the image stretched over the whole client area without keeping its aspect
// ratio on a black background, repainted whenever the event queue is empty,
// at the message loop's pace, until the window is closed.
//
// SDL has no window classes: registering the class initialises SDL's video
// subsystem, which fails when no display can be opened. The renderer stands
// for the device context and a streaming texture receives the pixels.
#include "viewer/window.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace viewer {

uint32_t* texturePixels = nullptr;
int32_t imageWidth = 0, imageHeight = 0;
SDL_Window* mainWindow = nullptr;
SDL_Renderer* windowDC = nullptr;
BitmapHeader* bitmapInfo = nullptr;
WindowMessage windowMessage;

static SDL_Texture* screenTexture = nullptr;  // imageWidth by imageHeight, 0x00RRGGBB per pixel
static bool quitPosted = false;

bool registerWindowClass() {
    SDL_SetMainReady();  // main is the program's own (SDL_MAIN_HANDLED)
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, "No display could be opened: %s\n", SDL_GetError());
        return false;
    }
    // Without a display SDL falls back to drivers that show nothing; the
    // message loop would then run unseen and forever. They serve only when
    // asked for by name (SDL_VIDEODRIVER).
    const char* driver = SDL_GetCurrentVideoDriver();
    if (!SDL_getenv("SDL_VIDEODRIVER") && driver &&
        (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0)) {
        std::fprintf(stderr, "No display could be opened: set DISPLAY or WAYLAND_DISPLAY\n");
        SDL_Quit();
        return false;
    }
    // Nearest-neighbour stretching, as StretchDIBits does by default.
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "0");
    return true;
}

SDL_Window* createMainWindow() {
    SDL_Window* window = SDL_CreateWindow("Texture", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, imageWidth,
                                          imageHeight, SDL_WINDOW_RESIZABLE | SDL_WINDOW_SHOWN);
    if (window) {
        windowDC = SDL_CreateRenderer(window, -1, 0);
        if (!windowDC) windowDC = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE);
    }
    return window;
}

void makeBitmapInfo() {
    bitmapInfo = static_cast<BitmapHeader*>(std::calloc(1, sizeof(BitmapHeader)));
    if (bitmapInfo) {
        bitmapInfo->biSize = 40;
        bitmapInfo->biWidth = imageWidth;
        bitmapInfo->biHeight = -imageHeight;  // negative: the first row in memory is the top row
        bitmapInfo->biPlanes = 1;
        bitmapInfo->biBitCount = 32;
    }
    // RGB888 is the 32-bit value 0x00RRGGBB, exactly the layout of texturePixels.
    if (windowDC)
        screenTexture = SDL_CreateTexture(windowDC, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING, imageWidth,
                                          imageHeight);
}

void paintWindow(const uint32_t* pixels) {
    if (!windowDC) return;
    int clientWidth = 0, clientHeight = 0;
    SDL_GetRendererOutputSize(windowDC, &clientWidth, &clientHeight);
    SDL_SetRenderDrawColor(windowDC, 0, 0, 0, 255);
    SDL_RenderClear(windowDC);
    if (screenTexture && pixels && clientWidth > 0 && clientHeight > 0) {
        SDL_UpdateTexture(screenTexture, nullptr, pixels, imageWidth * 4);
        const SDL_Rect whole = {0, 0, clientWidth, clientHeight};
        SDL_RenderCopy(windowDC, screenTexture, nullptr, &whole);
    }
    SDL_RenderPresent(windowDC);
}

// Closing the window destroys it: the device context is released and the
// quit message posted, so the loop's next read ends it.
static void destroyWindow() {
    if (screenTexture) SDL_DestroyTexture(screenTexture);
    screenTexture = nullptr;
    if (windowDC) SDL_DestroyRenderer(windowDC);
    windowDC = nullptr;
    if (mainWindow) SDL_DestroyWindow(mainWindow);
    mainWindow = nullptr;
    quitPosted = true;
}

void windowProc(const WindowMessage& message) {
    if (message.paint) {
        paintWindow(texturePixels);
        return;
    }
    const SDL_Event& event = message.event;
    if (event.type == SDL_QUIT ||
        (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_CLOSE))
        destroyWindow();
}

int readMessage() {
    if (quitPosted) return 0;
    // An empty queue yields a repaint request while the window is open, as an
    // invalid Win32 window yields WM_PAINT; the loop's pause paces both.
    windowMessage.paint = SDL_PollEvent(&windowMessage.event) == 0;
    return 1;
}

void pauseLoop(uint32_t milliseconds) { SDL_Delay(milliseconds); }

void dispatchMessage() { windowProc(windowMessage); }

void showMessage(const std::string& text, const char* caption) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    // Windows titles a box without caption "Error". Without a display no box
    // is shown and the call returns at once.
    SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, caption ? caption : "Error", text.c_str(), nullptr);
}

}  // namespace viewer
