// "Copy link": a whole document carried in an address's fragment, so that
// opening the address in any studio reproduces it byte for byte. The
// fragment is "doc=" and the document's programs and extras deflated (zlib)
// and written in base64url; a document of a few dozen records takes under a
// kilobyte.
//
// The framing (base64url, "doc=", the document's size) is here for every
// build; deflating is zlib's where the build has it, and the browser's own
// in the web studio's worker.
#pragma once

#include <string>
#include <vector>

#include "tools/listing.h"

namespace studio {

// A link carries the programs and the extras block, at most this much of it.
constexpr size_t LINK_EXTRAS_LIMIT = 1 << 16;

// The bytes a link deflates: the programs, then the extras block.
std::string linkBytes(const texlisting::Document& document);

// "doc=" and the deflated bytes in base64url.
std::string fragmentOfDeflated(const std::vector<unsigned char>& deflated);

// The deflated bytes a link's "doc=..." carries. Throws EditError when it
// holds none or they are not base64url.
std::vector<unsigned char> deflatedOfLink(const std::string& link);

// The document of a link's inflated bytes; EditError unless they are one
// whole document (bytes no extras block claimed stay behind).
texlisting::Document documentOfInflated(const std::string& inflated);

#ifndef TEX_NO_ZLIB
std::string linkFragment(const texlisting::Document& document);

// The document of a link: an address or fragment holding "doc=...". Throws
// EditError when it holds none or it is damaged.
texlisting::Document documentFromLink(const std::string& link);
#endif

}  // namespace studio
