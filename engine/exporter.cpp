// Source exporter: formats one recorded operation as a line of source text.
//
// Not built yet: every record formats as " " until the exporter lands.
#include "engine/internal.h"

namespace tex {

std::string exportSource(int32_t, const float[10]) { return " "; }

}  // namespace tex
