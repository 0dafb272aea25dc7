// The opcode table: one row per assigned opcode, the single description from
// which the dispatcher converts slots, the exporter prints source lines, the
// listing reader parses them and tools describe records.
#pragma once

#include <cstdint>

namespace tex {

constexpr int32_t OPCODE_LIMIT = 52;  // opcodes are 0..51; some are unassigned
constexpr int32_t MANDELBROT_OPCODE = 7;

// How a ParamBlock slot becomes an argument.
enum SlotKind : char {
    SLOT_LAYER = 'l',    // layer index: truncated like an integer, must be 0..4
    SLOT_INTEGER = 'i',  // truncated toward zero, clamped to int32, NaN gives 0
    SLOT_REAL = 'f',     // passed as the stored float32
    SLOT_BOOLEAN = 'b',  // true exactly when the slot equals 1.0
};

// What an argument measures. Tools show the unit beside the field, and the
// look-keeping replay (texgen render --keep-look) scales exactly the lengths
// and frequencies in pixels by the ratio of the rendered size to the design
// size: a "(x)" or "(y)" unit by that axis's ratio, a plain length by the
// smaller of the two. Every other unit means the same at any size.
enum ParameterUnit : char {
    UNIT_LAYER,                // a layer index 0..4
    UNIT_ON_OFF,               // a boolean
    UNIT_PIXELS,               // a length on both axes
    UNIT_PIXELS_X,             // a length along rows
    UNIT_PIXELS_Y,             // a length along columns
    UNIT_SQUARE_PIXELS,        // a product of an x and a y length
    UNIT_RADIANS_PER_PIXEL_X,  // a frequency along x
    UNIT_RADIANS_PER_PIXEL_Y,  // a frequency along y
    UNIT_PIXELS_X_PER_LEVEL,   // an x displacement per brightness level
    UNIT_PIXELS_Y_PER_LEVEL,   // a y displacement per brightness level
    UNIT_LEVELS,               // colour levels, 255 being full
    UNIT_STEPS_256,            // a fraction in 1/256 steps: 256 is one
    UNIT_SATURATION,           // saturation, 1 being full
    UNIT_HALF_CYCLES_PER_LEVEL,  // a tone curve's frequency over the byte range
    UNIT_BITS,
    UNIT_COUNT,
    UNIT_SEED,
    UNIT_FACTOR,
    UNIT_DEGREES,
    UNIT_PLANE,                // coordinates of the complex plane
    UNIT_RULE,                 // an automaton's rule number
    UNIT_QUADRANT,             // 1..4, clockwise from top-left
};

// The unit as a person reads it: "pixels (x)", "radians per pixel (y)", "1/256 steps".
const char* unitName(ParameterUnit unit);

// One argument of an operation as an authoring tool shows it: the parameter's
// name in engine.h, the range over which a slider is useful (ignored for
// layers and booleans; values outside it are still valid), its unit and what
// it does, in a few plain words.
struct ParameterInfo {
    const char* name;
    float low = 0, high = 0;
    ParameterUnit unit = UNIT_FACTOR;
    const char* meaning = nullptr;
};

constexpr int32_t MAX_PARAMETERS = 9;  // checkerBoardLayer's nine

struct OperationInfo {
    int32_t opcode;
    const char* name;                   // procedure name, as written in source lines
    const char* slots;                  // one SlotKind per used slot, slot 0 first
    void (*run)(const float* params);   // converts the slots and calls the procedure
    const char* family;                 // "generators", "combiners", "colour", "filters" or "distortions"
    const char* summary;                // what it does, in one line
    // One per slot kind, in call order; mandelBrot's are those of the call
    // (xStart, xSpan, yStart, ySpan) that the dispatcher derives from its corners.
    ParameterInfo parameters[MAX_PARAMETERS];
};

// The row of an opcode, or nullptr for an unassigned one.
const OperationInfo* findOperation(int32_t opcode);
// The row of a procedure name, or nullptr.
const OperationInfo* findOperation(const char* name);
// All rows in opcode order, and their number.
const OperationInfo* operationTable();
int32_t operationCount();

// Slot conversions shared by the dispatcher, the exporter and the tools.
int32_t slotInteger(float slot);
bool slotBoolean(float slot);

}  // namespace tex
