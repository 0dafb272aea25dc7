// The shipped texture as a whole: the 22 calls of compiledview at 256x256.
#include "bench_util.h"
#include "viewer/compiled_texture.h"

static void BM_Testin3Texture(benchmark::State& state) {
    tex::initLayers(256, 256);
    for (auto _ : state) {
        tex::randomSeed = 0;
        viewer::buildCompiledTexture();
        benchmark::ClobberMemory();
    }
    tex::freeLayers();
}
BENCHMARK(BM_Testin3Texture)->Unit(benchmark::kMicrosecond);
