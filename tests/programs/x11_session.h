// A private X server (Xvfb) for end-to-end tests of the viewer windows, with
// what a person would do to them: find a window by its title, look at its
// pixels, resize it and close it.
#pragma once

#include <X11/Xlib.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace programs {

struct Capture {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, rows top to bottom
};

class XSession {
public:
    // Starts Xvfb on a free display; ok() is false when it cannot.
    explicit XSession(const std::string& xvfb);
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    bool ok() const { return display_ != nullptr; }
    const std::string& name() const { return name_; }  // e.g. ":12", for DISPLAY

    // The first top-level or nested window titled `title`, or 0 after `limit`.
    Window findWindow(const std::string& title, std::chrono::milliseconds limit);
    bool exists(Window window);
    bool size(Window window, int& width, int& height);
    Capture capture(Window window);
    // Moves the window to the screen's top left corner and resizes it.
    void resize(Window window, int width, int height);
    // Asks the window to close, as a window manager's close button does.
    void requestClose(Window window);

private:
    std::string titleOf(Window window);
    Window search(Window from, const std::string& title);

    pid_t server_ = -1;
    Display* display_ = nullptr;
    std::string name_;
};

}  // namespace programs
