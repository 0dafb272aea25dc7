// compiledview's texture as direct calls with literal arguments, grouped by
// layer in the order a document replays them (layer 0 first). Every number is
// the float32 the recorded document holds; integers are exact in float32.
#include "viewer/compiled_texture.h"

#include "engine/engine.h"

namespace viewer {

void buildCompiledTexture() {
    using namespace tex;
    perlinNoise(0, 64, 694787904, 256, 121, 4, true);
    sharpenLayer(0, 0);
    sineLayerRGB(0, 0, 0.014f, 0.03f, 0.164f);
    noiseDistort(0, 0, 58340664, 2);

    sinePlasma(1, 0.149f, 0.071f, 183.0f);
    sineLayerRGB(1, 1, 0.108f, 0.006f, 0.192f);
    tunnelDistort(1, 1, 8192.0f);

    particle(2, 1.7857143f);
    noiseDistort(2, 2, 58340664, 7);
    woodLayer(2, 2, 4);
    tileLayer(2, 2);
    twirlLayer(2, 2, 133.0f, 338.98306f);
    blurLayer(2, 2);

    perlinNoise(3, 64, 854723392, 256, 112, 3, true);
    noiseDistort(3, 3, 506578272, 3);
    adjustLayerHSV(3, 3, -117.17647f, 0.1764706f, 83.0f);
    embossLayer(3, 3);
    scaleLayerHSV(3, 3, 1.0f, 1.0f, 5.0f);

    colorLayer(4, 0, 0, 0);
    mulLayers(0, 1, 4, 1.0f, 1.0f);
    addLayers(4, 2, 4, 1.0f, -1.0f);
    mulLayers(4, 3, 4, 1.0f, 1.0f);
}

// The count is fixed: the program always builds at 256 by 256.
void convertCompiledTexture(uint32_t* pixels) {
    for (int32_t i = 0; i < 65536; ++i) {
        const tex::Pixel p = tex::layers[4][i];
        pixels[i] = uint32_t(p.red) * 65536u + uint32_t(p.green) * 256u + p.blue;
    }
}

}  // namespace viewer
