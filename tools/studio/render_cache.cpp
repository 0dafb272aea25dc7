// Incremental replay: the state after each layer program is kept and reused
// while the programs up to it are unchanged.
#include "tools/studio/render_cache.h"

#include <algorithm>
#include <cstring>

namespace studio {

namespace {

// Two programs replay alike when their counted records are the same; entries
// beyond the count and the sign of a negative count change nothing.
bool replaysAlike(const tex::LayerProgram& a, const tex::LayerProgram& b) {
    const int count = texlisting::countedRecords(a);
    return count == texlisting::countedRecords(b) && std::memcmp(a.opcode, b.opcode, sizeof a.opcode[0] * size_t(count)) == 0 &&
           std::memcmp(a.params, b.params, sizeof a.params[0] * size_t(count)) == 0;
}

size_t layerBytes() { return size_t(tex::layerWidth) * size_t(tex::layerHeight) * sizeof(tex::Pixel); }

}  // namespace

void RenderCache::clear() {
    validThrough_ = -1;
    for (Kept& kept : kept_) kept.layers = {};
}

bool RenderCache::render(const texlisting::Document& document, int32_t width, int32_t height, const Progress& progress) {
    const bool keep = int64_t(width) * height <= KEPT_PIXELS;
    if (!keep || width != width_ || height != height_) clear();
    if (!tex::layers[0] || tex::layerWidth != width || tex::layerHeight != height) tex::initLayers(width, height);
    width_ = width;
    height_ = height;

    int first = 0;
    while (first <= validThrough_ && replaysAlike(programs_[first], document.programs[first])) ++first;
    firstReplayed_ = first;
    // The programs are the engine's document while it replays them.
    std::memcpy(tex::layerPrograms, document.programs, sizeof tex::layerPrograms);

    const size_t bytes = layerBytes();
    if (first == 0) {
        for (int layer = 0; layer < tex::LAYER_COUNT; ++layer) std::memset(tex::layers[layer], 0, bytes);
        tex::randomSeed = 0;
    } else {
        const Kept& kept = kept_[first - 1];
        for (int layer = 0; layer < tex::LAYER_COUNT; ++layer)
            std::memcpy(tex::layers[layer], kept.layers.data() + size_t(layer) * bytes / sizeof(tex::Pixel), bytes);
        tex::randomSeed = kept.randomSeed;
    }
    validThrough_ = first - 1;

    int64_t total = 0, done = 0;
    for (int layer = first; layer < tex::LAYER_COUNT; ++layer) total += texlisting::countedRecords(document.programs[layer]);
    for (int layer = first; layer < tex::LAYER_COUNT; ++layer) {
        const tex::LayerProgram& program = document.programs[layer];
        for (int i = 0; i < texlisting::countedRecords(program); ++i, ++done) {
            if (progress && !progress(done, total)) return false;
            tex::runOperation(program.opcode[i], program.params[i]);
        }
        if (!keep) continue;
        Kept& kept = kept_[layer];
        kept.layers.resize(bytes / sizeof(tex::Pixel) * tex::LAYER_COUNT);
        for (int l = 0; l < tex::LAYER_COUNT; ++l)
            std::memcpy(kept.layers.data() + size_t(l) * bytes / sizeof(tex::Pixel), tex::layers[l], bytes);
        kept.randomSeed = tex::randomSeed;
        programs_[layer] = program;
        validThrough_ = layer;
    }
    if (progress) progress(total, total);
    return true;
}

}  // namespace studio
