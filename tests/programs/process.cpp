#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace programs {

namespace fs = std::filesystem;

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "texprog-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
    path = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const fs::path candidate = fs::path(folder.empty() ? "." : folder) / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return std::string();
}

Running start(const Launch& launch) {
    static int serial = 0;
    Running running;
    const std::string stem = (fs::temp_directory_path() / ("texprog-" + std::to_string(getpid()) + "-" +
                                                            std::to_string(serial++)))
                                 .string();
    running.outFile = stem + ".out";
    running.errFile = stem + ".err";

    std::vector<char*> argv;
    for (const std::string& argument : launch.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    running.pid = fork();
    if (running.pid < 0) throw std::runtime_error("fork failed");
    if (running.pid == 0) {
        setpgid(0, 0);  // its own group, so that a kill also ends its children (wine, Xvfb)
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(running.outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(running.errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const std::string& name : launch.unset) unsetenv(name.c_str());
        for (const auto& [name, value] : launch.set) setenv(name.c_str(), value.c_str(), 1);
        if (!launch.directory.empty() && chdir(launch.directory.c_str()) != 0) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return running;
}

Outcome finish(Running& running, std::chrono::milliseconds limit) {
    Outcome outcome;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pid_t done = 0;
    while ((done = waitpid(running.pid, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            outcome.timedOut = true;
            kill(-running.pid, SIGKILL);
            kill(running.pid, SIGKILL);
            waitpid(running.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!outcome.timedOut && done == running.pid && WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    outcome.out = readFile(running.outFile);
    outcome.err = readFile(running.errFile);
    std::remove(running.outFile.c_str());
    std::remove(running.errFile.c_str());
    running.pid = -1;
    return outcome;
}

Outcome run(const Launch& launch, std::chrono::milliseconds limit) {
    Running running = start(launch);
    return finish(running, limit);
}

}  // namespace programs
