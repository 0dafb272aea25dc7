// compiledview: builds its texture from direct calls in the program (no
// document is read), converts layer 4 itself and shows it like fileview.
#include <cstdlib>
#include <new>

#include "engine/engine.h"
#include "viewer/compiled_texture.h"
#include "viewer/program.h"
#include "viewer/window.h"

namespace viewer {

void buildTexture() {
    tex::initLayers(256, 256);
    buildCompiledTexture();
    // Lives until the program ends, as the window shows it to the last paint.
    texturePixels = static_cast<uint32_t*>(std::malloc(65536 * sizeof(uint32_t)));
    if (!texturePixels) throw std::bad_alloc();
    convertCompiledTexture(texturePixels);
    tex::freeLayers();
    imageWidth = 256;
    imageHeight = 256;
}

}  // namespace viewer
