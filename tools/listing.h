// Texture documents as text. A listing holds, for each layer in turn, a marker
// line "// layer N" followed by one source line per counted record, exactly as
// exportSource formats it ("perlinNoise(0,64,12345,256,128,4,true);").
// Blank lines and other comments ("// ..." to the end of a line, "/* ... */")
// are ignored, so a listing is also valid C++ inside a function body.
#pragma once

#include <stdexcept>
#include <string>

#include "engine/engine.h"

namespace texlisting {

// A listing that cannot be read. what() is "FILE:LINE:COLUMN: MESSAGE", where
// MESSAGE says what was expected there.
struct ListingError : std::runtime_error {
    ListingError(const std::string& file, int line, int column, const std::string& message);
    std::string file;
    int line, column;
    std::string message;
};

// The five layer programs of a document, every byte not set by a record 0.
struct Document {
    tex::LayerProgram programs[tex::LAYER_COUNT];
};

// Parses a listing; fileName is only used in error messages. Throws
// ListingError on the first malformed line, unknown operation name, wrong
// number of arguments, record beyond MAX_OPS or missing layer marker.
Document parseListing(const std::string& text, const std::string& fileName);

// Formats every layer's program, in replay order, as a listing (the inverse of
// parseListing for counted records whose integer slots hold integers).
std::string formatListing(const Document& document);

// A complete C++ source file that includes engine/engine.h and defines
// `void functionName()` building the texture with direct calls in namespace
// tex, layer by layer, as compiledview does. The caller runs initLayers first.
std::string formatCppSource(const Document& document, const std::string& functionName);

// Reads and writes documents as their DOCUMENT_SIZE raw bytes. Throw
// tex::IoError with a message naming the file and the cause.
Document readDocument(const std::string& fileName);
void writeDocument(const Document& document, const std::string& fileName);

}  // namespace texlisting
