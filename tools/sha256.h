// SHA-256 of a byte string, as lowercase hexadecimal: how texgen hash and the
// tests' hash manifest name a layer's pixels, so that builds and machines can
// be compared with any other SHA-256 tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace texlisting {

std::string sha256Hex(const uint8_t* data, size_t size);

}  // namespace texlisting
