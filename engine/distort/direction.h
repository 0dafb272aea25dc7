// The relief's direction code of a Sobel gradient (gx, gy), both in
// -1020..1020, in its three forms; all give the same byte for every gradient.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tex {

// Double-precision arc tangent with the extended formula as fallback.
uint8_t directionCode(int32_t gx, int32_t gy);
// Polynomial arc tangent, falling back to directionCode near a code boundary.
uint8_t fastDirectionCode(int32_t gx, int32_t gy);
// out[i] = the code of (gx[i], gy[i]) for i < count: fastDirectionCode in a
// loop that vectorises.
void directionCodes(const int32_t* gx, const int32_t* gy, uint8_t* out, size_t count);

}  // namespace tex
