// Shared test helpers: an engine fixture, deterministic layer contents and
// layer hashes for golden values.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "engine/engine.h"

namespace textest {

using Params = std::array<float, 10>;

// Initialises the engine at the given size for one test and releases it after.
class EngineTest : public ::testing::Test {
protected:
    explicit EngineTest(int32_t width = 64, int32_t height = 64) : width_(width), height_(height) {}
    void SetUp() override;
    void TearDown() override;
    int32_t width_, height_;
};

// Fills a layer with bytes from a fixed generator of its own (randomSeed is
// left alone).
void fillNoise(int32_t layer, uint32_t seed);
// Fills a layer with one colour.
void fillColour(int32_t layer, tex::Pixel colour);
// FNV-1a over the layer's bytes.
uint64_t layerHash(int32_t layer);
std::vector<uint8_t> snapshot(int32_t layer);
tex::Pixel& at(int32_t layer, int32_t x, int32_t y);

}  // namespace textest

namespace tex {
inline bool operator==(Pixel a, Pixel b) { return a.red == b.red && a.green == b.green && a.blue == b.blue; }
inline bool operator!=(Pixel a, Pixel b) { return !(a == b); }
std::ostream& operator<<(std::ostream& out, Pixel p);
}  // namespace tex
