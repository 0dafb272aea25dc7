// Generators at 256x256 and 2048x2048, beside BM_MemcpyLayer in core_bench.
#include "bench_util.h"

using namespace texbench;


TEX_OPERATION_BENCH(BM_SubPlasma, tex::subPlasma(1, 64, 12345, 256, true));
TEX_OPERATION_BENCH(BM_SubPlasmaStep4, tex::subPlasma(1, 4, 12345, 256, true));
TEX_OPERATION_BENCH(BM_SubPlasmaStep2, tex::subPlasma(1, 2, 12345, 256, true));
TEX_OPERATION_BENCH(BM_SubPlasmaStep16, tex::subPlasma(1, 16, 12345, 256, true));
TEX_OPERATION_BENCH(BM_SinePlasma, tex::sinePlasma(1, 0.05f, 0.11f, 256));
TEX_OPERATION_BENCH(BM_PerlinNoise, tex::perlinNoise(1, 64, 12345, 256, 128, 6, true));
TEX_OPERATION_BENCH(BM_BlobsLayer, tex::blobsLayer(1, 7, 16, true));
TEX_OPERATION_BENCH(BM_CellMachine, tex::cellMachine(1, 5, 30));

// The escape iteration's own cost: besides the time per layer, the time per
// magnitude test (count + 1 of them for a pixel of count 0..255, its red
// byte), so that the figure does not depend on how much of the set is in view.
static void BM_MandelBrot(benchmark::State& state) {
    texbench::prepareLayers(int32_t(state.range(0)));
    for (auto _ : state) {
        tex::mandelBrot(1, -2.1f, 3.0f, -1.3f, 2.6f, 16.0f);
        benchmark::ClobberMemory();
    }
    double tests = 0;
    for (size_t i = 0, n = size_t(tex::layerWidth) * size_t(tex::layerHeight); i < n; ++i)
        tests += double(tex::layers[1][i].red) + 1.0;
    state.counters["per_test"] =
        benchmark::Counter(tests * double(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    texbench::countPixels(state);
    tex::freeLayers();
}
TEX_BENCH(BM_MandelBrot);
