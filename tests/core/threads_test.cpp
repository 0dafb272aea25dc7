// Work split over threads: every operation gives the bytes of one thread for
// every thread count and cut, the generator's jump-ahead equals stepping, and
// no worker outlives freeLayers.
#include <dirent.h>

#include <string>

#include "engine/threads.h"
#include "operation_arguments.h"
#include "test_util.h"

using namespace tex;

namespace {

// Restores one thread and the usual cut-off after each test.
class Threads : public ::testing::Test {
protected:
    void TearDown() override {
        splitCutoff = savedCutoff;
        setThreadCount(1);
        freeLayers();
    }
    int64_t savedCutoff = splitCutoff;
};

// Every layer's bytes and the random state after one call.
std::string outcome(int32_t width, int32_t height, int32_t opcode, const std::array<float, 10>& p) {
    initLayers(width, height);
    for (int32_t layer = 0; layer < LAYER_COUNT; ++layer) textest::fillNoise(layer, uint32_t(7 + layer));
    // Some smooth content too, so that runs of one colour appear.
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width / 2; ++x) textest::at(2, x, y) = {uint8_t(x), uint8_t(y), uint8_t(x + y)};
    randomSeed = 12345;
    runOperation(opcode, p.data());
    std::string all(std::to_string(randomSeed));
    for (int32_t layer = 0; layer < LAYER_COUNT; ++layer) {
        const auto bytes = textest::snapshot(layer);
        all.append(bytes.begin(), bytes.end());
    }
    return all;
}

}  // namespace

TEST_F(Threads, EveryOperationGivesTheSameBytesForEveryThreadCount) {
    splitCutoff = 0;  // cut even these small layers
    // Powers of two and other sizes; in place and into another layer.
    const std::pair<int32_t, int32_t> sizes[] = {{64, 32}, {16, 64}, {48, 20}, {8, 3}};
    for (int32_t i = 0; i < operationCount(); ++i) {
        const OperationInfo& op = operationTable()[i];
        for (const auto& size : sizes)
            for (const float where : {0.3f, 0.7f})
                for (const int32_t dst : {1, 3}) {
                    const auto p = textest::argumentsFor(op, where, dst);
                    setThreadCount(1);
                    const std::string one = outcome(size.first, size.second, op.opcode, p);
                    for (const int32_t threads : {2, 3, 8}) {
                        setThreadCount(threads);
                        EXPECT_TRUE(outcome(size.first, size.second, op.opcode, p) == one)
                            << op.name << " at " << size.first << "x" << size.second << ", " << threads
                            << " threads, destination " << dst << ", arguments at " << where;
                    }
                }
    }
}

TEST_F(Threads, CountsFollowTheRequestWithinBounds) {
    setThreadCount(3);
    EXPECT_EQ(threadCount(), 3);
    setThreadCount(1);
    EXPECT_EQ(threadCount(), 1);
    setThreadCount(0);
    const int32_t every = threadCount();
    EXPECT_GE(every, 1);
    setThreadCount(-5);
    EXPECT_EQ(threadCount(), every);
    setThreadCount(1 << 30);
    EXPECT_EQ(threadCount(), 256);
}

TEST_F(Threads, CutsCoverTheItemsInOrderedRanges) {
    splitCutoff = 0;
    setThreadCount(3);
    for (const int64_t count : {1, 2, 5, 64, 1000}) {
        const Split split = splitWork(count, 1, 4);
        EXPECT_EQ(split.begin(0), 0);
        EXPECT_EQ(split.begin(split.pieces), count);
        for (int32_t i = 0; i < split.pieces; ++i) {
            EXPECT_LT(split.begin(i), split.begin(i + 1));
            if (split.pieces > 1) {
                EXPECT_GE(split.begin(i + 1) - split.begin(i), 4);
            }
        }
    }
    // Below the cut-off nothing is split.
    splitCutoff = 1 << 20;
    EXPECT_EQ(splitWork(256, 256).pieces, 1);
}

TEST(RandomJump, EqualsSteppingTheGenerator) {
    for (const uint32_t seed : {0u, 1u, 58340664u, 0xFFFFFFFFu}) {
        randomSeed = seed;
        for (uint64_t k = 0; k < 3000; ++k) {
            ASSERT_EQ(randomAfter(seed, k), randomSeed) << "seed " << seed << ", " << k << " steps";
            nextRandom();
        }
    }
    // A long jump: 2^32 - 1 steps in a loop take too long, 10^7 do not.
    randomSeed = 1;
    for (int k = 0; k < 10000000; ++k) nextRandom();
    EXPECT_EQ(randomAfter(1, 10000000), randomSeed);
    // The multiplier is odd, so its order divides 2^30: 2^32 steps return.
    EXPECT_EQ(randomAfter(12345, uint64_t(1) << 32), 12345u);
}

#ifdef __linux__
// Threads of this process, from /proc.
static int processThreads() {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks))
            if (entry->d_name[0] != '.') ++count;
        closedir(tasks);
    }
    return count;
}

TEST_F(Threads, WorkersExistOnlyBetweenTheFirstSplitAndFreeLayers) {
    splitCutoff = 0;
    setThreadCount(4);
    const int before = processThreads();
    initLayers(256, 256);
    EXPECT_EQ(processThreads(), before);  // none until work is split
    blurLayer(0, 1);
    EXPECT_EQ(processThreads(), before + 3);
    freeLayers();
    EXPECT_EQ(processThreads(), before);
    initLayers(256, 256);
    blurLayer(0, 1);
    setThreadCount(2);  // a new count releases them too
    EXPECT_EQ(processThreads(), before);
}
#endif
