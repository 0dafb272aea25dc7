// The texture compiledview carries in its program: 22 direct calls.
#pragma once

#include <cstdint>

namespace viewer {

// Builds the texture in the engine's layers (the engine must be initialised
// at 256 by 256); layer 4 is the result.
void buildCompiledTexture();

// Converts the first 65536 Pixels of layer 4 to red*65536 + green*256 + blue.
void convertCompiledTexture(uint32_t* pixels);

}  // namespace viewer
