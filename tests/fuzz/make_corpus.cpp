// Writes the seed corpora of the fuzz targets into two folders:
//   document/  a one-record document per assigned opcode, its slots holding
//              boundary values (layer slots valid indices), and one with a
//              count beyond the limit;
//   authoring/ for each opcode, a short byte script appending, replacing and
//              undoing that operation.
// usage: make_corpus DOCUMENT_DIR AUTHORING_DIR
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/operations.h"

namespace {

const float BOUNDARY[] = {0.0f, -1.0f, 1.0f, 0.5f, 255.0f, 256.0f, 65536.0f, 1e9f, -1e9f, 3e38f};

void writeBytes(const std::string& path, const void* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(data, 1, size, file) != size) {
        std::fprintf(stderr, "make_corpus: cannot write %s\n", path.c_str());
        std::exit(1);
    }
    std::fclose(file);
}

// Slots for one record: layer slots 1, 2, 4 in turn, every other slot the
// next boundary value, starting at a different one for each opcode.
void recordSlots(const tex::OperationInfo& row, float params[10]) {
    int layer = 0;
    const float layerChoice[] = {1.0f, 2.0f, 4.0f};
    for (int k = 0; k < 10; ++k) {
        const bool isLayer = k < int(std::strlen(row.slots)) && row.slots[k] == tex::SLOT_LAYER;
        params[k] = isLayer ? layerChoice[layer++ % 3] : BOUNDARY[(row.opcode + k) % 10];
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_corpus DOCUMENT_DIR AUTHORING_DIR\n");
        return 2;
    }
    const std::string documents = argv[1], scripts = argv[2];
    for (int32_t i = 0; i < tex::operationCount(); ++i) {
        const tex::OperationInfo& row = tex::operationTable()[i];
        std::memset(tex::layerPrograms, 0, sizeof tex::layerPrograms);
        tex::LayerProgram& program = tex::layerPrograms[4];
        program.count = 1;
        program.opcode[0] = row.opcode;
        recordSlots(row, program.params[0]);
        writeBytes(documents + "/" + row.name + ".tex", tex::layerPrograms, sizeof tex::layerPrograms);

        // append-and-run, replace at 0, undo with rebuild (see authoring_fuzz.cpp)
        std::vector<uint8_t> script;
        auto record = [&](uint8_t command, uint8_t index) {
            script.insert(script.end(), {command, 4, uint8_t(row.opcode), index});
            const auto* bytes = reinterpret_cast<const uint8_t*>(program.params[0]);
            script.insert(script.end(), bytes, bytes + 40);
        };
        record(0, 0xFF);
        record(2, 0);
        script.insert(script.end(), {8 + 3, 4});
        writeBytes(scripts + "/" + row.name + ".bin", script.data(), script.size());
    }
    std::memset(tex::layerPrograms, 0, sizeof tex::layerPrograms);
    for (tex::LayerProgram& program : tex::layerPrograms) program.count = 1000;
    writeBytes(documents + "/counts-beyond-limit.tex", tex::layerPrograms, sizeof tex::layerPrograms);
    return 0;
}
