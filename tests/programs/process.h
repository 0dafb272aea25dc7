// Starting programs from tests: their exit code and what they wrote to
// standard output and standard error, with a time limit so that a hanging
// program fails its test instead of stalling the suite.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace programs {

struct Outcome {
    int exitCode = -1;  // -1 when the program was killed or died of a signal
    bool timedOut = false;
    std::string out, err;
};

struct Launch {
    std::vector<std::string> arguments;          // program first
    std::string directory;                       // working directory, empty: the test's
    std::map<std::string, std::string> set;      // environment variables to set
    std::vector<std::string> unset;              // and to remove
};

// A started program; its output goes to files read back by finish().
struct Running {
    pid_t pid = -1;
    std::string outFile, errFile;
};

Running start(const Launch& launch);
// Waits up to `limit`, then kills the program (and its process group).
Outcome finish(Running& running, std::chrono::milliseconds limit);
Outcome run(const Launch& launch, std::chrono::milliseconds limit = std::chrono::seconds(60));

// The path of an executable found on PATH, or empty.
std::string findOnPath(const std::string& name);

// A fresh directory under the system's temporary folder, removed with its
// content when the object goes.
struct TemporaryDirectory {
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    std::string path;
};

std::string readFile(const std::string& path);

}  // namespace programs
