// The frame both viewer programs share: the entry point, the window set-up and
// message loop, and the report of an unhandled error. A program supplies only
// the step that builds its texture.
#pragma once

#include <cstdint>
#include <string>

namespace viewer {

// Supplied by each program: fills texturePixels, imageWidth and imageHeight
// (viewer/window.h). An exception it lets through ends the program with the
// unhandled-error report and exit code 217.
void buildTexture();

constexpr int EXIT_CLOSED = 0, EXIT_NO_WINDOW = 6, EXIT_UNHANDLED_ERROR = 217;

// Registers the class, creates the window, builds the bitmap header and runs
// the message loop until the window is closed. Returns the exit code: 0 after
// the window is closed, 6 when the window cannot be set up.
int runViewerWindow();

// The text of the unhandled-error report: "An unhandled exception occurred at
// 0x" with the code address in eight hexadecimal digits and " :", then the
// error's message on the second line.
std::string unhandledErrorReport(uintptr_t address, const std::string& message);

// buildTexture, then the window; the program's exit code.
int runViewer();

}  // namespace viewer
