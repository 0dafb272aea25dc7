// SoftExt: x87 extended precision in portable integer arithmetic.
// (Placeholder: the software type is being written.)
#pragma once

namespace tex {
class SoftExt;
}  // namespace tex
