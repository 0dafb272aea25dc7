// Fuzz target: arbitrary bytes as a texture document. Each input is written to
// a file and loaded through the real file path at 16 by 16 and 64 by 64, once
// as it stands (short and long files included) and once cut or padded with
// zeros to a full document, so that every record gets replayed; then every
// record of every layer is formatted as a source line.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/threads.h"

namespace {

std::string documentPath() {
    static const std::string path = "/tmp/texfuzz-document-" + std::to_string(getpid()) + ".tex";
    return path;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) std::abort();
    if (size && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
}

void loadAt(int32_t side) {
    uint32_t* pixels = nullptr;
    try {
        tex::loadTexture(pixels, documentPath(), side, side, true);
    } catch (const tex::IoError&) {
    }
    std::free(pixels);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Even these small layers are cut into bands for the threads (TEX_THREADS,
    // 2 in scripts/fuzz.sh), so that bounded time and safety hold there too.
    tex::splitCutoff = 0;
    std::vector<uint8_t> whole(data, data + size);
    whole.resize(tex::DOCUMENT_SIZE, 0);
    for (int variant = 0; variant < 2; ++variant) {
        if (variant == 0)
            writeFile(documentPath(), data, size);
        else
            writeFile(documentPath(), whole.data(), whole.size());
        tex::randomSeed = 0;
        loadAt(16);
        loadAt(64);
    }
    size_t length = 0;
    for (const tex::LayerProgram& program : tex::layerPrograms)
        for (int32_t k = 0; k < tex::MAX_OPS; ++k) length += tex::exportSource(program.opcode[k], program.params[k]).size();
    if (length == 0) std::abort();  // every record formats as at least " "
    return 0;
}
