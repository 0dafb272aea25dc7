#include "test_util.h"

#include <cstring>
#include <ostream>

namespace textest {

void EngineTest::SetUp() {
    tex::randomSeed = 0;
    tex::initLayers(width_, height_);
}

void EngineTest::TearDown() { tex::freeLayers(); }

void fillNoise(int32_t layer, uint32_t seed) {
    uint32_t state = seed * 2654435761u + 1u;
    auto* bytes = reinterpret_cast<uint8_t*>(tex::layers[layer]);
    const size_t n = size_t(tex::layerWidth) * tex::layerHeight * 3;
    for (size_t i = 0; i < n; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = uint8_t(state >> 24);
    }
}

void fillColour(int32_t layer, tex::Pixel colour) {
    for (size_t i = 0, n = size_t(tex::layerWidth) * tex::layerHeight; i < n; ++i) tex::layers[layer][i] = colour;
}

uint64_t layerHash(int32_t layer) {
    uint64_t hash = 14695981039346656037ull;
    const auto* bytes = reinterpret_cast<const uint8_t*>(tex::layers[layer]);
    for (size_t i = 0, n = size_t(tex::layerWidth) * tex::layerHeight * 3; i < n; ++i) {
        hash ^= bytes[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

std::vector<uint8_t> snapshot(int32_t layer) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(tex::layers[layer]);
    return std::vector<uint8_t>(bytes, bytes + size_t(tex::layerWidth) * tex::layerHeight * 3);
}

tex::Pixel& at(int32_t layer, int32_t x, int32_t y) { return tex::layers[layer][size_t(y) * tex::layerWidth + x]; }

}  // namespace textest

std::ostream& tex::operator<<(std::ostream& out, tex::Pixel p) {
    return out << "(" << int(p.red) << ", " << int(p.green) << ", " << int(p.blue) << ")";
}
