// Whole-operation checks of the distortions: golden hashes of every opcode on
// fixed noise, and the engine's fast paths against the plain forms of
// reference.cpp over many layer shapes and argument sets, with the
// destination apart from and equal to the source.
#include <cinttypes>
#include <cstdio>
#include <random>
#include <vector>

#include "engine/internal.h"
#include "reference.h"
#include "test_util.h"

using namespace tex;
using textest::Params;

namespace {

// Calls the plain form of the operation a record names, arguments converted
// as the dispatcher converts them.
void runReference(int32_t opcode, const Params& p) {
    auto i = [&](int k) { return truncInt32(p[k]); };
    switch (opcode) {
        case 40: distortref::sineDistort(i(0), i(1), p[2], p[3], p[4], p[5]); break;
        case 41: distortref::twirlLayer(i(0), i(1), p[2], p[3]); break;
        case 42: distortref::mapDistort(i(0), i(1), i(2), p[3], p[4]); break;
        case 43: distortref::tileLayer(i(0), i(1)); break;
        case 44: distortref::noiseDistort(i(0), i(1), i(2), i(3)); break;
        case 45: distortref::moveDistort(i(0), i(1), i(2), i(3)); break;
        case 47: distortref::tunnelDistort(i(0), i(1), p[2]); break;
        case 48: distortref::sculptureLayer(i(0), i(1)); break;
        case 49: distortref::logPolLayer(i(0), i(1)); break;
        case 50: distortref::erodeLayer(i(0), i(1)); break;
        case 51: distortref::dilateLayer(i(0), i(1)); break;
        default: FAIL() << "no reference for opcode " << opcode;
    }
}

// The layer a record writes (the third argument for mapDistort).
int32_t destinationOf(int32_t opcode, const Params& p) { return truncInt32(p[opcode == 42 ? 2 : 1]); }

void fillInputs() {
    for (int32_t layer = 0; layer < LAYER_COUNT; ++layer) textest::fillNoise(layer, 17 + layer);
}

struct Golden {
    int32_t opcode;
    Params params;
    uint64_t hash;  // of the destination, 64x64, inputs from fillInputs
};

// Reading layer 0 (map 1), writing layer 3.
const Golden GOLDEN[] = {
    {40, {0, 3, 0.1f, 5, 0.2f, 3}, 0x3b542131ef759ddfull},
    {40, {0, 3, 0, 7, 0.05f, -4}, 0x6a0fc2bf14b1ed90ull},
    {40, {0, 3, 1.3f, 0.5f, -2, 40}, 0x46a6c72ddfbc577bull},
    {41, {0, 3, 133, 338.98306f}, 0x13f9a9196a47fc24ull},
    {41, {0, 3, -50, 20}, 0x5ffaa13ca3de5c9dull},
    {41, {0, 3, 2, 0.5f}, 0xf9b21977882db9ddull},
    {42, {0, 1, 3, 0.05f, -0.1f}, 0xa7cddebd57a24da3ull},
    {42, {0, 1, 3, 1.5f, 0.25f}, 0x8fc61dd602757659ull},
    {43, {0, 3}, 0x87afb62dac0289ddull},
    {44, {0, 3, 58340664, 2}, 0x7cc72750203026a6ull},
    {44, {0, 3, 7, 7}, 0x8df9509cde26c427ull},
    {44, {0, 3, 506578272, 16}, 0x77b740dda18f554eull},
    {45, {0, 3, 5, -9}, 0xfd64a989aa293d8full},
    {46, {0, 3, 1}, 0xe4c70edb3ef9c2c9ull},
    {46, {0, 3, 2}, 0x2ad7fd27399fa21dull},
    {46, {0, 3, 3}, 0x72bda1b367f36261ull},
    {46, {0, 3, 4}, 0xc5edd2649d229e1dull},
    {47, {0, 3, 8192}, 0x1f8f65ea4f628cf0ull},
    {47, {0, 3, -300.5f}, 0x319ab1f983aec6d7ull},
    {48, {0, 3}, 0x9cc81ba656e44a3dull},
    {49, {0, 3}, 0xb4cc05ec55744f63ull},
    {50, {0, 3}, 0x89f1f27f0b601faeull},
    {51, {0, 3}, 0x34ff817cc1b88304ull},
};

class DistortGolden : public textest::EngineTest {};

TEST_F(DistortGolden, EveryOpcodeKeepsItsHashes) {
    for (const Golden& g : GOLDEN) {
        fillInputs();
        runOperation(g.opcode, g.params.data());
        const uint64_t hash = textest::layerHash(destinationOf(g.opcode, g.params));
        EXPECT_EQ(hash, g.hash) << "opcode " << g.opcode << ": 0x" << std::hex << hash << "ull";
    }
}

// Random argument sets per opcode, from ordinary values to extreme ones.
std::vector<Params> argumentSets(int32_t opcode, std::mt19937& random) {
    auto uniform = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(random); };
    auto wide = [&](float loExponent, float hiExponent) {
        const float v = std::exp2(uniform(loExponent, hiExponent));
        return (random() & 1) ? v : -v;
    };
    const float odd[] = {0.0f, -0.0f, 1e30f, -3e38f, INFINITY, -INFINITY, NAN, 1e-40f};
    auto pick = [&] { return odd[random() % 8]; };
    std::vector<Params> sets;
    for (const Golden& g : GOLDEN)
        if (g.opcode == opcode) sets.push_back(g.params);
    for (int n = 0; n < 12; ++n) {
        const bool extreme = n >= 10;
        switch (opcode) {
            case 40:
                sets.push_back({0, 3, wide(-10, 2), wide(-4, 7), wide(-10, 2), wide(-4, 7)});
                if (extreme) sets.back()[2 + random() % 4] = pick();
                break;
            case 41:
                sets.push_back({0, 3, uniform(-600, 600), wide(-4, 10)});
                if (extreme) sets.back()[2 + random() % 2] = pick();
                break;
            case 42:
                sets.push_back({0, 1, 3, wide(-8, 3), wide(-8, 3)});
                if (extreme) sets.back()[3 + random() % 2] = pick();
                break;
            case 44: sets.push_back({0, 3, float(random() % 100000000), float(int(random() % 40) - 4)}); break;
            case 45: sets.push_back({0, 3, uniform(-1e9f, 1e9f), uniform(-300, 300)}); break;
            case 47:
                sets.push_back({0, 3, wide(-6, 16)});
                if (extreme) sets.back()[2] = pick();
                break;
            default: return sets;
        }
    }
    return sets;
}

// The engine against the plain forms: every shape, every argument set, with
// the destination apart from the source and equal to it (and to the map).
TEST(DistortFastPaths, MatchThePlainFormsOnEveryShape) {
    const int32_t shapes[][2] = {{64, 64}, {1, 1}, {1, 32}, {32, 1}, {2, 2}, {128, 16}, {8, 256}, {6, 5}, {128, 64}};
    std::mt19937 random(2024);
    for (auto& shape : shapes) {
        initLayers(shape[0], shape[1]);
        for (int32_t opcode = 40; opcode <= 51; ++opcode) {
            if (opcode == 46) continue;  // kaleidLayer has no fast form: its hashes and mirror tests cover it
            for (Params p : argumentSets(opcode, random)) {
                const int32_t dstSlot = opcode == 42 ? 2 : 1;
                // Destination apart, equal to the source, equal to the map.
                for (float dst : {3.0f, 0.0f, opcode == 42 ? 1.0f : 3.0f}) {
                    p[dstSlot] = dst;
                    fillInputs();
                    randomSeed = 99;
                    runReference(opcode, p);
                    const std::vector<uint8_t> expected = textest::snapshot(int32_t(dst));
                    const uint32_t expectedSeed = randomSeed;
                    fillInputs();
                    randomSeed = 99;
                    runOperation(opcode, p.data());
                    ASSERT_EQ(textest::snapshot(int32_t(dst)), expected)
                        << "opcode " << opcode << " on " << shape[0] << "x" << shape[1] << " args " << p[2] << ", "
                        << p[3] << ", " << p[4] << ", " << p[5] << " dst " << dst;
                    ASSERT_EQ(randomSeed, expectedSeed) << "opcode " << opcode;
                }
            }
        }
        freeLayers();
    }
}

// The tunnel computes the columns right of the centre and gives those left
// of it their partners' values, and its second row of a pair keeps the
// first's vertical weights: every width from 1 to 66 (odd ones have no
// column without a partner, even ones one) and heights of one to eight rows,
// against the plain form.
TEST(DistortFastPaths, TunnelHalvesMatchThePlainFormOnNarrowShapes) {
    for (int32_t width = 1; width <= 66; ++width)
        for (int32_t height : {1, 2, 3, 8}) {
            initLayers(width, height);
            for (float depth : {8192.0f, -300.5f, 5.0f, NAN, 0.0f}) {
                textest::fillNoise(0, uint32_t(width * 16 + height));
                distortref::tunnelDistort(0, 1, depth);
                tunnelDistort(0, 2, depth);
                ASSERT_EQ(textest::snapshot(2), textest::snapshot(1)) << width << "x" << height << " depth " << depth;
            }
        }
    freeLayers();
}

// The tunnel's and the twirl's row loops on every vector unit the machine
// has, against the plain forms: depths that are NaN, infinite, huge or
// subnormal (every column left to the scalar forms, or none), twists beyond
// the fast range and ones that turn a pixel by nearly a multiple of pi/2, on
// a wide layer whose rows span several blocks of the loops and an odd one.
TEST(DistortFastPaths, TunnelAndTwirlRowsMatchOnEveryVectorUnit) {
    const float depths[] = {8192.0f, -300.5f, NAN, INFINITY, -INFINITY, 3e38f, 1e-40f, 0.0f, 1.0f};
    const float twists[][2] = {{133.0f, 338.98306f}, {2.0f, 0.5f}, {1e30f, 1.0f}, {-600.0f, 0.01f},
                               {NAN, 1.0f},          {1.0f, 0.0f}, {6.283185f, 0.7f}};
    for (VectorUnits units : {VectorUnits::Avx2, VectorUnits::Sse2, VectorUnits::Plain}) {
        if (setVectorUnits(units) != units) continue;
        for (auto shape : {std::pair<int32_t, int32_t>{1100, 6}, {7, 9}}) {
            initLayers(shape.first, shape.second);
            for (float depth : depths) {
                textest::fillNoise(0, 5);
                distortref::tunnelDistort(0, 1, depth);
                tunnelDistort(0, 2, depth);
                ASSERT_EQ(textest::snapshot(2), textest::snapshot(1)) << vectorUnitsName(units) << " depth " << depth;
            }
            for (auto& twist : twists) {
                textest::fillNoise(0, 6);
                distortref::twirlLayer(0, 1, twist[0], twist[1]);
                twirlLayer(0, 2, twist[0], twist[1]);
                ASSERT_EQ(textest::snapshot(2), textest::snapshot(1)) << vectorUnitsName(units) << " twist " << twist[0];
            }
            freeLayers();
        }
    }
    setVectorUnits(VectorUnits::Avx512);
}

}  // namespace
