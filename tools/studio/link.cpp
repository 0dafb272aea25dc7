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

texlisting::Document documentOfInflated(const std::vector<unsigned char>& inflated) {
    texlisting::Document document{};
    if (inflated.size() != sizeof document.programs) throw EditError(DAMAGED);
    std::memcpy(document.programs, inflated.data(), sizeof document.programs);
    return document;
}

#ifndef TEX_NO_ZLIB
std::string linkFragment(const texlisting::Document& document) {
    uLongf size = compressBound(sizeof document.programs);
    std::vector<unsigned char> packed(size);
    compress2(packed.data(), &size, reinterpret_cast<const Bytef*>(document.programs), sizeof document.programs, 9);
    packed.resize(size);
    return fragmentOfDeflated(packed);
}

texlisting::Document documentFromLink(const std::string& link) {
    const std::vector<unsigned char> packed = deflatedOfLink(link);
    texlisting::Document document{};
    uLongf size = sizeof document.programs;
    // The output cannot grow past one document: a longer stream is refused.
    if (uncompress(reinterpret_cast<Bytef*>(document.programs), &size, packed.data(), uLong(packed.size())) != Z_OK ||
        size != sizeof document.programs)
        throw EditError(DAMAGED);
    return document;
}
#endif

}  // namespace studio
