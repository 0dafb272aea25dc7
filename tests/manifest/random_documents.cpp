#include "random_documents.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/operations.h"

namespace textest {

namespace {

// splitmix64: a small generator whose sequence is fixed by its definition.
struct Random {
    uint64_t state;
    uint32_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return uint32_t((z ^ (z >> 31)) >> 32);
    }
    uint32_t below(uint32_t n) { return next() % n; }
    // A float32 in [lo, hi), through double arithmetic only.
    float between(double lo, double hi) { return float(lo + (hi - lo) * (next() * 0x1p-32)); }
};

const float EXTREMES[] = {1e9f, -1e9f, 3e38f, -3e38f, 1e-30f, std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                          2147483647.0f, -2147483648.0f};

float integerSlot(Random& random) {
    const uint32_t kind = random.below(20);
    if (kind < 12) return float(random.below(8));
    if (kind < 17) return float(random.below(256));
    if (kind < 19) return float(int32_t(random.below(70300)) - 300);
    return EXTREMES[random.below(10)];
}

float realSlot(Random& random) {
    const uint32_t kind = random.below(20);
    if (kind < 10) return random.between(-2.0, 2.0);
    if (kind < 15) return random.between(0.0, 400.0);
    if (kind < 18) return random.between(0.0, 0.2);
    return EXTREMES[random.below(10)];
}

void fillRecord(Random& random, const tex::OperationInfo& row, int32_t layer, float params[10]) {
    const size_t slots = std::strlen(row.slots);
    // The destination is the last layer slot for every operation but the
    // generators, whose first slot it is.
    size_t destination = 0;
    for (size_t k = 0; k < slots; ++k)
        if (row.slots[k] == tex::SLOT_LAYER && row.opcode >= 10) destination = k;
    for (size_t k = 0; k < slots; ++k) {
        switch (row.slots[k]) {
            case tex::SLOT_LAYER:
                params[k] = float(k == destination && random.below(4) != 0 ? layer : int32_t(random.below(5)));
                break;
            case tex::SLOT_INTEGER: params[k] = integerSlot(random); break;
            case tex::SLOT_REAL: params[k] = realSlot(random); break;
            default: params[k] = random.below(8) == 0 ? 2.0f : float(random.below(2)); break;
        }
    }
}

}  // namespace

texlisting::Document randomDocument(uint32_t seed) {
    Random random{0x5EED0000ull + seed};
    texlisting::Document document;
    std::memset(document.programs, 0, sizeof document.programs);
    std::vector<const tex::OperationInfo*> generators, all;
    for (int32_t i = 0; i < tex::operationCount(); ++i) {
        const tex::OperationInfo& row = tex::operationTable()[i];
        all.push_back(&row);
        if (row.opcode < 10) generators.push_back(&row);
    }
    for (int32_t layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        tex::LayerProgram& program = document.programs[layer];
        program.count = int32_t(1 + random.below(5));
        for (int32_t j = 0; j < program.count; ++j) {
            const tex::OperationInfo& row =
                j == 0 ? *generators[random.below(uint32_t(generators.size()))] : *all[random.below(uint32_t(all.size()))];
            program.opcode[j] = row.opcode;
            fillRecord(random, row, layer, program.params[j]);
        }
    }
    return document;
}

}  // namespace textest
