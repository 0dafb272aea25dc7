// Shared benchmark set-up: every benchmark runs at the sizes below on layers
// filled with fixed noise, so that per-pixel costs compare across families.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>

#include "engine/engine.h"

namespace texbench {

// Initialises the engine at size by size and fills layers 0..4 with noise.
void prepareLayers(int32_t size);

// Registers a benchmark at 256x256 and 2048x2048 (the argument is the side).
#define TEX_BENCH(function) BENCHMARK(function)->Arg(256)->Arg(2048)->Unit(benchmark::kMicrosecond)

// A benchmark `name` timing one call statement on prepared layers at both sizes.
#define TEX_OPERATION_BENCH(name, call)              \
    static void name(benchmark::State& state) {      \
        texbench::prepareLayers(int32_t(state.range(0))); \
        for (auto _ : state) {                       \
            call;                                    \
            benchmark::ClobberMemory();              \
        }                                            \
        texbench::countPixels(state);                \
        tex::freeLayers();                           \
    }                                                \
    TEX_BENCH(name)

// Reports pixels per second so that sizes compare directly.
inline void countPixels(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(0));
}

}  // namespace texbench
