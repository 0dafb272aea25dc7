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

namespace studio {

// An edit the document cannot take; what() is one sentence for the author.
struct EditError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The text of each argument exactly as the exporter prints it in the record's
// source line (reals with its digits, so what is shown is what is stored).
// Empty for an unassigned opcode.
std::vector<std::string> argumentTexts(int32_t opcode, const float params[10]);

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
