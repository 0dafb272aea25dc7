// Work splitting for the operations: a pool of worker threads owned by the
// engine, and the procedures that cut a loop into consecutive ranges and run
// them on it.
//
// Every range writes only its own part of the destination and reads only
// what no other range writes, so the result is the same bytes whatever the
// thread count and whatever order the ranges run in. Work that would take
// longer to hand out than to do (small layers) runs on the calling thread.
//
// What exists when: no thread is created until an operation splits its work
// for the first time with a thread count above 1. The workers then stay,
// blocked on a condition variable and using no processor time, until
// freeLayers or setThreadCount releases them (joined before the call
// returns), or the process ends. Between two engine calls the workers never
// run code, touch engine state or hold a lock. A nested split (inside a
// range) runs on the thread that asks for it.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/engine.h"

namespace tex {

// Work below this many pixels runs on one thread. The manifest sets it to 0
// so that even its small layers are cut into bands.
extern int64_t splitCutoff;

// Releases the workers (joins them); the next split creates them again.
void stopWorkers();

// A cut of `count` items into `pieces` consecutive ranges of nearly equal
// size; range i is [begin(i), begin(i + 1)).
struct Split {
    int64_t count;
    int32_t pieces;
    int64_t begin(int32_t i) const { return count * i / pieces; }
};

// How to cut `count` items of `itemWork` pixels each: one piece when the
// work is small or there is one thread, else a few pieces per thread, none
// with fewer than `minItems` items.
Split splitWork(int64_t count, int64_t itemWork, int64_t minItems = 1);

// For measurement only (bench/threads_bench.cpp): when set, every split
// runs its ranges one after the other on the calling thread and reports
// each range's duration, from which schedules on any thread count can be
// worked out on a machine with fewer cores.
extern void (*rangeClock)(int32_t piece, int32_t pieces, double seconds);

// Runs call(context, begin, end) for every range of the split, on the
// workers and the calling thread, and returns when all are done.
void runSplit(const Split& split, void (*call)(const void* context, int64_t begin, int64_t end), const void* context);

template <typename Body>  // body(begin, end)
void runRanges(const Split& split, const Body& body) {
    if (split.pieces <= 1) {
        body(int64_t(0), split.count);
        return;
    }
    runSplit(
        split, [](const void* context, int64_t begin, int64_t end) { (*static_cast<const Body*>(context))(begin, end); },
        &body);
}

// body(begin, end) over [0, count), items of itemWork pixels each.
template <typename Body>
void forEachRange(int64_t count, int64_t itemWork, const Body& body) {
    runRanges(splitWork(count, itemWork), body);
}

// body(y0, y1) over the rows of the layer.
template <typename Body>
void forEachRow(const Body& body) {
    forEachRange(layerHeight, layerWidth, body);
}

// body(at, length) over `bytes` bytes of whole pixels: every range but the
// last starts and ends on a pixel, so the channel of a byte is at % 3 there
// as in the whole.
template <typename Body>
void forEachByteRange(size_t bytes, const Body& body) {
    const int64_t pixels = int64_t(bytes / 3);
    const Split split = splitWork(pixels, 1);
    runRanges(split, [&](int64_t begin, int64_t end) {
        const size_t at = size_t(begin) * 3, until = end == pixels ? bytes : size_t(end) * 3;
        body(at, until - at);
    });
}

// This thread's own T, for the per-row working arrays that bands of rows
// need one of each: allocated on the thread's first use, released when the
// thread ends (a worker's when the workers are released). Kept on the heap
// rather than as thread_local arrays, which every thread of the embedding
// program would carry on its stack.
template <typename T>
T& perThread() {
    thread_local std::unique_ptr<T> block;
    if (!block) block.reset(new T);
    return *block;
}

// nextRandom's generator multiplies its state by this, modulo 2^32, per draw.
constexpr uint32_t RANDOM_MULTIPLIER = 22695477u;

// The generator's state after `steps` more draws from `state`. The
// generator is the affine map s -> a s + c modulo 2^32 (c = 0 here); the
// map of k steps is composed from the maps of 1, 2, 4, ... steps.
uint32_t randomAfter(uint32_t state, uint64_t steps);

}  // namespace tex
