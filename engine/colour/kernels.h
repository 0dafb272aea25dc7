// Byte passes shared by the colour operations: per-byte tables, pair
// selections and the exact arithmetic of the sum and the product.
//
// Each pass exists twice: a plain loop and, when the processor has them,
// 512-bit byte-permute units (chosen at run time). Both give the same bytes;
// the tests run both against the literal formulas.
#pragma once

#include "engine/internal.h"

namespace tex {

// Whether the wide passes are used. setWideUnits(false) forces the plain
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
// out[i] = t1[a[i]] op t2[b[i]].
void bitwiseBytes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const uint8_t (&t1)[256],
                  const uint8_t (&t2)[256], BitOp op);

// out[i] = saturateByte(single(a[i]*b[i] * k)).
void mulBytes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float k);

// out[i] = saturateByte(single(a[i]*w1 + b[i]*w2)) by exact integer arithmetic
// on the wide units. Returns false, writing nothing, when the wide units are
// off or the weights do not fit that form; the caller then uses a table.
bool addBytesExact(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float w1, float w2);

}  // namespace tex
