// Pattern internals shared with their tests.
#pragma once

namespace tex {

// The blob field 1 - 0.444444 t^3 + 1.888888 t^2 - 2.444444 t formed in
// extended precision and rounded to float32.
float blobField(float t);

// single(sum + strength * field): one blob's share added to a float32 sum.
float addShare(float sum, float strength, float field);

}  // namespace tex
