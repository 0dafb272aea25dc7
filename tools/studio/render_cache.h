// Rendering a document the way the loader replays it, keeping the work that
// the next render can reuse: after each layer's program the five layers and
// the random state are kept, so that an edit in layer L's program replays
// only the programs from L on. Within one layer's program (the one the
// author works in) the state after every few records is kept too, so that
// an edit of record i, or a look at the layer right after record i, replays
// only from the nearest kept state before it. The pixels are exactly those
// of a replay from scratch (layers black, random state 0), which `texgen
// render` does; records left out (Compare's "without") are skipped as if
// they were not there.
//
// Uses the engine's global state: callers serialise every use of the engine.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "tools/listing.h"

namespace studio {

// Records of each layer's program that a replay leaves out.
using Skipped = std::array<std::bitset<tex::MAX_OPS>, tex::LAYER_COUNT>;

// What to replay besides the document.
struct Replay {
    const Skipped* skip = nullptr;  // records left out; none when null
    // Stop right after record `stopRecord` of layer `stopLayer`'s program
    // (-1: before its first record); the layers then stand as they do at
    // that point. No stop when stopLayer is negative.
    int stopLayer = -1, stopRecord = -1;
    // The program whose states after its records are kept, when there is
    // no stop (with a stop, the stop's program).
    int focusLayer = -1;
};

class RenderCache {
public:
    // Called before each record with the records done and the total to do;
    // returning false abandons the render.
    using Progress = std::function<bool(int64_t done, int64_t total)>;

    using Replay = studio::Replay;

    // Replays `document` at width by height into tex::layers, starting after
    // the last layer program that is the same as in the kept renders. Sizes
    // above KEPT_PIXELS are replayed whole and keep nothing. Returns false
    // when `progress` abandoned it (the layers are then incomplete). Throws
    // std::invalid_argument or std::bad_alloc from initLayers.
    bool render(const texlisting::Document& document, int32_t width, int32_t height, const Progress& progress = {},
                const Replay& replay = {});

    // The first layer program the last render replayed (5: none, all were kept).
    int firstReplayed() const { return firstReplayed_; }
    // The record the last render started from in its focus program (0: its start).
    int firstRecordReplayed() const { return firstRecord_; }
    // Forgets everything kept.
    void clear();

    static constexpr int64_t KEPT_PIXELS = int64_t(2048) * 2048;
    // At most this many bytes of states within a program are kept.
    static constexpr size_t STEP_BYTES = size_t(192) << 20;

private:
    struct Kept {
        std::vector<tex::Pixel> layers;  // layers 0..4 back to back
        uint32_t randomSeed = 0;
    };
    static void keep(Kept& kept);
    static void restore(const Kept& kept);

    int32_t width_ = 0, height_ = 0;
    int validThrough_ = -1;  // kept_[0..validThrough_] belong to programs_[0..validThrough_]
    tex::LayerProgram programs_[tex::LAYER_COUNT] = {};
    Skipped skipped_{};
    Kept kept_[tex::LAYER_COUNT];
    // States after records of one program: steps_[i] is the state right after
    // record i of stepsLayer_'s program, which read stepsProgram_ up to i.
    int stepsLayer_ = -1;
    tex::LayerProgram stepsProgram_ = {};
    std::bitset<tex::MAX_OPS> stepsSkipped_;
    std::map<int, Kept> steps_;
    int firstReplayed_ = 0, firstRecord_ = 0;
};

}  // namespace studio
