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

// One argument of an operation as an authoring tool shows it: the parameter's
// name in engine.h and the range over which a slider is useful (ignored for
// layers and booleans; values outside it are still valid).
struct ParameterInfo {
    const char* name;
    float low = 0, high = 0;
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
