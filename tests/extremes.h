// Hostile slot values and an ordinary record for every operation, shared by
// the extreme-argument test and the bounded-time benchmark.
#pragma once

#include <cmath>
#include <cstring>
#include <limits>

#include "engine/operations.h"

namespace textest {

constexpr float EXTREME_VALUES[] = {
    0.0f, -1.0f, 1.0f, 0.5f, -0.5f, 255.0f, 256.0f, 65536.0f, 1e9f, -1e9f, 3e38f, -3e38f,
    std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
    std::numeric_limits<float>::quiet_NaN(), 2147483647.0f, -2147483648.0f,
};
constexpr int EXTREME_COUNT = int(sizeof EXTREME_VALUES / sizeof EXTREME_VALUES[0]);

// An ordinary record of the operation: its layer slots name layers 1, 2, 3 in
// turn, integers are 4, reals 0.5 and booleans true; unused slots hold 0.
inline void ordinaryRecord(const tex::OperationInfo& row, float params[10]) {
    float layer = 1.0f;
    for (int k = 0; k < 10; ++k) {
        const char kind = k < int(std::strlen(row.slots)) ? row.slots[k] : '\0';
        switch (kind) {
        case tex::SLOT_LAYER: params[k] = layer++; break;
        case tex::SLOT_INTEGER: params[k] = 4.0f; break;
        case tex::SLOT_REAL: params[k] = 0.5f; break;
        case tex::SLOT_BOOLEAN: params[k] = 1.0f; break;
        default: params[k] = 0.0f; break;
        }
    }
}

}  // namespace textest
