// Every operation with hostile values in each slot in turn, on a 256 by 256
// engine: each call must return (the sanitizer build catches any memory or
// undefined-behaviour fault) and must leave every layer that none of its layer
// slots names exactly as it was.
#include <cstring>
#include <string>
#include <vector>

#include "extremes.h"
#include "test_util.h"

namespace {

using namespace textest;

class ExtremeArguments : public ::testing::TestWithParam<int32_t> {
protected:
    void SetUp() override {
        tex::initLayers(256, 256);
        for (int32_t layer = 0; layer < tex::LAYER_COUNT; ++layer) {
            fillNoise(layer, uint32_t(layer + 1));
            original[layer] = snapshot(layer);
        }
    }
    void TearDown() override { tex::freeLayers(); }
    bool unchanged(int32_t layer) const {
        return std::memcmp(tex::layers[layer], original[layer].data(), original[layer].size()) == 0;
    }
    void restore(int32_t layer) { std::memcpy(tex::layers[layer], original[layer].data(), original[layer].size()); }
    std::vector<uint8_t> original[tex::LAYER_COUNT];
};

TEST_P(ExtremeArguments, ReturnAndTouchOnlyNamedLayers) {
    const tex::OperationInfo& row = tex::operationTable()[GetParam()];
    const size_t used = std::strlen(row.slots);
    for (int slot = 0; slot < 10; ++slot) {
        for (float value : EXTREME_VALUES) {
            float params[10];
            ordinaryRecord(row, params);
            params[slot] = value;
            bool named[tex::LAYER_COUNT] = {};
            for (size_t k = 0; k < used; ++k) {
                const int32_t layer = tex::slotInteger(params[k]);
                if (row.slots[k] == tex::SLOT_LAYER && layer >= 0 && layer < tex::LAYER_COUNT) named[layer] = true;
            }
            tex::randomSeed = 0;
            tex::runOperation(row.opcode, params);
            for (int32_t layer = 0; layer < tex::LAYER_COUNT; ++layer) {
                if (named[layer]) {
                    restore(layer);
                } else {
                    ASSERT_TRUE(unchanged(layer))
                        << row.name << ": slot " << slot << " = " << value << " changed layer " << layer;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, ExtremeArguments, ::testing::Range(int32_t(0), tex::operationCount()),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                             return std::string(tex::operationTable()[info.param].name);
                         });

}  // namespace
