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

// The same at other sizes (the studio renders 1024 too).
static void BM_Testin3TextureAt(benchmark::State& state) {
    tex::initLayers(int32_t(state.range(0)), int32_t(state.range(0)));
    for (auto _ : state) {
        tex::randomSeed = 0;
        viewer::buildCompiledTexture();
        benchmark::ClobberMemory();
    }
    tex::freeLayers();
}
BENCHMARK(BM_Testin3TextureAt)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);
