// Timings without a benchmark library, for every build the engine has (the
// portable one, WebAssembly under node): the shipped texture as a whole at
// 256 and 1024, and the colour, combiner and distortion operations one by
// one, each the minimum of repeated runs, with a memcpy of one layer for scale.
//
//   texture_timing [--quick] [--large] [NAME...]
//
// Prints one line per measurement: name, size, milliseconds of processor time. --quick runs
// each a few times only (for a smoke test); --large times the operations at
// 2048 too; NAMEs ("texture" or operations) time only those.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <functional>

#include "engine/engine.h"
#include "viewer/compiled_texture.h"

namespace {

int repeats = 15;

// Processor time of this process (the other programs of a busy machine do
// not count), the minimum over the runs. WebAssembly has no processor time
// (and a clock() of whole milliseconds): the elapsed time there.
double nowMs() {
#if defined(__EMSCRIPTEN__)
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
#else
    return 1e3 * double(std::clock()) / CLOCKS_PER_SEC;
#endif
}

double minimumMs(const std::function<void()>& run, int times) {
    double best = 1e30;
    for (int k = 0; k < times; ++k) {
        const double start = nowMs();
        run();
        best = std::min(best, nowMs() - start);
    }
    return best;
}

// Layers 0 and 1 hold unlike noise, as the operations' benchmarks use.
void prepare(int32_t size) {
    tex::initLayers(size, size);
    uint32_t seed = 12345;
    for (int32_t layer = 0; layer < 2; ++layer) {
        auto* bytes = reinterpret_cast<uint8_t*>(tex::layers[layer]);
        for (size_t i = 0, n = size_t(size) * size_t(size) * 3; i < n; ++i) {
            seed = seed * 1664525u + 1013904223u;
            bytes[i] = uint8_t(seed >> 24);
        }
    }
}

struct Operation {
    const char* name;
    std::function<void()> run;
};

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    bool large = false;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (std::strcmp(argv[first], "--quick") == 0) repeats = 2;
        if (std::strcmp(argv[first], "--large") == 0) large = true;
    }
    auto wanted = [&](const char* name) {
        for (int i = first; i < argc; ++i)
            if (std::strcmp(argv[i], name) == 0) return true;
        return first == argc;
    };
    for (int32_t size : {256, 1024}) {
        if (!wanted("texture")) break;
        tex::initLayers(size, size);
        const double ms = minimumMs(
            [] {
                tex::randomSeed = 0;
                viewer::buildCompiledTexture();
            },
            size == 256 ? repeats : std::max(2, repeats / 3));
        std::printf("texture %d %.3f\n", size, ms);
        tex::freeLayers();
    }
    const Operation operations[] = {
        {"memcpyLayer", [] { std::memcpy(tex::layers[2], tex::layers[0], tex::layerWidth * size_t(tex::layerHeight) * 3); }},
        {"addLayers", [] { tex::addLayers(0, 1, 2, 0.7f, 0.45f); }},
        {"mulLayers", [] { tex::mulLayers(0, 1, 2, 1.0f, 1.0f); }},
        {"minCombineLayers", [] { tex::minCombineLayers(0, 1, 2, 1.0f, 0.8f); }},
        {"maxCombineLayers", [] { tex::maxCombineLayers(0, 1, 2, 1.0f, 0.8f); }},
        {"xorLayers", [] { tex::xorLayers(0, 1, 2, 1.0f, 2.0f); }},
        {"orLayers", [] { tex::orLayers(0, 1, 2, 1.0f, 1.0f); }},
        {"andLayers", [] { tex::andLayers(0, 1, 2, 1.5f, 1.0f); }},
        {"randCombineLayers", [] { tex::randCombineLayers(0, 1, 2, 1.0f, 1.0f); }},
        {"scaleLayerRGB", [] { tex::scaleLayerRGB(0, 2, 1.2f, 0.9f, 0.5f); }},
        {"adjustLayerRGB", [] { tex::adjustLayerRGB(0, 2, 20, -10, 5); }},
        {"sineLayerRGB", [] { tex::sineLayerRGB(0, 2, 0.02f, 0.005f, 0.01f); }},
        {"equalizeRGB", [] { tex::equalizeRGB(0, 2); }},
        {"stretchRGB", [] { tex::stretchRGB(0, 2); }},
        {"scaleLayerHSV", [] { tex::scaleLayerHSV(0, 2, 1.1f, 0.9f, 1.2f); }},
        {"adjustLayerHSV", [] { tex::adjustLayerHSV(0, 2, 30.0f, 0.1f, -10.0f); }},
        {"sineDistort", [] { tex::sineDistort(0, 2, 0.05f, 6.0f, 0.08f, 4.0f); }},
        {"mapDistort", [] { tex::mapDistort(0, 1, 2, 0.05f, -0.03f); }},
        {"twirlLayer", [] { tex::twirlLayer(0, 2, 133.0f, 338.98306f); }},
        {"tunnelDistort", [] { tex::tunnelDistort(0, 2, 8192.0f); }},
        {"logPolLayer", [] { tex::logPolLayer(0, 2); }},
        {"sculptureLayer", [] { tex::sculptureLayer(0, 2); }},
        {"erodeLayer", [] { tex::erodeLayer(0, 2); }},
        {"dilateLayer", [] { tex::dilateLayer(0, 2); }},
    };
    for (int32_t size : {256, 1024, 2048}) {
        if (size == 2048 && !large) break;
        prepare(size);
        for (const Operation& op : operations) {
            if (!wanted(op.name)) continue;
            const double ms = minimumMs(op.run, size == 256 ? repeats : std::max(2, repeats / 3));
            std::printf("%s %d %.4f\n", op.name, size, ms);
        }
        tex::freeLayers();
    }
    return 0;
}
