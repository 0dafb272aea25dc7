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
#include <vector>

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

// A record the author switched off: it stays in the program as the author
// sees it, but no tool replays it. `position` is its place among the layer's
// records with the bypassed ones counted, so that 0 comes before the first
// replayed record.
struct BypassedRecord {
    int32_t layer = 0, position = 0, opcode = 0;
    float params[10] = {};
};

// What a document carries beside its five programs, stored where every loader
// ignores it. The format, version 1, is a block of text lines:
//
//     texgen-extras 1
//     design-size 512x512
//     bypassed 4 1 33 40000000 40000000 00000000 ... (ten slots)
//     end
//
// one entry per line, "NAME VALUE" in printable ASCII. design-size is the
// size the author designs and judges the texture at (WxH, powers of two).
// bypassed gives the layer, the position, the opcode and the ten slots as the
// hexadecimal bits of their float32, so that every value comes back exactly.
// Entries with other names come from later versions; they are kept, in order,
// and written back. A document file holds the block right after its
// DOCUMENT_SIZE bytes; a listing holds it as comment lines ("// " before each)
// ahead of the first layer marker, but writes its bypassed records in their
// places in the programs, as comments that name the call:
//
//     // bypassed: blurLayer(4,4);
//
// A document whose design size is 256x256 and that holds nothing else extra
// has no block: it is written exactly as before extras existed.
struct Extras {
    int32_t designWidth = 0, designHeight = 0;  // as stored; 0 when the document gives none
    std::vector<BypassedRecord> bypassed;       // by layer, then position
    std::vector<std::string> unknown;            // entries this version does not read, as they stood
    // A document file's bytes beyond DOCUMENT_SIZE that no block claimed (a
    // damaged block, or whatever followed its end), written back unchanged.
    std::string trailing;
    // What was wrong with the extras as read, one sentence each; never saved.
    std::vector<std::string> warnings;
};

// The five layer programs of a document, every byte not set by a record 0,
// and its extras.
struct Document {
    tex::LayerProgram programs[tex::LAYER_COUNT];
    Extras extras;
};

// The same programs byte for byte and the same extras (warnings aside).
bool operator==(const Document& a, const Document& b);
inline bool operator!=(const Document& a, const Document& b) { return !(a == b); }

// The size without a stored one, what the viewers show.
constexpr int32_t DEFAULT_DESIGN_SIZE = 256;
// Why a stored design size cannot be used (zero, not a power of two, beyond
// the engine's limits), or empty when it can.
std::string designSizeProblem(int64_t width, int64_t height);
// The size a document is designed at: the stored one when it is usable, else
// 256x256.
void designSize(const Document& document, int32_t& width, int32_t& height);
// Stores a usable design size (256x256 stores none); throws
// std::invalid_argument with designSizeProblem's sentence otherwise.
void setDesignSize(Document& document, int32_t width, int32_t height);

// A layer's program as the author sees it: the replayed records and the
// bypassed ones in their places.
struct AuthorRecord {
    int32_t opcode = 0;
    float params[10] = {};
    bool bypassed = false;
};
std::vector<AuthorRecord> authorProgram(const Document& document, int layer);
// Stores a layer's program as the author sees it: the replayed records from
// entry 0 with the count, entries freed at the end zeroed, and the bypassed
// ones in the extras. Throws std::invalid_argument beyond MAX_OPS replayed
// records.
void setAuthorProgram(Document& document, int layer, const std::vector<AuthorRecord>& records);

// The extras block as stored in a document file, or empty when there is
// nothing to store (trailing bytes are not part of it).
std::string formatExtras(const Extras& extras);
// Reads the bytes a document file holds beyond DOCUMENT_SIZE. A damaged or
// unreadable block gives warnings and is kept whole in `trailing`; nothing in
// it is used.
Extras parseExtras(const std::string& bytes);

// Parses a listing; fileName is only used in error messages. Throws
// ListingError on the first malformed line, unknown operation name, wrong
// number of arguments, value a slot cannot hold (an integer a float32 does not
// hold exactly, a real beyond the float32 range), record beyond MAX_OPS,
// missing layer marker, or layer markers out of increasing order.
Document parseListing(const std::string& text, const std::string& fileName);

// Formats every layer's program, in replay order, as a listing: the extras
// block as comments when there is one, then five markers, each followed by one
// exportSource line per counted record (a count outside 0..MAX_OPS is
// clamped) and the bypassed records in their places.
std::string formatListing(const Document& document);

// A complete C++ source file that includes engine/engine.h and defines
// `void functionName()` building the texture with direct calls in namespace
// tex, layer by layer, as compiledview does. The caller runs initLayers first.
// Every literal compiles to the recorded float32 value (shortest digits with
// an f suffix); mandelBrot gets the extents the dispatcher would pass.
// Throws std::invalid_argument when functionName is not a C++ identifier.
std::string formatCppSource(const Document& document, const std::string& functionName);

// Reads and writes documents as their DOCUMENT_SIZE raw bytes followed by the
// extras block and the trailing bytes. Writing goes through a temporary file
// renamed into place. Both throw tex::IoError with a message naming the file
// and the cause.
Document readDocument(const std::string& fileName);
void writeDocument(const Document& document, const std::string& fileName);

// A document file's bytes: the programs, the extras block, the trailing bytes.
std::string documentBytes(const Document& document);
// The document in a file's bytes; false when they are fewer than DOCUMENT_SIZE.
bool documentFromBytes(const std::string& bytes, Document& document);

// Whether a file's content is a document rather than a listing: it is empty,
// holds a NUL byte (every document whose counts are 0..100 does), or is at
// least DOCUMENT_SIZE bytes whose first DOCUMENT_SIZE hold control characters
// no text holds.
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

// The shortest decimal text that reads back as the same float32.
std::string shortestText(float value);

// How many of a program's records the loader replays: its count, clamped to
// 0..MAX_OPS.
int32_t countedRecords(const tex::LayerProgram& program);

// Rebuilds every layer at width by height as the loader does: initLayers, the
// programs into layerPrograms, then layer 0's program to layer 4's (at most
// MAX_OPS records each, none for a negative count). The layers stay allocated
// for the caller, who calls freeLayers; initLayers' exceptions pass through.
void replayDocument(const Document& document, int32_t width, int32_t height);

}  // namespace texlisting
