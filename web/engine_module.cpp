// The engine for JavaScript (the npm package texengine): render, hash,
// listing and document over a C interface that texengine.js wraps.
//
// Every call takes its input in one buffer the caller fills (tex_input): a
// document's 22020 bytes or a listing's text, told apart by content exactly
// as texgen reads a file. A result stays valid until the next call; a call
// that fails returns null and leaves one sentence in tex_error().
#include <emscripten/emscripten.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "tools/keep_look.h"
#include "tools/listing.h"
#include "tools/sha256.h"
#include "tools/texgen.h"

namespace {

constexpr int32_t MAX_SIDE = 8192;  // six layers of 8192 by 8192 take 1.2 GB of the 4 GB a module can have

std::string input, error, text;
std::vector<uint8_t> bytes;

// Ends with a full stop, whatever the message held.
std::string sentence(std::string message) {
    if (message.empty() || message.back() != '.') message += '.';
    return message;
}

texlisting::Document documentOf() {
    if (texlisting::looksLikeDocument(input)) {
        texlisting::Document document;
        if (!texlisting::documentFromBytes(input, document))
            throw texgen::CommandError("A texture document holds at least " + std::to_string(tex::DOCUMENT_SIZE) +
                                       " bytes, but this one holds " + std::to_string(input.size()));
        return document;
    }
    return texlisting::parseListing(input, "listing");
}

void checkSize(int32_t width, int32_t height) {
    for (const int32_t side : {width, height})
        if (side < 1 || side > MAX_SIDE || (side & (side - 1)))
            throw texgen::CommandError("The width and height must be powers of two from 1 to " +
                                       std::to_string(MAX_SIDE) + ", such as 256 or 1024, not " +
                                       std::to_string(side));
}

// Rebuilds the document's layers as texgen does (the caller frees them), at
// its design size where width and height are 0; returns the size.
void rebuild(int32_t& width, int32_t& height, int32_t layer, bool lenient, bool keepLook) {
    if (layer < 0 || layer >= tex::LAYER_COUNT)
        throw texgen::CommandError("The layer must be 0, 1, 2, 3 or 4 (4 is the texture), not " + std::to_string(layer));
    const texlisting::Document document = documentOf();
    if (width == 0 && height == 0) texlisting::designSize(document, width, height);
    checkSize(width, height);
    const std::string malformed = texgen::malformation(document);
    if (!malformed.empty() && !lenient)
        throw texgen::CommandError("The document is malformed: " + malformed +
                                   "; render it with lenient set to replay it as the viewers do");
    if (keepLook)
        texlisting::replayKeepingLook(document, width, height);
    else
        texlisting::replayDocument(document, width, height);
}

// Runs `work`, turning every failure into the error sentence and a null result.
template <typename Work>
const void* guarded(Work work) {
    error.clear();
    try {
        return work();
    } catch (const texlisting::ListingError& failure) {
        error = sentence("The listing cannot be read at line " + std::to_string(failure.line) + ", column " +
                         std::to_string(failure.column) + ": " + failure.message);
    } catch (const std::bad_alloc&) {
        error = "There is not enough memory for that size: choose a smaller one.";
    } catch (const std::exception& failure) {
        error = sentence(failure.what());
    }
    tex::freeLayers();
    return nullptr;
}

}  // namespace

extern "C" {

// A buffer of `size` bytes for the next call's input.
EMSCRIPTEN_KEEPALIVE char* tex_input(int32_t size) {
    input.assign(size_t(size), '\0');
    return input.data();
}

EMSCRIPTEN_KEEPALIVE const char* tex_error() { return error.c_str(); }

// The size in bytes of the last result.
EMSCRIPTEN_KEEPALIVE int32_t tex_result_size() { return int32_t(bytes.size()); }

// The layer's pixels: red, green, blue, row after row (tex_result_size
// tells how many, for a render at the design size).
EMSCRIPTEN_KEEPALIVE const uint8_t* tex_render(int32_t width, int32_t height, int32_t layer, int32_t lenient,
                                                int32_t keepLook) {
    return static_cast<const uint8_t*>(guarded([&] {
        rebuild(width, height, layer, lenient != 0, keepLook != 0);
        const auto* pixels = reinterpret_cast<const uint8_t*>(tex::layers[layer]);
        bytes.assign(pixels, pixels + size_t(width) * size_t(height) * sizeof(tex::Pixel));
        tex::freeLayers();
        return bytes.data();
    }));
}

// The SHA-256 of the layer's pixels in hexadecimal, as texgen hash prints it.
EMSCRIPTEN_KEEPALIVE const char* tex_hash(int32_t width, int32_t height, int32_t layer, int32_t lenient,
                                          int32_t keepLook) {
    return static_cast<const char*>(guarded([&] {
        rebuild(width, height, layer, lenient != 0, keepLook != 0);
        text = texlisting::sha256Hex(reinterpret_cast<const uint8_t*>(tex::layers[layer]),
                                     size_t(width) * size_t(height) * sizeof(tex::Pixel));
        tex::freeLayers();
        return text.c_str();
    }));
}

EMSCRIPTEN_KEEPALIVE const char* tex_listing() {
    return static_cast<const char*>(guarded([&] {
        text = texlisting::formatListing(documentOf());
        return text.c_str();
    }));
}

// The document's bytes as a .tex file holds them: the 22020 bytes of the
// programs, then its extras where it has any.
EMSCRIPTEN_KEEPALIVE const uint8_t* tex_document() {
    return static_cast<const uint8_t*>(guarded([&] {
        const std::string file = texlisting::documentBytes(documentOf());
        bytes.assign(file.begin(), file.end());
        return bytes.data();
    }));
}

}  // extern "C"
