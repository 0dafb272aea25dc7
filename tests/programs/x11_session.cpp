#include "x11_session.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace programs {

// Failures of single requests (a window that went away meanwhile) are
// expected while polling; they must not end the test program.
static int ignoreXError(Display*, XErrorEvent*) { return 0; }

XSession::XSession(const std::string& xvfb) {
    int ready[2];
    if (xvfb.empty() || pipe(ready) != 0) return;
    server_ = fork();
    if (server_ == 0) {
        close(ready[0]);
        setpgid(0, 0);
        const std::string fd = std::to_string(ready[1]);
        execl(xvfb.c_str(), xvfb.c_str(), "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten",
              "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    if (server_ < 0) {
        close(ready[0]);
        return;
    }
    // Xvfb writes its display number once it accepts connections.
    char number[32] = {};
    size_t got = 0;
    while (got + 1 < sizeof number) {
        const ssize_t n = read(ready[0], number + got, sizeof number - 1 - got);
        if (n <= 0) break;
        got += size_t(n);
        if (std::memchr(number, '\n', got)) break;
    }
    close(ready[0]);
    if (got == 0) return;
    name_ = ":" + std::string(number, std::strcspn(number, "\n"));
    XSetErrorHandler(ignoreXError);
    display_ = XOpenDisplay(name_.c_str());
}

XSession::~XSession() {
    if (display_) XCloseDisplay(display_);
    if (server_ > 0) {
        kill(server_, SIGTERM);
        int status = 0;
        waitpid(server_, &status, 0);
    }
}

std::string XSession::titleOf(Window window) {
    std::string title;
    const Atom netName = XInternAtom(display_, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, window, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
            Success &&
        data) {
        title.assign(reinterpret_cast<char*>(data), count);
        XFree(data);
    }
    if (title.empty()) {
        char* name = nullptr;
        if (XFetchName(display_, window, &name) && name) {
            title = name;
            XFree(name);
        }
    }
    return title;
}

Window XSession::search(Window from, const std::string& title) {
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display_, from, &root, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display_, children[i], &attributes) && attributes.map_state == IsViewable &&
            titleOf(children[i]) == title)
            found = children[i];
        else
            found = search(children[i], title);
    }
    if (children) XFree(children);
    return found;
}

Window XSession::findWindow(const std::string& title, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        if (Window window = search(DefaultRootWindow(display_), title)) return window;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
}

bool XSession::exists(Window window) {
    XWindowAttributes attributes;
    XSync(display_, False);
    return XGetWindowAttributes(display_, window, &attributes) != 0;
}

bool XSession::size(Window window, int& width, int& height) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display_, window, &attributes)) return false;
    width = attributes.width;
    height = attributes.height;
    return true;
}

Capture XSession::capture(Window window) {
    Capture capture;
    int width = 0, height = 0;
    if (!size(window, width, height)) return capture;
    XImage* image = XGetImage(display_, window, 0, 0, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
    if (!image) return capture;
    capture.width = width;
    capture.height = height;
    capture.pixels.resize(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            // The 24-bit TrueColor visual of Xvfb: red, green, blue masks 0xFF0000, 0xFF00, 0xFF.
            const unsigned long value = XGetPixel(image, x, y);
            capture.pixels[size_t(y) * size_t(width) + size_t(x)] = uint32_t(value & 0xFFFFFFu);
        }
    XDestroyImage(image);
    return capture;
}

void XSession::resize(Window window, int width, int height) {
    // At the screen's corner, so that the whole window stays on screen: only
    // then can its pixels be read back.
    XMoveResizeWindow(display_, window, 0, 0, unsigned(width), unsigned(height));
    XSync(display_, False);
}

void XSession::requestClose(Window window) {
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
    XSync(display_, False);
}

}  // namespace programs
