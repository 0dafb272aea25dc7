#include "bench_util.h"

namespace texbench {

void prepareLayers(int32_t size) {
    tex::initLayers(size, size);
    uint32_t state = 12345u;
    for (int layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        auto* bytes = reinterpret_cast<uint8_t*>(tex::layers[layer]);
        for (size_t i = 0, n = size_t(size) * size * 3; i < n; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            bytes[i] = uint8_t(state >> 24);
        }
    }
}

}  // namespace texbench
