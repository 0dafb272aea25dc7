// The display window on Win32: user32 for the window and its messages, gdi32
// for the black background brush and for stretching the pixels.
//
// The window procedure answers WM_PAINT without BeginPaint/EndPaint, so the
// window is never validated and the system keeps sending WM_PAINT whenever the
// queue is empty: the image is repainted at the message loop's pace.
#include "viewer/window.h"

#include <cstdlib>
#include <cstring>

namespace viewer {

uint32_t* texturePixels = nullptr;
int32_t imageWidth = 0, imageHeight = 0;
HWND mainWindow = nullptr;
HDC windowDC = nullptr;
BITMAPINFOHEADER* bitmapInfo = nullptr;
MSG windowMessage;
HINSTANCE programInstance = nullptr;
int showCommand = SW_SHOWDEFAULT;

static const char CLASS_NAME[] = "OMRA";

bool registerWindowClass() {
    WNDCLASSA windowClass;
    std::memset(&windowClass, 0, sizeof windowClass);
    windowClass.style = CS_BYTEALIGNCLIENT;
    windowClass.lpfnWndProc = windowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = programInstance;
    windowClass.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(32512));    // IDI_APPLICATION
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = CLASS_NAME;
    return RegisterClassA(&windowClass) != 0;
}

HWND createMainWindow() {
    // Frame, caption and border sizes make the client area about imageWidth by
    // imageHeight; they are read in this order.
    const int frameWidth = GetSystemMetrics(SM_CXFRAME);
    const int caption = GetSystemMetrics(SM_CYCAPTION);
    const int border = GetSystemMetrics(SM_CYBORDER);
    const int frameHeight = GetSystemMetrics(SM_CYFRAME);
    const int outerWidth = imageWidth + 2 * frameWidth;
    const int outerHeight = imageHeight + caption - border + 2 * frameHeight;

    HWND window = CreateWindowExA(0, CLASS_NAME, "Texture", 0x000F0000, CW_USEDEFAULT, CW_USEDEFAULT, outerWidth,
                                  outerHeight, nullptr, nullptr, programInstance, nullptr);
    if (window) {
        // mainWindow is still null here: the paint request UpdateWindow
        // delivers finds no device context and draws nothing.
        ShowWindow(window, showCommand);
        UpdateWindow(window);
        windowDC = GetDC(window);
    }
    return window;
}

void makeBitmapInfo() {
    bitmapInfo = static_cast<BITMAPINFOHEADER*>(std::calloc(1, 40));
    if (!bitmapInfo) return;  // painting then passes a null header, which draws nothing
    bitmapInfo->biSize = 40;
    bitmapInfo->biWidth = imageWidth;
    bitmapInfo->biHeight = -imageHeight;  // negative: the first row in memory is the top row
    bitmapInfo->biPlanes = 1;
    bitmapInfo->biBitCount = 32;
    bitmapInfo->biCompression = BI_RGB;
}

void paintWindow(const uint32_t* pixels) {
    if (!windowDC) return;
    RECT client;
    GetClientRect(mainWindow, &client);
    StretchDIBits(windowDC, 0, 0, client.right, client.bottom, 0, 0, imageWidth, imageHeight, pixels,
                  reinterpret_cast<const BITMAPINFO*>(bitmapInfo), DIB_RGB_COLORS, SRCCOPY);
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            paintWindow(texturePixels);
            return 0;
        case WM_DESTROY:
            ReleaseDC(mainWindow, windowDC);
            windowDC = nullptr;
            PostQuitMessage(0);
            return 0;
        default:
            // Includes WM_ERASEBKGND: the class's black brush clears the background.
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

int readMessage() {
    const BOOL result = GetMessageA(&windowMessage, nullptr, 0, 0);
    return result == 0 ? 0 : result < 0 ? -1 : 1;
}

void pauseLoop(uint32_t milliseconds) { Sleep(milliseconds); }

void dispatchMessage() {
    TranslateMessage(&windowMessage);
    DispatchMessageA(&windowMessage);
}

void showMessage(const std::string& text, const char* caption) {
    // A GUI program has a standard error handle only when one was passed in
    // (a redirect, or wine started from a terminal); writing to none is harmless.
    HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    if (errors && errors != INVALID_HANDLE_VALUE) {
        const std::string line = text + "\n";
        DWORD written = 0;
        WriteFile(errors, line.data(), DWORD(line.size()), &written, nullptr);
    }
    MessageBoxA(nullptr, text.c_str(), caption, MB_OK);
}

}  // namespace viewer
