// Renders in a child process. The job goes to the child's standard input as
// a fixed header and the document's bytes; the child answers frames: a type
// byte, an 8-byte length and that many bytes ('P': records done and total,
// 'R': the result, 'E': a sentence).
#include "tools/studio/render_lane.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "tools/keep_look.h"
#include "tools/studio/render_cache.h"
#include "tools/texgen.h"

extern char** environ;

namespace studio {

namespace {

struct JobHeader {
    int32_t layer, width, height, png, keepLook, designWidth, designHeight, preview;
};

// Moves all `size` bytes through `call` (read or write), across
// interruptions and short transfers; false once the other end is gone.
template <typename Byte, typename Call>
bool transferExactly(int fd, Byte* at, size_t size, Call call) {
    while (size > 0) {
        const ssize_t done = call(fd, at, size);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        at += done;
        size -= size_t(done);
    }
    return true;
}

bool readExactly(int fd, char* to, size_t size) { return transferExactly(fd, to, size, ::read); }
bool writeExactly(int fd, const char* from, size_t size) { return transferExactly(fd, from, size, ::write); }

void frame(char type, const std::string& bytes) {
    const uint64_t size = bytes.size();
    std::string out(1, type);
    out.append(reinterpret_cast<const char*>(&size), sizeof size);
    out += bytes;
    if (!writeExactly(1, out.data(), out.size())) ::_exit(1);  // the studio is gone
}

}  // namespace

int runRenderWorker() {
#ifdef __linux__
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // ends with the studio that started it
#endif
    // Behind the studio's own previews for the processor.
    ::setpriority(PRIO_PROCESS, 0, 10);
    JobHeader header{};
    texlisting::Document document{};
    if (!readExactly(0, reinterpret_cast<char*>(&header), sizeof header) ||
        !readExactly(0, reinterpret_cast<char*>(document.programs), sizeof document.programs))
        return 1;
    try {
        RenderCache cache;
        if (header.keepLook) {
            // Only the programs came: the design size comes in the header.
            if (texlisting::designSizeProblem(header.designWidth, header.designHeight).empty())
                texlisting::setDesignSize(document, header.designWidth, header.designHeight);
            texlisting::replayKeepingLook(document, header.width, header.height);
        } else {
            cache.render(document, header.width, header.height, [](int64_t done, int64_t total) {
                const int64_t counts[2] = {done, total};
                frame('P', std::string(reinterpret_cast<const char*>(counts), sizeof counts));
                return true;
            });
        }
        const int layer = std::clamp(header.layer, 0, tex::LAYER_COUNT - 1);
        const size_t bytes = size_t(header.width) * size_t(header.height) * sizeof(tex::Pixel);
        if (header.png && header.preview > 0) {
            // At most `preview` a side, keeping the proportions.
            const int64_t longest = std::max(header.width, header.height);
            const int w = int(std::max<int64_t>(1, std::min<int64_t>(header.width, header.preview * header.width / longest)));
            const int h = int(std::max<int64_t>(1, std::min<int64_t>(header.height, header.preview * header.height / longest)));
            const std::string small = shrink(tex::layers[layer], header.width, header.height, w, h);
            frame('R', texgen::encodePng(reinterpret_cast<const tex::Pixel*>(small.data()), w, h));
        } else if (header.png)
            frame('R', texgen::encodePng(tex::layers[layer], header.width, header.height));
        else
            frame('R', std::string(reinterpret_cast<const char*>(tex::layers[layer]), bytes) + thumbnails());
    } catch (const std::bad_alloc&) {
        frame('E', "The studio ran out of memory: choose a smaller size.");
        return 1;
    } catch (const std::exception& error) {
        frame('E', std::string("The render failed: ") + error.what() + ".");
        return 1;
    }
    return 0;
}

std::string RenderLane::run(const RenderJob& job, const std::function<void(int64_t, int64_t)>& progress) {
    if (worker_.empty()) throw std::runtime_error("This studio cannot render that: it has no render worker.");
    const uint64_t ticket = ++newest_;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        free_.wait(lock, [&] { return !busy_ || newest_ != ticket; });
        if (newest_ != ticket) throw Superseded();
        busy_ = true;
    }
    struct Release {
        RenderLane& lane;
        ~Release() {
            std::lock_guard<std::mutex> lock(lane.mutex_);
            lane.busy_ = false;
            lane.free_.notify_all();
        }
    } release{*this};

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("The studio cannot start a render: too many files open.");
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        throw std::runtime_error("The studio cannot start a render: too many files open.");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // no client's socket stays open in the child
#endif
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv = {const_cast<char*>(worker_.c_str()), const_cast<char*>(RENDER_WORKER_ARGUMENT), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, worker_.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    struct Child {
        pid_t pid;
        int in, out;
        ~Child() {
            if (in >= 0) ::close(in);
            ::close(out);
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    } child{spawned == 0 ? pid : -1, in[1], out[0]};
    if (spawned != 0) throw std::runtime_error("The studio cannot start a render: " + std::string(std::strerror(spawned)) + ".");

    int32_t designWidth, designHeight;
    texlisting::designSize(job.document, designWidth, designHeight);
    const JobHeader header{job.layer,     job.width,    job.height,   job.png ? 1 : 0, job.keepLook ? 1 : 0,
                           designWidth, designHeight, job.preview};
    std::string request(reinterpret_cast<const char*>(&header), sizeof header);
    request.append(reinterpret_cast<const char*>(job.document.programs), sizeof job.document.programs);
    const bool sent = writeExactly(child.in, request.data(), request.size());
    ::close(child.in);
    child.in = -1;

    std::string received;
    char chunk[65536];
    for (;;) {
        if (newest_ != ticket) throw Superseded();
        pollfd p{child.out, POLLIN, 0};
        const int ready = ::poll(&p, 1, 50);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t got = ::read(child.out, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        received.append(chunk, size_t(got));
        // Whole frames from the front of what arrived.
        for (;;) {
            if (received.size() < 9) break;
            uint64_t size = 0;
            std::memcpy(&size, received.data() + 1, sizeof size);
            if (received.size() - 9 < size) break;
            const char type = received[0];
            std::string body = received.substr(9, size_t(size));
            received.erase(0, 9 + size_t(size));
            if (type == 'P' && body.size() == 16) {
                int64_t counts[2];
                std::memcpy(counts, body.data(), sizeof counts);
                if (progress) progress(counts[0], counts[1]);
            } else if (type == 'R') {
                return body;
            } else if (type == 'E') {
                throw std::runtime_error(body);
            }
        }
    }
    int status = 0;
    const pid_t ended = ::waitpid(child.pid, &status, 0);
    child.pid = -1;
    if (!sent || ended < 0 || (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL))
        throw std::runtime_error("The render was stopped, perhaps for want of memory: choose a smaller size.");
    throw std::runtime_error("The render failed: choose a smaller size or try again.");
}

}  // namespace studio
