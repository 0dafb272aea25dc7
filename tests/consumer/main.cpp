// Builds a small texture through the public interface only and prints one
// pixel, so the test can tell that headers, library and flags fit together.
#include <cstdio>

#include "engine/engine.h"
#include "engine/operations.h"

int main() {
    tex::initLayers(16, 16);
    const float params[10] = {4, 10, 20, 30};
    tex::appendOperation(4, true, 4, params);  // colorLayer(4,10,20,30)
    const tex::Pixel p = tex::layers[4][0];
    std::printf("%d %d %d %s\n", p.red, p.green, p.blue, tex::findOperation(4)->name);
    tex::freeLayers();
    return p.red == 10 && p.green == 20 && p.blue == 30 ? 0 : 1;
}
