// Incremental replay: the state after each layer program is kept and reused
// while the programs up to it are unchanged, and within the program the
// author works in, the state after every few records.
#include "tools/studio/render_cache.h"

#include <algorithm>
#include <cstring>

namespace studio {

namespace {

// The first record at which two programs replay differently (a different
// record, or one left out of one of them only); their common count when none.
int firstDifference(const tex::LayerProgram& a, const std::bitset<tex::MAX_OPS>& aSkip, const tex::LayerProgram& b,
                    const std::bitset<tex::MAX_OPS>& bSkip) {
    const int count = std::min(texlisting::countedRecords(a), texlisting::countedRecords(b));
    for (int i = 0; i < count; ++i)
        if (a.opcode[i] != b.opcode[i] || std::memcmp(a.params[i], b.params[i], sizeof a.params[i]) != 0 ||
            aSkip[i] != bSkip[i])
            return i;
    return count;
}

// Entries beyond the count and the sign of a negative count change nothing.
bool replaysAlike(const tex::LayerProgram& a, const std::bitset<tex::MAX_OPS>& aSkip, const tex::LayerProgram& b,
                  const std::bitset<tex::MAX_OPS>& bSkip) {
    const int count = texlisting::countedRecords(a);
    return count == texlisting::countedRecords(b) && firstDifference(a, aSkip, b, bSkip) == count;
}

size_t layerPixels() { return size_t(tex::layerWidth) * size_t(tex::layerHeight); }

}  // namespace

void RenderCache::keep(Kept& kept) {
    const size_t pixels = layerPixels();
    kept.layers.resize(pixels * tex::LAYER_COUNT);
    for (int l = 0; l < tex::LAYER_COUNT; ++l)
        std::memcpy(kept.layers.data() + size_t(l) * pixels, tex::layers[l], pixels * sizeof(tex::Pixel));
    kept.randomSeed = tex::randomSeed;
}

void RenderCache::restore(const Kept& kept) {
    const size_t pixels = layerPixels();
    for (int l = 0; l < tex::LAYER_COUNT; ++l)
        std::memcpy(tex::layers[l], kept.layers.data() + size_t(l) * pixels, pixels * sizeof(tex::Pixel));
    tex::randomSeed = kept.randomSeed;
}

void RenderCache::clear() {
    validThrough_ = -1;
    for (Kept& kept : kept_) kept.layers = {};
    steps_.clear();
    stepsLayer_ = -1;
}

bool RenderCache::render(const texlisting::Document& document, int32_t width, int32_t height, const Progress& progress,
                         const Replay& replay) {
    static const Skipped NONE{};
    const Skipped& skip = replay.skip ? *replay.skip : NONE;
    const bool keepStates = int64_t(width) * height <= KEPT_PIXELS;
    if (!keepStates || width != width_ || height != height_) clear();
    if (!tex::layers[0] || tex::layerWidth != width || tex::layerHeight != height) tex::initLayers(width, height);
    width_ = width;
    height_ = height;

    const int stop = std::clamp(replay.stopLayer, -1, tex::LAYER_COUNT - 1);
    const int focus = stop >= 0 ? stop : std::clamp(replay.focusLayer, -1, tex::LAYER_COUNT - 1);
    int first = 0;
    while (first <= validThrough_ && replaysAlike(programs_[first], skipped_[first], document.programs[first], skip[first]))
        ++first;
    // A stop in a kept program starts from the state before that program.
    const int start = stop >= 0 ? std::min(first, stop) : first;
    const int last = stop >= 0 ? stop : tex::LAYER_COUNT - 1;
    firstReplayed_ = start;
    firstRecord_ = 0;
    // The states within a program rest on the programs before it.
    if (first < stepsLayer_ || stepsLayer_ != focus || !keepStates) {
        steps_.clear();
        stepsLayer_ = focus;
        stepsProgram_ = {};
        stepsSkipped_.reset();
    }
    // The programs are the engine's document while it replays them.
    std::memcpy(tex::layerPrograms, document.programs, sizeof tex::layerPrograms);

    // Steps of the focus program from the first record that changed on are stale.
    if (keepStates && focus >= start && focus <= last) {
        const int changed = firstDifference(stepsProgram_, stepsSkipped_, document.programs[focus], skip[focus]);
        steps_.erase(steps_.lower_bound(changed), steps_.end());
        stepsProgram_ = document.programs[focus];
        stepsSkipped_ = skip[focus];
    }
    // The last record of the focus program to replay, and the kept state after
    // its record nearest before it, if any.
    const auto endOf = [&](int layer) {
        const int count = texlisting::countedRecords(document.programs[layer]);
        return layer == stop ? std::min(replay.stopRecord, count - 1) : count - 1;
    };
    const auto nearestStep = [&](int layer) {
        if (!keepStates || layer != focus) return steps_.end();
        const auto after = steps_.upper_bound(endOf(layer));
        return after == steps_.begin() ? steps_.end() : std::prev(after);
    };
    // A focus program replayed first starts from its step, not from the programs before it.
    const bool fromStep = start <= last && start == focus && nearestStep(start) != steps_.end();

    if (fromStep) {
        // restored below
    } else if (start == 0) {
        for (int layer = 0; layer < tex::LAYER_COUNT; ++layer) std::memset(tex::layers[layer], 0, layerPixels() * sizeof(tex::Pixel));
        tex::randomSeed = 0;
    } else {
        restore(kept_[start - 1]);
    }
    validThrough_ = first - 1;

    int64_t total = 0, done = 0;
    for (int layer = start; layer <= last; ++layer) total += texlisting::countedRecords(document.programs[layer]);
    for (int layer = start; layer <= last; ++layer) {
        const tex::LayerProgram& program = document.programs[layer];
        const int count = texlisting::countedRecords(program);
        const int end = endOf(layer);
        int from = 0;
        size_t stride = 1, most = 0;
        if (layer == focus && keepStates) {
            const auto best = nearestStep(layer);
            if (best != steps_.end()) {
                restore(best->second);
                from = best->first + 1;
                done += from;
                firstRecord_ = from;
            }
            most = std::max<size_t>(1, STEP_BYTES / (layerPixels() * sizeof(tex::Pixel) * tex::LAYER_COUNT));
            stride = std::max<size_t>(1, (size_t(count) + most - 1) / most);
        }
        for (int i = from; i <= end; ++i, ++done) {
            if (progress && !progress(done, total)) return false;
            if (!skip[layer][i]) tex::runOperation(program.opcode[i], program.params[i]);
            // Every stride-th state, and the last one asked for, within the budget;
            // the state after a whole program is kept as that program's anyway.
            const bool whole = i == count - 1 && layer != stop;
            if (most && !whole && (size_t(i + 1) % stride == 0 || i == end) && !steps_.count(i)) {
                if (steps_.size() >= most) {
                    const auto odd = std::find_if(steps_.begin(), steps_.end(),
                                                  [&](const auto& step) { return size_t(step.first + 1) % stride != 0; });
                    if (odd == steps_.end()) continue;
                    steps_.erase(odd);
                }
                keep(steps_[i]);
            }
        }
        if (layer == stop || !keepStates) continue;
        keep(kept_[layer]);
        programs_[layer] = program;
        skipped_[layer] = skip[layer];
        validThrough_ = layer;
    }
    if (progress) progress(total, total);
    return true;
}

}  // namespace studio
