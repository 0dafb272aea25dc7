// A record's arguments as an author sees and edits them: the arguments of the
// call the dispatcher makes, named and ranged by the opcode table. For every
// operation but mandelBrot argument k is slot k; mandelBrot's record holds
// two corners, and its arguments are the call's xStart, xSpan, yStart, ySpan
// (its escape limit is always 16 and is not an argument).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tools/listing.h"

namespace studio {

// An edit the document cannot take; what() is one sentence for the author.
struct EditError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The text of each argument exactly as the exporter prints it in the record's
// source line. Empty for an unassigned opcode.
std::vector<std::string> exporterTexts(int32_t opcode, const float params[10]);
// The same with every real as the shortest decimal that reads back as the
// same float32 (0.12, not 0.11999999731779099): what fields and the program
// list show. Empty for an unassigned opcode.
std::vector<std::string> argumentTexts(int32_t opcode, const float params[10]);
// The record as a call with those texts: "sineLayerRGB(1,1,0.014,0.02,0.03);".
std::string displayLine(int32_t opcode, const float params[10]);
// The shortest decimal that reads back as `value` in float32.
std::string shortestText(float value);

// Why record `index` of a program as the author sees it has no effect on the
// texture, or empty: a later record of the same program, a generator that is
// not bypassed, overwrites the layer it wrote before anything reads it.
std::string replacedReason(const std::vector<texlisting::AuthorRecord>& program, int index);

// Stores the value typed or dragged for argument k: a layer 0..4, a whole
// number for an integer (held as the nearest float32), the nearest float32
// for a real, true/false (or 1/0) for a boolean. Moving mandelBrot's xStart
// or yStart keeps the span. Throws EditError naming the argument.
void setArgument(int32_t opcode, float params[10], int argument, const std::string& text);

// The record of `opcode` in an example listing (its first one), with every
// argument named "dst" or "src" turned to `layer`: inserted into a layer's
// program it reads and writes that layer. False when the listing holds none.
bool exampleRecord(const std::string& listing, int32_t opcode, int32_t layer, float params[10]);

}  // namespace studio
