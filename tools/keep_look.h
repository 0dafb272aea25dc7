// Rendering a document at another size than its design size so that it keeps
// the look it has there: the design-size picture with finer detail, rather
// than the same pixel lengths on a larger canvas.
//
// The look-keeping replay runs every record of the document in order, as the
// loader does, with three kinds of change, decided per operation:
// - arguments whose unit is a length or a frequency in pixels (the unit in
//   the opcode table) are scaled by the ratio of the rendered size to the
//   design size: lengths multiplied, frequencies divided, per axis where the
//   unit names one, by the smaller ratio where it does not;
// - operations with a fixed reach of one pixel (the 3 by 3 filters, the
//   per-pixel scatter and jitter, the automaton, the log-polar unrolling) run
//   on every ratio-th pixel, that is on each of the interleaved design-size
//   pictures the layer is made of, so that their reach grows with the ratio;
// - the blur and erosion and dilation are repeated, each repetition on every
//   s-th pixel for a spacing s: the blur three times at each spacing from
//   ratio/2 down to 1 and once more at 1 (ratio² times its variance: its
//   width grows by the ratio in 3·log2(ratio) + 1 passes), erosion and
//   dilation at spacings 1, 1, 2, 4, ..., ratio/2 (exactly a square ratio
//   times wider, in log2(ratio) + 1 passes).
// The reach of those operations grows up to 64 times, so that a tiny design
// size cannot make a render take hours.
// Everything else (colours, combinations, fills, and the operations whose
// reach is already a share of the layer) runs unchanged. The exact replay
// stays what the loader does; this one is a different, deterministic mode:
// scaled real arguments are the float32 nearest the exact product (ratios
// are powers of two, so the product is exact unless it leaves the float32
// range, where it stops at the largest float), scaled integers are rounded to
// the nearest, halves away from zero, and a length that was not zero stays
// at least one pixel.
#pragma once

#include <cstdint>

#include "tools/listing.h"

namespace texlisting {

// Rebuilds every layer at width by height keeping the look of the document's
// design size; at the design size itself it is replayDocument. The layers
// stay allocated for the caller, who calls freeLayers; initLayers' exceptions
// pass through.
void replayKeepingLook(const Document& document, int32_t width, int32_t height);

// The slots of one record as the look-keeping replay passes them at the
// ratios rx and ry (rendered side over design side, powers of two).
void scaleRecord(int32_t opcode, const float params[10], double rx, double ry, float scaled[10]);

// How an operation keeps its look, in a few words, for the documentation and
// texgen's help.
const char* lookMethod(int32_t opcode);

}  // namespace texlisting
