// Texture documents as text. A listing holds, for each layer in turn, a marker
// line "// layer N" followed by one source line per counted record, exactly as
// exportSource formats it ("perlinNoise(0,64,12345,256,128,4,true);").
// Blank lines and other comments ("// ..." to the end of a line, "/* ... */")
// are ignored, so a listing is also valid C++ inside a function body. A marker
// is a line comment that starts its line and whose text begins with the word
// "layer" and a layer number; anything after the number is comment.
//
// Reading follows C++: integers are decimal int32 literals, reals are integer
// or floating literals (1.5, 1.5f, -2e-3, 7.E-6, INFINITY, NAN) rounded to
// float32 as a compiler rounds them when passing them to a float parameter,
// booleans are true or false. mandelBrot's line gives the first corner and the
// extents; the record gets the opposite corner that makes the dispatcher
// derive exactly those extents.
//
// Export then read gives back every counted record exactly, with these
// exceptions:
// - slots the operation does not use, and records beyond the count, become 0;
// - records of unassigned opcodes print as " " and are dropped;
// - integer slots come back as the int32 the dispatcher passes (truncated,
//   clamped), booleans other than 1.0 as 0.0, NaN reals as the default NaN;
// - a mandelBrot corner comes back when it is the only float32 that gives its
//   extent, which is always so when the difference of the corners is exact;
//   the extents always come back;
// - real -0.0 comes back as 0.0, and negative reals above about -1e-10 as the
//   float nearest their text: the exporter writes them with 17 decimals, too
//   few for the 9 significant digits a float32 needs ("-0" above -5e-18).
// All but the last replay exactly as the original record.
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
// number of arguments, value a slot cannot hold (an integer a float32 does not
// hold exactly, a real beyond the float32 range), record beyond MAX_OPS,
// missing layer marker, or layer markers out of increasing order.
Document parseListing(const std::string& text, const std::string& fileName);

// Formats every layer's program, in replay order, as a listing: five markers,
// each followed by one exportSource line per counted record (a count outside
// 0..MAX_OPS is clamped).
std::string formatListing(const Document& document);

// A complete C++ source file that includes engine/engine.h and defines
// `void functionName()` building the texture with direct calls in namespace
// tex, layer by layer, as compiledview does. The caller runs initLayers first.
// Every literal compiles to the recorded float32 value (shortest digits with
// an f suffix); mandelBrot gets the extents the dispatcher would pass.
// Throws std::invalid_argument when functionName is not a C++ identifier.
std::string formatCppSource(const Document& document, const std::string& functionName);

// Reads and writes documents as their DOCUMENT_SIZE raw bytes. Writing goes
// through a temporary file renamed into place. Both throw tex::IoError with a
// message naming the file and the cause.
Document readDocument(const std::string& fileName);
void writeDocument(const Document& document, const std::string& fileName);

// Whether a file's content is a document rather than a listing: it is empty,
// holds a NUL byte (every document whose counts are 0..100 does), or is
// exactly DOCUMENT_SIZE bytes with control characters no text holds.
bool looksLikeDocument(const std::string& content);
// Reads a document or a listing, told apart by content, not by name. Throws
// tex::IoError or ListingError.
Document readDocumentOrListing(const std::string& fileName);
// The same for a file's content already read; fileName is only used in
// error messages.
Document decodeDocumentOrListing(const std::string& content, const std::string& fileName);
// Writes `bytes` under a temporary name beside the file and renames it into
// place, so that a failure never leaves a truncated file. Throws tex::IoError.
void writeFileAtomically(const std::string& fileName, const std::string& bytes);

// A mandelBrot record's opposite corner from which the dispatcher derives
// exactly `extent` from `start`; false when no float32 corner does.
bool mandelBrotCorner(float start, float extent, float& corner);
// The extent the dispatcher derives from a start and a corner.
float mandelBrotExtent(float start, float corner);

// How many of a program's records the loader replays: its count, clamped to
// 0..MAX_OPS.
int32_t countedRecords(const tex::LayerProgram& program);

// Rebuilds every layer at width by height as the loader does: initLayers, the
// programs into layerPrograms, then layer 0's program to layer 4's (at most
// MAX_OPS records each, none for a negative count). The layers stay allocated
// for the caller, who calls freeLayers; initLayers' exceptions pass through.
void replayDocument(const Document& document, int32_t width, int32_t height);

}  // namespace texlisting
