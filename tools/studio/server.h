// texgen studio: a browser page served on the loopback address where an
// author builds a texture with live preview, undo and export.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/studio/render_lane.h"
#include "tools/studio/storage.h"

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

// The studio's HTTP side without a socket, for fuzzing and tests: answers the
// raw bytes of requests sent over one connection (Host 127.0.0.1:8421, this
// token) as a running studio would, renders up to maxSide a side, no exports.
class RequestTester {
public:
    RequestTester(std::unique_ptr<Storage> storage, const std::string& name, const std::string& token,
                  int64_t maxSide);
    ~RequestTester();
    std::string answer(const std::string& requests);

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace studio
