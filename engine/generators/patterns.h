// Pattern internals shared with their tests.
#pragma once

#include <cstdint>

namespace tex {

// The blob field 1 - 0.444444 t^3 + 1.888888 t^2 - 2.444444 t formed in
// extended precision and rounded to float32.
float blobField(float t);

// single(sum + strength * field): one blob's share added to a float32 sum.
float addShare(float sum, float strength, float field);

// sum[x] = addShare(sum[x], strength, field[x]) for x < count <= MAX_LAYER_SIDE.
void addShares(float* sum, const float* field, float strength, int32_t count);

}  // namespace tex
