// Renders that run in a child process: exports, and previews too large for
// the studio's own incremental renders. The engine's state is one per
// process, so a child renders beside the studio's previews instead of
// before or after them, at a lower priority, and is killed the moment a
// newer request takes its place. The child is texgen itself, started with
// RENDER_WORKER_ARGUMENT: it reads one job on standard input and writes its
// progress and its bytes on standard output.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

#include "tools/listing.h"
#include "tools/studio/protocol.h"

namespace studio {

constexpr char RENDER_WORKER_ARGUMENT[] = "--studio-render-worker";

// texgen's main when started with RENDER_WORKER_ARGUMENT; returns the exit code.
int runRenderWorker();

struct RenderJob {
    texlisting::Document document;
    int32_t layer = 4, width = 256, height = 256;
    bool png = false;  // a PNG file of the layer; otherwise its RGB bytes, then the thumbnails
    bool keepLook = false;  // replayed keeping the look of the document's design size
    int32_t preview = 0;    // with png: shrunk to at most this many pixels a side (0: not)
};

// A render abandoned because a newer request took its place.
struct Superseded : std::runtime_error {
    Superseded() : std::runtime_error("superseded") {}
};

// One job at a time in a child process; a newer job abandons the one running
// or waiting, whose caller gets Superseded.
class RenderLane {
public:
    // `worker`: the texgen executable; empty: this lane renders nothing.
    explicit RenderLane(std::string worker) : worker_(std::move(worker)) {}
    bool available() const { return !worker_.empty(); }
    // The job's bytes. Throws Superseded, or std::runtime_error with a
    // sentence for the author when the child fails.
    std::string run(const RenderJob& job, const std::function<void(int64_t done, int64_t total)>& progress);

private:
    std::string worker_;
    std::mutex mutex_;
    std::condition_variable free_;
    std::atomic<uint64_t> newest_{0};
    bool busy_ = false;
};

}  // namespace studio
