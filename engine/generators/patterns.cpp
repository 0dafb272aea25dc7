// Pattern generators: metaball blobs, a one-dimensional cellular automaton
// and the Mandelbrot set.
//
// Not built yet: every procedure here does nothing until its family lands.
#include "engine/internal.h"

namespace tex {

void blobsLayer(int32_t, int32_t, int32_t, bool) {}
void cellMachine(int32_t, int32_t, int32_t) {}
void mandelBrot(int32_t, float, float, float, float, float) {}

}  // namespace tex
