// Arguments for any operation of the opcode table, inside each slot's useful
// range: shared by the thread tests and the scaling benchmark.
#pragma once

#include <algorithm>
#include <array>
#include <string>

#include "engine/engine.h"

namespace textest {

// Each slot at `where` (0..1) of its useful range; the layers are the
// destination alone (generators), source 1 and the destination, or sources 1
// and 2 and the destination.
inline std::array<float, 10> argumentsFor(const tex::OperationInfo& op, float where, int32_t dst) {
    std::array<float, 10> p{};
    const std::string slots = op.slots;
    const size_t layerSlots = size_t(std::count(slots.begin(), slots.end(), char(tex::SLOT_LAYER)));
    const int32_t sources[2] = {1, 2};
    size_t layersSeen = 0;
    for (size_t slot = 0; slot < slots.size(); ++slot) {
        const tex::ParameterInfo& info = op.parameters[slot];
        const float value = info.low + (info.high - info.low) * where;
        switch (slots[slot]) {
            case tex::SLOT_LAYER: p[slot] = float(++layersSeen == layerSlots ? dst : sources[layersSeen - 1]); break;
            case tex::SLOT_INTEGER: p[slot] = float(int32_t(value)); break;
            case tex::SLOT_BOOLEAN: p[slot] = 1.0f; break;
            default: p[slot] = value; break;
        }
    }
    return p;
}

}  // namespace textest
