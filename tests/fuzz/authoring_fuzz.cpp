// Fuzz target: the authoring operations driven by arbitrary bytes. Each step
// reads a command byte and, where needed, a layer, an index, an opcode and
// ten float32 slots from the input, then appends, replaces or undoes a record
// (with or without running it or rebuilding the layer) on a 16 by 16 engine.
#include <cstdint>
#include <cstring>

#include "engine/engine.h"
#include "engine/threads.h"

namespace {

struct Reader {
    const uint8_t* data;
    size_t size;
    template <typename T>
    T take() {
        T value{};
        const size_t n = size < sizeof(T) ? size : sizeof(T);
        std::memcpy(&value, data, n);
        data += n;
        size -= n;
        return value;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Even these small layers are cut into bands for the threads (TEX_THREADS,
    // 2 in scripts/fuzz.sh), so that bounded time and safety hold there too.
    tex::splitCutoff = 0;
    tex::initLayers(16, 16);
    tex::randomSeed = 0;
    Reader in{data, size};
    for (int step = 0; step < 64 && in.size > 0; ++step) {
        const uint8_t command = in.take<uint8_t>();
        const int32_t layer = int8_t(in.take<uint8_t>());
        float params[10];
        switch (command % 5) {
        case 0:
        case 1: {
            const int32_t opcode = int8_t(in.take<uint8_t>());
            const int32_t index = int8_t(in.take<uint8_t>());
            for (float& p : params) p = in.take<float>();
            tex::appendOperation(layer, command % 2 == 0, opcode, params, index);
            break;
        }
        case 2: {
            const int32_t opcode = int8_t(in.take<uint8_t>());
            const int32_t index = int8_t(in.take<uint8_t>());
            for (float& p : params) p = in.take<float>();
            tex::replaceOperation(layer, index, opcode, params);
            break;
        }
        case 3:
            tex::undoOperation(layer, (command & 8) != 0);
            break;
        default: {
            // Stored counts are part of a document: corrupt one on purpose.
            const int32_t count = in.take<int32_t>();
            if (layer >= 0 && layer < tex::LAYER_COUNT) tex::layerPrograms[layer].count = count;
            break;
        }
        }
    }
    for (int32_t layer = 0; layer < tex::LAYER_COUNT; ++layer) tex::undoOperation(layer, true);
    tex::freeLayers();
    return 0;
}
