// Byte passes shared by the colour operations: per-byte tables, pair
// selections and the exact arithmetic of the scaling, the offsets, the sum
// and the product.
//
// The arithmetic passes are written once (passes.h) and built for the
// baseline units and for AVX2, chosen at run time (vectorUnits). The table
// passes are plain loops, AVX2 byte shuffles (the per-channel tables) and,
// when the processor has them, 512-bit byte-permute units (setWideUnits). The
// bitwise combiners compute their operands in the arithmetic passes where a
// 16-bit multiplier gives both tables. All give the same bytes; the tests
// run each against the literal formulas.
#pragma once

#include "engine/internal.h"

namespace tex {

// Whether the 512-bit table passes are used. setWideUnits(false) forces the plain
// loops (for tests and comparisons); it returns whether wide passes are on.
bool wideUnitsEnabled();
bool setWideUnits(bool enabled);

// dst byte = tables[channel][src byte] for every byte, channels red, green,
// blue in turn; dst may be src.
void mapLayerBytes(int32_t src, int32_t dst, const uint8_t (&tables)[3][256]);

// out[i] = b[i] if lo[a[i]] <= b[i] <= hi[a[i]], else a[i].
void selectBytes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const uint8_t (&lo)[256],
                 const uint8_t (&hi)[256]);

enum class BitOp { Xor, Or, And };
// out[i] = t1[a[i]] op t2[b[i]], where t1 and t2 hold the low 8 bits of
// trunc(v * w1) and trunc(v * w2); computed from the weights where that
// gives every entry of both tables.
void bitwiseBytes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const uint8_t (&t1)[256],
                  const uint8_t (&t2)[256], float w1, float w2, BitOp op);

// out[i] = saturateByte(single(a[i]*b[i] * k)).
void mulBytes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float k);

// out[i] = saturateByte(single(a[i]*w1 + b[i]*w2)) by exact float arithmetic.
// Returns false, writing nothing, when the weights do not fit that form (far
// apart in scale, subnormal, huge or not finite); the caller then uses a table.
bool addBytesExact(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float w1, float w2);

// out[i] = b[i] where b[i]*w2 <= a[i]*w1 (>= with takeAbove), else a[i],
// compared exactly; false as addBytesExact.
bool selectBytesExact(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float w1, float w2,
                      bool takeAbove);

// The same by a threshold on one byte (passes.h), on every set of units: false
// when the weights have no such form.
bool selectBytesByThreshold(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float w1, float w2,
                            bool takeAbove);

// The HSV block conversion for the units in use (hsv_block.h).
struct HsvChange;
using HsvBlock = void (*)(const uint8_t* in, uint8_t* out, size_t count, const HsvChange& change, uint8_t* redo);
HsvBlock hsvBlockInUse();

// dst byte = saturateByte(single(src byte * factor[channel])); dst may be src.
void scaleLayerBytes(int32_t src, int32_t dst, const float (&factor)[3]);
// dst byte = src byte + offset[channel], clamped to 0..255; dst may be src.
void offsetLayerBytes(int32_t src, int32_t dst, const int32_t (&offset)[3]);

}  // namespace tex
