// The engine's worker threads and the cutting of loops into ranges (see
// threads.h for what exists when). The calling thread takes ranges too, so
// n threads are the caller and n - 1 workers. Ranges are handed out in order
// from one counter; which thread runs which range does not change a byte.
#include "engine/threads.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "engine/internal.h"

// Builds without threads: emscripten without -pthread, and C++ libraries
// built without thread support (such as mingw-w64's win32 model).
#if (defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)) || \
    (defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS))
#define TEX_HAVE_THREADS 0
#else
#define TEX_HAVE_THREADS 1
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>
#endif

namespace tex {

// Chosen by measurement (bench/threads_bench.cpp): below this many pixels
// handing out the ranges costs about what a second thread saves.
int64_t splitCutoff = 65536;

namespace {

// Ranges per thread: a few, so that uneven rows (the Mandelbrot set's)
// even out, and few enough that each stays large.
constexpr int32_t PIECES_PER_THREAD = 4;
// The least work worth a range of its own, in pixels.
constexpr int64_t MIN_PIECE_WORK = 4096;

// WebAssembly workers must exist before the engine waits on them (a worker
// started during a call would wait for the very event loop the call
// blocks), so there the count is held to the pool the build starts
// (-sPTHREAD_POOL_SIZE) and the calling thread. When the program holds some
// of the pool itself, creating a thread beyond what is left fails
// (-sPTHREAD_POOL_SIZE_STRICT=2) and the split goes on with the workers it
// has, or on the calling thread alone, rather than join one that never runs.
#if defined(__EMSCRIPTEN__) && defined(TEX_THREAD_POOL_SIZE)
constexpr int32_t THREAD_LIMIT = TEX_THREAD_POOL_SIZE + 1;
#elif defined(__EMSCRIPTEN__)
constexpr int32_t THREAD_LIMIT = 1;
#else
constexpr int32_t THREAD_LIMIT = 256;  // never more, whatever is asked for
#endif

int32_t hardwareThreads() {
#if TEX_HAVE_THREADS
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n > unsigned(THREAD_LIMIT) ? THREAD_LIMIT : int32_t(n);
#else
    return 1;
#endif
}

int32_t clampCount(int64_t n) {
    if (n <= 0) return hardwareThreads();
    return n > THREAD_LIMIT ? THREAD_LIMIT : int32_t(n);
}

// TEX_THREADS names a count (0 or less: every hardware thread); anything
// else, or nothing, means every hardware thread.
int32_t defaultCount() {
    const char* text = std::getenv("TEX_THREADS");
    if (!text || !*text) return hardwareThreads();
    char* end = nullptr;
    const long long n = std::strtoll(text, &end, 10);
    if (*end != '\0') return hardwareThreads();
    return clampCount(n);
}

int32_t chosenCount = 0;  // 0 until the first use reads TEX_THREADS

#if TEX_HAVE_THREADS

struct Job {
    Split split;
    void (*call)(const void*, int64_t, int64_t);
    const void* context;
    std::atomic<int32_t> next{0};
    std::atomic<int32_t> finished{0};
};

// True on a thread while it runs a range: a split asked for there runs
// inline instead of waiting for workers that may all be busy.
thread_local bool insideRange = false;

struct Pool {
    std::mutex lock;
    std::condition_variable wake, idle;
    std::vector<std::thread> workers;
    Job* job = nullptr;      // the job being shared out, under lock
    uint64_t generation = 0;  // counts jobs, so a worker joins each once
    int32_t busy = 0;         // workers inside the current job, under lock
    bool stopping = false;

    ~Pool() { stop(); }

    void stop() {
        {
            std::lock_guard<std::mutex> hold(lock);
            stopping = true;
        }
        wake.notify_all();
        for (std::thread& t : workers) t.join();
        workers.clear();
        stopping = false;
    }

    // Takes ranges until none are left; true when this thread ran the last.
    static bool work(Job& job) {
        bool last = false;
        insideRange = true;
        for (int32_t i; (i = job.next.fetch_add(1)) < job.split.pieces;) {
            job.call(job.context, job.split.begin(i), job.split.begin(i + 1));
            last = job.finished.fetch_add(1) + 1 == job.split.pieces;
        }
        insideRange = false;
        return last;
    }

    void serve() {
        uint64_t seen = 0;
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            wake.wait(hold, [&] { return stopping || (job && generation != seen); });
            if (stopping) return;
            seen = generation;
            Job* current = job;
            ++busy;
            hold.unlock();
            work(*current);
            hold.lock();
            if (--busy == 0) idle.notify_one();
        }
    }

    // Starts workers up to `wanted`; fewer when the system refuses more.
    void grow(size_t wanted) {
        while (workers.size() < wanted) {
            try {
                workers.emplace_back([this] { serve(); });
            } catch (const std::system_error&) {
                return;
            }
        }
    }

    void run(Job& job) {
        {
            std::lock_guard<std::mutex> hold(lock);
            this->job = &job;
            ++generation;
        }
        wake.notify_all();
        work(job);
        // Every range has been taken; wait until those taken by workers are
        // done and no worker still holds the job, then withdraw it.
        std::unique_lock<std::mutex> hold(lock);
        idle.wait(hold, [&] { return busy == 0 && job.finished.load() == job.split.pieces; });
        this->job = nullptr;
    }
};

Pool& pool() {
    static Pool instance;
    return instance;
}

#endif

}  // namespace

int32_t threadCount() {
    if (chosenCount == 0) chosenCount = defaultCount();
    return chosenCount;
}

void setThreadCount(int32_t n) {
    stopWorkers();
    chosenCount = clampCount(n);
}

void stopWorkers() {
#if TEX_HAVE_THREADS
    pool().stop();
#endif
}

Split splitWork(int64_t count, int64_t itemWork, int64_t minItems) {
    const int32_t threads = threadCount();
    const int64_t work = count * (itemWork < 1 ? 1 : itemWork);
    if (threads <= 1 || count <= 1 || work < splitCutoff) return {count, 1};
    int64_t pieces = int64_t(threads) * PIECES_PER_THREAD;
    if (splitCutoff > 0 && pieces > work / MIN_PIECE_WORK) pieces = work / MIN_PIECE_WORK;
    if (pieces < threads) pieces = threads;
    if (pieces > count / (minItems < 1 ? 1 : minItems)) pieces = count / (minItems < 1 ? 1 : minItems);
    return {count, int32_t(pieces < 1 ? 1 : pieces)};
}

void (*rangeClock)(int32_t piece, int32_t pieces, double seconds) = nullptr;

void runSplit(const Split& split, void (*call)(const void*, int64_t, int64_t), const void* context) {
    if (rangeClock) {
        for (int32_t i = 0; i < split.pieces; ++i) {
            const auto start = std::chrono::steady_clock::now();
            call(context, split.begin(i), split.begin(i + 1));
            rangeClock(i, split.pieces, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        return;
    }
#if TEX_HAVE_THREADS
    if (split.pieces > 1 && !insideRange) {
        Pool& p = pool();
        p.grow(size_t(threadCount() - 1));
        if (!p.workers.empty()) {
            Job job;
            job.split = split;
            job.call = call;
            job.context = context;
            p.run(job);
            return;
        }
    }
#endif
    for (int32_t i = 0; i < split.pieces; ++i) call(context, split.begin(i), split.begin(i + 1));
}

uint32_t randomAfter(uint32_t state, uint64_t steps) {
    // (a, c) is the map of 2^k steps; (ta, tc) the steps composed so far.
    uint32_t a = RANDOM_MULTIPLIER, c = 0u, ta = 1u, tc = 0u;
    for (; steps; steps >>= 1) {
        if (steps & 1) {
            ta *= a;
            tc = tc * a + c;
        }
        c = c * a + c;
        a *= a;
    }
    return ta * state + tc;
}

}  // namespace tex
