// texgen studio: a browser page served on the loopback address where an
// author builds a texture with live preview, undo and export.
#pragma once

#include <string>

namespace studio {

constexpr int DEFAULT_PORT = 8421;

struct Options {
    std::string file;  // document or listing; empty: untitled.tex in the current folder
    std::string host = "127.0.0.1";
    int port = DEFAULT_PORT;  // 0: any free port
    bool openBrowser = true;
};

// Serves the studio until SIGINT or SIGTERM; returns the exit code (0 after
// a signal, 1 when it cannot start). Prints the page's address, then a line
// per saved file, on standard output; failures go to standard error.
int runStudio(const Options& options);

}  // namespace studio
