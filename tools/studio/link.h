// "Copy link": a whole document carried in an address's fragment, so that
// opening the address in any studio reproduces it byte for byte. The
// fragment is "doc=" and the document's bytes deflated (zlib) and written in
// base64url; a document of a few dozen records takes under a kilobyte.
#pragma once

#include <string>

#include "tools/listing.h"

namespace studio {

std::string linkFragment(const texlisting::Document& document);

// The document of a link: an address or fragment holding "doc=...". Throws
// EditError when it holds none or it is damaged.
texlisting::Document documentFromLink(const std::string& link);

}  // namespace studio
