// The layer store, the dispatcher and the simple fills, beside a memcpy of one
// layer: the floor every per-pixel operation is measured against.
#include <cstring>
#include <vector>

#include "bench_util.h"

using namespace texbench;

static void BM_MemcpyLayer(benchmark::State& state) {
    prepareLayers(int32_t(state.range(0)));
    const size_t bytes = size_t(tex::layerWidth) * tex::layerHeight * 3;
    for (auto _ : state) {
        std::memcpy(tex::layers[1], tex::layers[0], bytes);
        benchmark::ClobberMemory();
    }
    countPixels(state);
    tex::freeLayers();
}
TEX_BENCH(BM_MemcpyLayer);

static void BM_InitLayers(benchmark::State& state) {
    const auto size = int32_t(state.range(0));
    for (auto _ : state) {
        tex::initLayers(size, size);
        benchmark::ClobberMemory();
        tex::freeLayers();
    }
    countPixels(state);
}
TEX_BENCH(BM_InitLayers);

// One record through runOperation, against the direct call below.
static void BM_RunOperationColorLayer(benchmark::State& state) {
    prepareLayers(int32_t(state.range(0)));
    const float params[10] = {1, 10, 20, 30};
    for (auto _ : state) {
        tex::runOperation(4, params);
        benchmark::ClobberMemory();
    }
    countPixels(state);
    tex::freeLayers();
}
TEX_BENCH(BM_RunOperationColorLayer);

static void BM_ColorLayer(benchmark::State& state) {
    prepareLayers(int32_t(state.range(0)));
    for (auto _ : state) {
        tex::colorLayer(1, 10, 20, 30);
        benchmark::ClobberMemory();
    }
    countPixels(state);
    tex::freeLayers();
}
TEX_BENCH(BM_ColorLayer);

static void BM_CheckerBoardLayer(benchmark::State& state) {
    prepareLayers(int32_t(state.range(0)));
    for (auto _ : state) {
        tex::checkerBoardLayer(1, 32, 32, 255, 0, 0, 0, 0, 255);
        benchmark::ClobberMemory();
    }
    countPixels(state);
    tex::freeLayers();
}
TEX_BENCH(BM_CheckerBoardLayer);

static void BM_Particle(benchmark::State& state) {
    prepareLayers(int32_t(state.range(0)));
    for (auto _ : state) {
        tex::particle(1, 1.7857143f);
        benchmark::ClobberMemory();
    }
    countPixels(state);
    tex::freeLayers();
}
TEX_BENCH(BM_Particle);
