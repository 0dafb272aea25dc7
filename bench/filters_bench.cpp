// The filters family: 3x3 kernels, median, per-byte maps and the smears, each
// at 256x256 and 2048x2048 beside the memcpy of core_bench.
#include "bench_util.h"

using namespace texbench;

namespace {

template <typename Run>
void runFilter(benchmark::State& state, Run run) {
    prepareLayers(int32_t(state.range(0)));
    for (auto _ : state) {
        run();
        benchmark::ClobberMemory();
    }
    countPixels(state);
    tex::freeLayers();
}

}  // namespace

#define FILTER_BENCH(name, call)                                       \
    static void BM_##name(benchmark::State& state) { runFilter(state, [] { call; }); } \
    TEX_BENCH(BM_##name)

FILTER_BENCH(BlurLayer, tex::blurLayer(0, 1));
FILTER_BENCH(BlurLayerInPlace, tex::blurLayer(1, 1));
FILTER_BENCH(SharpenLayer, tex::sharpenLayer(0, 1));
FILTER_BENCH(EmbossLayer, tex::embossLayer(0, 1));
FILTER_BENCH(EdgeHLayer, tex::edgeHLayer(0, 1));
FILTER_BENCH(EdgeVLayer, tex::edgeVLayer(0, 1));
FILTER_BENCH(MedianLayer, tex::medianLayer(0, 1));
FILTER_BENCH(MedianLayerInPlace, tex::medianLayer(1, 1));
FILTER_BENCH(InvertLayer, tex::invertLayer(0, 1));
FILTER_BENCH(WoodLayer, tex::woodLayer(0, 1, 3));
FILTER_BENCH(MotionBlur, tex::motionBlur(0, 1, 8));
FILTER_BENCH(MakeTilable, tex::makeTilable(0, 1, 32));
