// Combining and colour: every operation at 256x256 and 2048x2048, on the
// wide passes (the default where the processor has them) and on the plain
// passes ("Plain"), and the per-pixel formula of the sine curve and the sum
// ("Literal") to show what the tables save. Compare with BM_MemcpyLayer.
#include <cmath>

#include "../tests/colour/colour_reference.h"
#include "bench_util.h"
#include "engine/colour/kernels.h"

using namespace texbench;

namespace {

template <typename Operation>
void runColour(benchmark::State& state, bool wide, Operation operation) {
    prepareLayers(int32_t(state.range(0)));
    tex::setWideUnits(wide);
    for (auto _ : state) {
        operation();
        benchmark::ClobberMemory();
    }
    tex::setWideUnits(true);
    countPixels(state);
    tex::freeLayers();
}

}  // namespace

#define COLOUR_BENCH(name, call)                            \
    static void BM_##name(benchmark::State& state) {        \
        runColour(state, true, [] { call; });               \
    }                                                       \
    TEX_BENCH(BM_##name);                                   \
    static void BM_##name##Plain(benchmark::State& state) { \
        runColour(state, false, [] { call; });              \
    }                                                       \
    TEX_BENCH(BM_##name##Plain)

COLOUR_BENCH(AddLayers, tex::addLayers(0, 1, 2, 0.7f, 0.45f));
COLOUR_BENCH(AddLayersUnit, tex::addLayers(0, 1, 2, 1.0f, 0.3f));
// Weights within 15 bits of each other: one pair product and a shift.
COLOUR_BENCH(AddLayersDifference, tex::addLayers(0, 1, 2, 1.0f, -1.0f));
COLOUR_BENCH(MulLayers, tex::mulLayers(0, 1, 2, 1.0f, 1.0f));
COLOUR_BENCH(MinCombineLayers, tex::minCombineLayers(0, 1, 2, 1.0f, 0.8f));
COLOUR_BENCH(MaxCombineLayers, tex::maxCombineLayers(0, 1, 2, 1.0f, 0.8f));
COLOUR_BENCH(XorLayers, tex::xorLayers(0, 1, 2, 1.0f, 2.0f));
COLOUR_BENCH(OrLayers, tex::orLayers(0, 1, 2, 1.0f, 1.0f));
COLOUR_BENCH(AndLayers, tex::andLayers(0, 1, 2, 1.5f, 1.0f));
// A weight no 16-bit multiplier gives: the operands come from the tables.
COLOUR_BENCH(XorLayersTables, tex::xorLayers(0, 1, 2, 100.3f, 1.0f));
COLOUR_BENCH(ScaleLayerRGB, tex::scaleLayerRGB(0, 2, 1.2f, 0.9f, 0.5f));
COLOUR_BENCH(AdjustLayerRGB, tex::adjustLayerRGB(0, 2, 20, -10, 5));
COLOUR_BENCH(SineLayerRGB, tex::sineLayerRGB(0, 2, 0.02f, 0.005f, 0.01f));
COLOUR_BENCH(EqualizeRGB, tex::equalizeRGB(0, 2));
COLOUR_BENCH(StretchRGB, tex::stretchRGB(0, 2));

// The scatter draws about 1.5 copies per pixel per unit weight; its cost is
// the random stores, not a pass over the layer.
static void BM_RandCombineLayers(benchmark::State& state) {
    runColour(state, true, [] { tex::randCombineLayers(0, 1, 2, 1.0f, 1.0f); });
}
TEX_BENCH(BM_RandCombineLayers);
static void BM_ScaleLayerHSV(benchmark::State& state) {
    runColour(state, true, [] { tex::scaleLayerHSV(0, 2, 1.1f, 0.9f, 1.2f); });
}
TEX_BENCH(BM_ScaleLayerHSV);
static void BM_AdjustLayerHSV(benchmark::State& state) {
    runColour(state, true, [] { tex::adjustLayerHSV(0, 2, 30.0f, 0.1f, -10.0f); });
}
TEX_BENCH(BM_AdjustLayerHSV);

// The formulas pixel by pixel, as a plain rendering computes them.
static void BM_SineLayerRGBLiteral(benchmark::State& state) {
    runColour(state, true, [] {
        const auto* in = reinterpret_cast<const uint8_t*>(tex::layers[0]);
        auto* out = reinterpret_cast<uint8_t*>(tex::layers[2]);
        const float f[3] = {0.02f, 0.005f, 0.01f};
        for (size_t i = 0, n = size_t(tex::layerWidth) * tex::layerHeight * 3; i < n; ++i)
            out[i] = colourref::sine(in[i], f[i % 3]);
    });
}
TEX_BENCH(BM_SineLayerRGBLiteral);
static void BM_AddLayersLiteral(benchmark::State& state) {
    runColour(state, true, [] {
        const auto* a = reinterpret_cast<const uint8_t*>(tex::layers[0]);
        const auto* b = reinterpret_cast<const uint8_t*>(tex::layers[1]);
        auto* out = reinterpret_cast<uint8_t*>(tex::layers[2]);
        for (size_t i = 0, n = size_t(tex::layerWidth) * tex::layerHeight * 3; i < n; ++i)
            out[i] = colourref::add(a[i], b[i], 0.7f, 0.45f);
    });
}
TEX_BENCH(BM_AddLayersLiteral);
static void BM_ScaleLayerHSVLiteral(benchmark::State& state) {
    runColour(state, true, [] {
        for (size_t i = 0, n = size_t(tex::layerWidth) * tex::layerHeight; i < n; ++i)
            tex::layers[2][i] = colourref::hsvPixel(tex::layers[0][i], true, 1.1f, 0.9f, 1.2f);
    });
}
TEX_BENCH(BM_ScaleLayerHSVLiteral);
