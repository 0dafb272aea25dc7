// The engine when its workers cannot start (WebAssembly with pthreads, run
// under node): with every worker of the module's pool held by the program
// itself, or all but one, a split still gives the bytes of one thread and
// returns, and freeLayers (which joins the workers) returns too; once the
// program lets its workers go, the engine starts its own again. A thread
// created beyond the pool would start only when the creating thread went
// back to its event loop, so joining it would wait for ever.
//
// A plain program rather than a test framework's, so that this build needs
// nothing but the engine (the hash manifest's pass builds it beside).
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/threads.h"

namespace {

// A few operations that split their rows, one of them drawing random
// numbers in bands; every layer's bytes and the random state after them.
std::string render() {
    tex::initLayers(96, 80);
    tex::randomSeed = 4321;
    tex::perlinNoise(0, 8, 77, 200, 128, 4, true);
    tex::noiseDistort(0, 1, 5, 12);
    tex::blurLayer(1, 2);
    tex::equalizeRGB(2, 3);
    tex::mulLayers(3, 0, 4, 0.75f, 0.5f);
    std::string all = std::to_string(tex::randomSeed);
    for (int32_t layer = 0; layer < tex::LAYER_COUNT; ++layer)
        all.append(reinterpret_cast<const char*>(tex::layers[layer]),
                   size_t(tex::layerWidth) * size_t(tex::layerHeight) * sizeof(tex::Pixel));
    tex::freeLayers();
    return all;
}

// Threads of the program's own that wait until released, as many as the
// system grants up to `most`.
struct Holders {
    std::mutex lock;
    std::condition_variable wake;
    bool released = false;
    std::vector<std::thread> threads;

    void take(size_t most) {
        while (threads.size() < most) {
            try {
                threads.emplace_back([this] {
                    std::unique_lock<std::mutex> hold(lock);
                    wake.wait(hold, [this] { return released; });
                });
            } catch (const std::system_error&) {
                return;
            }
        }
    }

    void release() {
        {
            std::lock_guard<std::mutex> hold(lock);
            released = true;
        }
        wake.notify_all();
        for (std::thread& t : threads) t.join();
        threads.clear();
        released = false;
    }
};

int failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) ++failures;
}

}  // namespace

int main() {
    tex::splitCutoff = 0;  // cut even this small layer into bands
    tex::setThreadCount(1);
    const std::string one = render();
    tex::setThreadCount(3);
    check(render() == one, "three threads with the pool free give the bytes of one");

    // Every worker held: the pool refuses more, and the engine runs alone.
    Holders holders;
    holders.take(64);
    const size_t pool = holders.threads.size();
    check(pool >= 2 && pool < 64, "the pool refuses a thread beyond its workers");
    tex::setThreadCount(3);
    check(render() == one, "with every worker held, three threads give the bytes of one");
    check(render() == one, "and again after freeLayers joined what had started");
    holders.release();

    // All but one held: the engine gets one worker of the two it asks for.
    holders.take(pool - 1);
    tex::setThreadCount(3);
    check(render() == one, "with one worker free, three threads give the bytes of one");
    holders.release();

    // Everything released: the workers come back to the pool and serve again.
    holders.take(64);
    check(holders.threads.size() == pool, "the joined workers are back in the pool");
    holders.release();
    tex::setThreadCount(3);
    check(render() == one, "three threads after the workers came back give the bytes of one");
    return failures ? 1 : 0;
}
