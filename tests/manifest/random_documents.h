// Seeded random documents for the hash manifest: the same document for the
// same seed on every platform (its own generator and double arithmetic only).
#pragma once

#include <cstdint>

#include "tools/listing.h"

namespace textest {

// One to five records per layer: a generator writing that layer, then
// operations drawn from the whole opcode table, their layers mostly the
// program's own, their other slots mostly ordinary values with a few extreme
// ones (huge, infinite, NaN) among them.
texlisting::Document randomDocument(uint32_t seed);

}  // namespace textest
