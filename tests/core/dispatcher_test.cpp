// The opcode table, slot conversion and the authoring operations.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <string>

#include "test_util.h"

using namespace tex;
using textest::Params;

TEST(OpcodeTable, AssignsEveryOpcodeOnceWithUniqueNames) {
    const std::set<int32_t> unassigned = {9, 18, 19, 27, 28, 29};
    std::set<std::string> names;
    for (int32_t opcode = -5; opcode < OPCODE_LIMIT + 5; ++opcode) {
        const OperationInfo* row = findOperation(opcode);
        const bool assigned = opcode >= 0 && opcode < OPCODE_LIMIT && !unassigned.count(opcode);
        ASSERT_EQ(row != nullptr, assigned) << opcode;
        if (!row) continue;
        EXPECT_EQ(row->opcode, opcode);
        EXPECT_TRUE(names.insert(row->name).second) << row->name;
        EXPECT_EQ(findOperation(row->name), row);
        // Layer slots lead every argument list.
        const std::string slots = row->slots;
        const size_t leading = std::min(slots.find_first_not_of('l'), slots.size());
        EXPECT_GE(leading, 1u) << row->name;
        EXPECT_EQ(slots.find('l', leading), std::string::npos) << row->name;
    }
    EXPECT_EQ(operationCount(), 46);
    EXPECT_EQ(findOperation("noSuchOperation"), nullptr);
    EXPECT_STREQ(findOperation(2)->name, "perlinNoise");
    EXPECT_STREQ(findOperation(2)->slots, "liiiiib");
    EXPECT_STREQ(findOperation(42)->slots, "lllff");
}

TEST(SlotConversion, IntegersTruncateAndClampBooleansNeedExactlyOne) {
    EXPECT_EQ(slotInteger(-0.5f), 0);
    EXPECT_EQ(slotInteger(255.99f), 255);
    EXPECT_EQ(slotInteger(3.9f), 3);
    EXPECT_EQ(slotInteger(-3.9f), -3);
    EXPECT_EQ(slotInteger(NAN), 0);
    EXPECT_EQ(slotInteger(3e9f), INT32_MAX);
    EXPECT_EQ(slotInteger(-INFINITY), INT32_MIN);
    EXPECT_EQ(slotInteger(2147483648.0f), INT32_MAX);
    EXPECT_EQ(slotInteger(-2147483648.0f), INT32_MIN);
    EXPECT_TRUE(slotBoolean(1.0f));
    EXPECT_FALSE(slotBoolean(2.0f));
    EXPECT_FALSE(slotBoolean(0.999f));
    EXPECT_FALSE(slotBoolean(NAN));
}

class AuthoringTest : public textest::EngineTest {};

TEST_F(AuthoringTest, RunningARecordEqualsTheDirectCall) {
    const Params params{2, 32, 16, 255, 0, 0, 1, 2, 3};
    runOperation(5, params.data());
    const uint64_t dispatched = textest::layerHash(2);
    checkerBoardLayer(2, 32, 16, 255, 0, 0, 1, 2, 3);
    EXPECT_EQ(textest::layerHash(2), dispatched);
    EXPECT_NE(textest::layerHash(2), textest::layerHash(0));
}

TEST_F(AuthoringTest, AGeneratorStartsTheProgramAfresh) {
    const Params filter{0, 0};
    layerPrograms[0].count = 5;
    for (int32_t opcode : {4, 9, -1}) {
        layerPrograms[0].count = 5;
        ASSERT_TRUE(appendOperation(0, false, opcode, filter.data()));
        EXPECT_EQ(layerPrograms[0].count, 1);
        EXPECT_EQ(layerPrograms[0].opcode[0], opcode);
    }
    ASSERT_TRUE(appendOperation(0, false, 33, filter.data()));
    EXPECT_EQ(layerPrograms[0].count, 2);
    EXPECT_EQ(layerPrograms[0].opcode[1], 33);
}

TEST_F(AuthoringTest, RunFlagDecidesWhetherTheLayerChanges) {
    const Params red{1, 255, 0, 0};
    ASSERT_TRUE(appendOperation(1, false, 4, red.data()));
    EXPECT_EQ(textest::at(1, 3, 3), (Pixel{0, 0, 0}));
    ASSERT_TRUE(appendOperation(1, true, 4, red.data()));
    EXPECT_EQ(textest::at(1, 3, 3), (Pixel{255, 0, 0}));
    // An indexed append stores the record only.
    const Params green{1, 0, 255, 0};
    ASSERT_TRUE(appendOperation(1, true, 4, green.data(), 7));
    EXPECT_EQ(textest::at(1, 3, 3), (Pixel{255, 0, 0}));
    EXPECT_EQ(layerPrograms[1].count, 1);
    EXPECT_EQ(layerPrograms[1].opcode[7], 4);
    EXPECT_EQ(layerPrograms[1].params[7][2], 255.0f);
}

TEST_F(AuthoringTest, RefusesBadLayersPositionsAndFullPrograms) {
    const Params params{0, 0};
    const LayerProgram before = layerPrograms[0];
    EXPECT_FALSE(appendOperation(5, true, 33, params.data()));
    EXPECT_FALSE(appendOperation(-1, true, 33, params.data()));
    EXPECT_FALSE(appendOperation(0, true, 33, params.data(), 100));
    EXPECT_FALSE(replaceOperation(0, -1, 33, params.data()));
    EXPECT_FALSE(replaceOperation(0, 100, 33, params.data()));
    EXPECT_FALSE(replaceOperation(5, 0, 33, params.data()));
    EXPECT_FALSE(appendOperation(0, true, 33, nullptr));
    EXPECT_EQ(std::memcmp(&before, &layerPrograms[0], sizeof before), 0);

    for (int i = 0; i < MAX_OPS; ++i) ASSERT_TRUE(appendOperation(0, false, 33, params.data()));
    const LayerProgram full = layerPrograms[0];
    EXPECT_FALSE(appendOperation(0, false, 34, params.data()));
    EXPECT_EQ(std::memcmp(&full, &layerPrograms[0], sizeof full), 0);
    // A generator empties the program, so it always has room.
    EXPECT_TRUE(appendOperation(0, false, 4, params.data()));
    EXPECT_EQ(layerPrograms[0].count, 1);
    // Replacing leaves the count and runs nothing.
    const Params white{0, 255, 255, 255};
    EXPECT_TRUE(replaceOperation(0, 0, 4, white.data()));
    EXPECT_EQ(layerPrograms[0].count, 1);
    EXPECT_EQ(textest::at(0, 0, 0), (Pixel{0, 0, 0}));
    // A negative count, as a document may hold, appends at the start.
    layerPrograms[0].count = -3;
    EXPECT_TRUE(appendOperation(0, false, 33, params.data()));
    EXPECT_EQ(layerPrograms[0].count, 1);
}

TEST_F(AuthoringTest, UndoRebuildsOrBlacksOutTheLayer) {
    const Params red{3, 255, 0, 0}, board{3, 4, 4, 0, 0, 255, 0, 255, 0};
    // A two-record program: red, then a checkerboard over it.
    layerPrograms[3].count = 2;
    layerPrograms[3].opcode[0] = 4;
    std::memcpy(layerPrograms[3].params[0], red.data(), 40);
    layerPrograms[3].opcode[1] = 5;
    std::memcpy(layerPrograms[3].params[1], board.data(), 40);
    undoOperation(3, false);
    EXPECT_EQ(layerPrograms[3].count, 1);
    EXPECT_EQ(textest::at(3, 0, 0), (Pixel{0, 0, 0}));
    layerPrograms[3].count = 2;
    undoOperation(3, true);
    EXPECT_EQ(textest::at(3, 9, 9), (Pixel{255, 0, 0}));
    undoOperation(3, true);
    EXPECT_EQ(layerPrograms[3].count, 0);
    EXPECT_EQ(textest::at(3, 9, 9), (Pixel{0, 0, 0}));
    textest::fillColour(3, {1, 1, 1});
    undoOperation(3, true);  // an empty program stays empty and paints black
    EXPECT_EQ(layerPrograms[3].count, 0);
    EXPECT_EQ(textest::at(3, 9, 9), (Pixel{0, 0, 0}));
    layerPrograms[3].count = -4;
    textest::fillColour(3, {1, 1, 1});
    undoOperation(3, true);
    EXPECT_EQ(layerPrograms[3].count, -4);
    EXPECT_EQ(textest::at(3, 9, 9), (Pixel{0, 0, 0}));
    undoOperation(7, true);  // ignored
    undoOperation(-1, true);
}

// A record whose layer slots name anything but 0..4 changes nothing, whatever
// the other slots hold: documents may contain anything.
TEST_F(AuthoringTest, RecordsWithBadLayerIndicesDoNothing) {
    for (int layer = 0; layer < LAYER_COUNT; ++layer) textest::fillNoise(layer, uint32_t(layer));
    uint64_t before[LAYER_COUNT];
    for (int layer = 0; layer < LAYER_COUNT; ++layer) before[layer] = textest::layerHash(layer);
    const uint32_t seed = randomSeed = 1234;
    for (int32_t row = 0; row < operationCount(); ++row) {
        const OperationInfo& op = operationTable()[row];
        for (size_t slot = 0; op.slots[slot] == SLOT_LAYER; ++slot)
            for (float bad : {5.0f, -1.0f, 7.0f, 1e10f, -INFINITY}) {  // (NaN converts to layer 0)
                Params params{0, 1, 2, 8, 1, 1, 1, 1, 1, 1};
                params[slot] = bad;
                runOperation(op.opcode, params.data());
            }
    }
    for (int layer = 0; layer < LAYER_COUNT; ++layer) EXPECT_EQ(textest::layerHash(layer), before[layer]) << layer;
    EXPECT_EQ(randomSeed, seed);
}
