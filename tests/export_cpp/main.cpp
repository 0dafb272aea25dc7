// For every exported document: the exported calls and the replayed document
// give the same layer 4, bit for bit. exported.h (made by run.cmake) lists
// each function with the document it came from.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "exported.h"

int main() {
    int failures = 0;
    for (const Exported& entry : EXPORTED) {
        uint32_t* loaded = nullptr;
        tex::randomSeed = 0;
        tex::loadTexture(loaded, entry.document, 128, 128, true);
        tex::randomSeed = 0;
        tex::initLayers(128, 128);
        entry.build();
        int differing = 0;
        for (int i = 0; i < 128 * 128; ++i) {
            const tex::Pixel p = tex::layers[4][i];
            differing += loaded[i] != (uint32_t(p.red) << 16 | uint32_t(p.green) << 8 | p.blue);
        }
        tex::freeLayers();
        std::free(loaded);
        if (differing) {
            std::printf("%s: %d pixels differ\n", entry.document, differing);
            ++failures;
        }
    }
    std::printf("%d of %zu exported documents differ\n", failures, sizeof EXPORTED / sizeof EXPORTED[0]);
    return failures ? 1 : 0;
}
