// The display window shared by the viewer programs: one resizable top-level
// window titled "Texture" that shows texturePixels (imageWidth by imageHeight
// values red * 65536 + green * 256 + blue, rows top to bottom) stretched over
// its whole client area and repaints it continuously until it is closed.
//
// Two back-ends with the same variables, routines and effects, chosen at build
// time: window_win32.cpp (user32 and gdi32) and window_sdl.cpp (SDL2). The main
// programs fill texturePixels, imageWidth and imageHeight and then call
// runViewerWindow (viewer/program.cpp), which runs the set-up routines below in
// order and the message loop.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#define SDL_MAIN_HANDLED  // the programs define main themselves
#include <SDL.h>
#endif

namespace viewer {

#ifdef _WIN32
using WindowHandle = HWND;
using DeviceContext = HDC;
using BitmapHeader = BITMAPINFOHEADER;
using WindowMessage = MSG;
#else
using WindowHandle = SDL_Window*;
// The renderer plays the part of the device context: obtained once the window
// is shown, released when it is destroyed, null before and after.
using DeviceContext = SDL_Renderer*;
// The same 40-byte description of the pixels as the Win32 header.
struct BitmapHeader {
    uint32_t biSize;
    int32_t biWidth, biHeight;
    uint16_t biPlanes, biBitCount;
    uint32_t biCompression, biSizeImage;
    int32_t biXPelsPerMeter, biYPelsPerMeter;
    uint32_t biClrUsed, biClrImportant;
};
static_assert(sizeof(BitmapHeader) == 40, "the bitmap header is 40 bytes");
// A message is an SDL event; `paint` marks the repaint request that an empty
// queue produces, as Win32 sends WM_PAINT while the window stays invalid.
struct WindowMessage {
    SDL_Event event;
    bool paint;
};
#endif

// Shared with the main programs.
extern uint32_t* texturePixels;
extern int32_t imageWidth, imageHeight;
extern WindowHandle mainWindow;
extern DeviceContext windowDC;
extern BitmapHeader* bitmapInfo;
extern WindowMessage windowMessage;

// Start-up values the entry point records for the window set-up.
#ifdef _WIN32
extern HINSTANCE programInstance;
extern int showCommand;
#endif

// Registers the window class "OMRA"; false on failure.
bool registerWindowClass();
// Creates, shows and updates the window, then takes its device context.
// Returns the window, or null on failure.
WindowHandle createMainWindow();
// Allocates and fills the header that describes texturePixels (never freed).
void makeBitmapInfo();
// Stretches `pixels` over the whole client area; nothing while windowDC is null.
void paintWindow(const uint32_t* pixels);
// Handles one message: a paint request paints texturePixels, the window's
// destruction releases the device context and posts the quit message.
#ifdef _WIN32
LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
#else
void windowProc(const WindowMessage& message);
#endif

// The message loop's primitives, so that the loop itself is written once:
// readMessage waits for the next message (0 after the quit message, -1 on an
// error, otherwise 1); pauseLoop sleeps; dispatchMessage translates and
// delivers the message just read.
int readMessage();
void pauseLoop(uint32_t milliseconds);
void dispatchMessage();

// A message box with an OK button and no owner; a null caption gives the
// system's default. The text also goes to standard error, for people at a
// terminal and for when no box can be shown.
void showMessage(const std::string& text, const char* caption);

}  // namespace viewer
