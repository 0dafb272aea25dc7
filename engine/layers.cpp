// Engine state and layer store: the texture size and wrap masks, the six layer
// buffers (user layers 0..4 and the scratch layer 5), the five recorded
// programs and the random state. Nothing here is initialised beyond zero until
// initLayers runs.
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "engine/internal.h"
#include "engine/threads.h"

namespace tex {

int32_t layerWidth, layerHeight, widthMask, heightMask;
Pixel* layers[6];
LayerProgram layerPrograms[LAYER_COUNT];
uint32_t randomSeed;

void initLayers(int32_t width, int32_t height) {
    extUseFullPrecision();
    if (width < 1 || height < 1 || width > MAX_LAYER_SIDE || height > MAX_LAYER_SIDE ||
        int64_t(width) * height > MAX_LAYER_PIXELS)
        throw std::invalid_argument("layer size " + std::to_string(width) + "x" + std::to_string(height) +
                                    " is not supported: each side must be 1 to 65536 pixels and the layer at most "
                                    "2^28 pixels");
    const size_t bytes = size_t(width) * size_t(height) * sizeof(Pixel);
    for (int i = 0; i <= SCRATCH_LAYER; ++i) {
        void* resized = std::realloc(layers[i], bytes);
        if (!resized) {
            // Buffers of mixed sizes must never be used: release them all.
            freeLayers();
            throw std::bad_alloc();
        }
        layers[i] = static_cast<Pixel*>(resized);
    }
    for (int i = 0; i < LAYER_COUNT; ++i) {
        layerPrograms[i].count = 0;
        std::memset(layers[i], 0, bytes);
    }
    layerWidth = width;
    layerHeight = height;
    widthMask = width - 1;
    heightMask = height - 1;
}

void freeLayers() {
    stopWorkers();
    for (int i = 0; i <= SCRATCH_LAYER; ++i) {
        std::free(layers[i]);
        layers[i] = nullptr;
    }
}

}  // namespace tex
