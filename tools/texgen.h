// texgen's commands. Each one throws CommandError (or the engine's IoError,
// or a ListingError) with a message that names the file and the cause; the
// command line prints it as one line on standard error and exits with 1.
#pragma once

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/listing.h"

namespace texgen {

struct CommandError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A size of 0 by 0 means the document's design size.
struct RenderOptions {
    std::string document, output;
    int32_t width = 0, height = 0;
    bool keepLook = false;  // scale what is in pixels by the ratio to the design size
    int32_t layer = 4;
    bool allLayers = false;
    bool lenient = false;  // render a document with counts outside 0..MAX_OPS as the engine replays it
};

// --threads N of render, hash and export: the engine's thread count (see
// tex::setThreadCount; 0 or less means every hardware thread). Without it
// the engine's default holds (TEX_THREADS, else every hardware thread).
void useThreads(int32_t n);

struct HashOptions {
    std::string document;
    int32_t width = 0, height = 0;
    bool keepLook = false;
    int32_t layer = 4;
    bool allLayers = false;
    bool lenient = false;
};

// Parses "N" or "WxH"; every side a power of two the engine accepts.
void parseSize(const std::string& text, int32_t& width, int32_t& height);

// Rebuilds the document at the size (its design size unless given) and writes the layer (or every layer) as
// an 8-bit RGB PNG. Returns the files written.
std::string render(const RenderOptions& options);

// Rebuilds the document at the size (its design size unless given) and returns the SHA-256 of the layer's
// pixels (bytes red, green, blue, row after row) in hexadecimal with a line
// end, or "layer N HASH" lines for every layer.
std::string hash(const HashOptions& options);

// A layer's Pixels as the bytes of an 8-bit RGB PNG file, compressed on the
// engine's thread count (tex::threadCount). Throws CommandError.
std::string encodePng(const tex::Pixel* pixels, int32_t width, int32_t height);

// The file name of one layer's PNG with --all-layers: "out.png" gives
// "out-layer2.png".
std::string layerFileName(const std::string& output, int32_t layer);

// The document's design size and extras, then each layer's program as a
// table with its bypassed records in their places, with a warning for every
// record the engine will skip or clamp and for damaged extras. Returns the
// number of warnings.
int describe(const texlisting::Document& document, const std::string& fileName, std::ostream& out);

// What the engine will skip or clamp in one record (unassigned opcode, layer
// index outside 0..4, integer slot beyond int32 or not a number), one
// sentence each; and for a count outside 0..MAX_OPS, or empty. describe prints
// these.
std::vector<std::string> recordWarnings(int32_t opcode, const float params[10]);
std::string countWarning(int32_t count);
// Every warning of a document: its extras' first, then each "layer L: ..." or
// "layer L, record I: ...".
std::vector<std::string> documentWarnings(const texlisting::Document& document);

// What makes a document malformed though the engine can replay it: counts
// outside 0..MAX_OPS, e.g. "layer 2's count 150 is outside 0..100". Empty for
// a well-formed document.
std::string malformation(const texlisting::Document& document);

// An argument as the dispatcher passes it, in the shortest text that reads
// back as the same float32.
std::string realText(float value);

}  // namespace texgen
