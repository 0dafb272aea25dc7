// The fallback counts of the decisions (decide.h), kept only in builds made
// to count them; an ordinary build compiles this file to nothing.
#include "engine/numeric/decide.h"

#if defined(TEX_COUNT_FALLBACKS)
#include <atomic>

namespace tex::numeric {

namespace {

struct AtomicCount {
    std::atomic<uint64_t> decisions{0}, fallbacks{0};
};

AtomicCount counts[COUNTED_OPERATIONS];
std::atomic<int32_t> currentOperation{-1};

int rowOf(int32_t opcode) { return opcode >= 0 && opcode < COUNTED_OPERATIONS - 1 ? opcode : COUNTED_OPERATIONS - 1; }

}  // namespace

void setCountedOperation(int32_t opcode) { currentOperation.store(opcode, std::memory_order_relaxed); }

void countDecisions(uint64_t decisions, uint64_t fallbacks) {
    AtomicCount& c = counts[rowOf(currentOperation.load(std::memory_order_relaxed))];
    c.decisions.fetch_add(decisions, std::memory_order_relaxed);
    if (fallbacks) c.fallbacks.fetch_add(fallbacks, std::memory_order_relaxed);
}

DecisionCount countedDecisions(int32_t opcode) {
    const AtomicCount& c = counts[rowOf(opcode)];
    return {c.decisions.load(), c.fallbacks.load()};
}

void clearDecisionCounts() {
    for (AtomicCount& c : counts) c.decisions = 0, c.fallbacks = 0;
}

}  // namespace tex::numeric
#endif
