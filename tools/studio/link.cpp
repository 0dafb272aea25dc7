// Documents in links: deflate, then base64url without padding.
#include "tools/studio/link.h"

#ifndef TEX_NO_ZLIB
#include <zlib.h>
#endif

#include <cstring>
#include <vector>

#include "tools/studio/arguments.h"

namespace studio {

namespace {

const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string base64url(const std::vector<unsigned char>& bytes) {
    std::string text;
    uint32_t bits = 0;
    int held = 0;
    for (unsigned char byte : bytes) {
        bits = bits << 8 | byte;
        held += 8;
        while (held >= 6) {
            held -= 6;
            text += ALPHABET[(bits >> held) & 63];
        }
    }
    if (held > 0) text += ALPHABET[(bits << (6 - held)) & 63];
    return text;
}

bool fromBase64url(const std::string& text, std::vector<unsigned char>& bytes) {
    uint32_t bits = 0;
    int held = 0;
    for (char c : text) {
        const char* at = std::strchr(ALPHABET, c);
        if (!c || !at) return false;
        bits = bits << 6 | uint32_t(at - ALPHABET);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes.push_back(static_cast<unsigned char>(bits >> held));
        }
    }
    return true;
}

const char DAMAGED[] = "This link does not hold a whole document: copy it again with \"Copy link\".";

}  // namespace

std::string linkBytes(const texlisting::Document& document) {
    return std::string(reinterpret_cast<const char*>(document.programs), sizeof document.programs) +
           texlisting::formatExtras(document.extras).substr(0, LINK_EXTRAS_LIMIT);
}

std::string fragmentOfDeflated(const std::vector<unsigned char>& deflated) { return "doc=" + base64url(deflated); }

std::vector<unsigned char> deflatedOfLink(const std::string& link) {
    size_t start = link.find("doc=");
    if (start == std::string::npos) throw EditError(DAMAGED);
    start += 4;
    const size_t end = link.find_first_of("&#", start);
    std::vector<unsigned char> packed;
    if (!fromBase64url(link.substr(start, end == std::string::npos ? end : end - start), packed)) throw EditError(DAMAGED);
    return packed;
}

texlisting::Document documentOfInflated(const std::string& inflated) {
    texlisting::Document document{};
    if (inflated.size() > sizeof document.programs + LINK_EXTRAS_LIMIT || !texlisting::documentFromBytes(inflated, document))
        throw EditError(DAMAGED);
    return document;
}

#ifndef TEX_NO_ZLIB
std::string linkFragment(const texlisting::Document& document) {
    const std::string bytes = linkBytes(document);
    uLongf size = compressBound(uLong(bytes.size()));
    std::vector<unsigned char> packed(size);
    compress2(packed.data(), &size, reinterpret_cast<const Bytef*>(bytes.data()), uLong(bytes.size()), 9);
    packed.resize(size);
    return fragmentOfDeflated(packed);
}

texlisting::Document documentFromLink(const std::string& link) {
    const std::vector<unsigned char> packed = deflatedOfLink(link);
    // The output cannot grow past one document and its extras: a longer stream is refused.
    std::string bytes(sizeof(texlisting::Document::programs) + LINK_EXTRAS_LIMIT, '\0');
    uLongf size = uLongf(bytes.size());
    if (uncompress(reinterpret_cast<Bytef*>(bytes.data()), &size, packed.data(), uLong(packed.size())) != Z_OK)
        throw EditError(DAMAGED);
    bytes.resize(size);
    return documentOfInflated(bytes);
}
#endif

}  // namespace studio
