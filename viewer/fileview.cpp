// fileview: rebuilds the texture of the document "Testin3.tex" in the working
// directory at 256 by 256 and shows it. A missing, unreadable or short
// document is not handled here: its I/O error ends the program with the
// unhandled-error report.
#include "engine/engine.h"
#include "viewer/program.h"
#include "viewer/window.h"

namespace viewer {

void buildTexture() {
    tex::loadTexture(texturePixels, "Testin3.tex", 256, 256, true);
    imageWidth = 256;
    imageHeight = 256;
}

}  // namespace viewer
