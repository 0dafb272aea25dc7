// Rendering a document the way the loader replays it, keeping the work that
// the next render can reuse: after each layer's program the five layers and
// the random state are kept, so that an edit in layer L's program replays
// only the programs from L on. The pixels are exactly those of a replay from
// scratch (layers black, random state 0), which `texgen render` does.
//
// Uses the engine's global state: callers serialise every use of the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "tools/listing.h"

namespace studio {

class RenderCache {
public:
    // Called before each record with the records done and the total to do;
    // returning false abandons the render.
    using Progress = std::function<bool(int64_t done, int64_t total)>;

    // Replays `document` at width by height into tex::layers, starting after
    // the last layer program that is the same as in the kept renders. Sizes
    // above KEPT_PIXELS are replayed whole and keep nothing. Returns false
    // when `progress` abandoned it (the layers are then incomplete). Throws
    // std::invalid_argument or std::bad_alloc from initLayers.
    bool render(const texlisting::Document& document, int32_t width, int32_t height, const Progress& progress = {});

    // The first layer program the last render replayed (5: none, all were kept).
    int firstReplayed() const { return firstReplayed_; }
    // Forgets everything kept.
    void clear();

    static constexpr int64_t KEPT_PIXELS = int64_t(2048) * 2048;

private:
    struct Kept {
        std::vector<tex::Pixel> layers;  // layers 0..4 back to back
        uint32_t randomSeed = 0;
    };
    int32_t width_ = 0, height_ = 0;
    int validThrough_ = -1;  // kept_[0..validThrough_] belong to programs_[0..validThrough_]
    tex::LayerProgram programs_[tex::LAYER_COUNT] = {};
    Kept kept_[tex::LAYER_COUNT];
    int firstReplayed_ = 0;
};

}  // namespace studio
