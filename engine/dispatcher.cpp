// Recorded operations: the opcode table, the dispatcher that turns a record
// into a call, and the authoring operations that edit a layer's program.
//
// Each table row names the procedure and the kind of each slot it reads; the
// row's run function is generated from the procedure's own parameter types
// (int32_t, float, bool), and a compile-time check makes sure the slot kinds
// written in the row agree with them.
#include <array>
#include <cstring>
#include <utility>

#include "engine/internal.h"

namespace tex {

int32_t slotInteger(float slot) { return truncInt32(slot); }
bool slotBoolean(float slot) { return slot == 1.0f; }

namespace {

template <typename T>
T slotArgument(const float* params, size_t k);
template <>
int32_t slotArgument<int32_t>(const float* params, size_t k) { return slotInteger(params[k]); }
template <>
float slotArgument<float>(const float* params, size_t k) { return params[k]; }
template <>
bool slotArgument<bool>(const float* params, size_t k) { return slotBoolean(params[k]); }

template <typename... A>
constexpr size_t arity(void (*)(A...)) { return sizeof...(A); }

template <typename... A, size_t... K>
void callWithSlots(void (*procedure)(A...), const float* params, std::index_sequence<K...>) {
    procedure(slotArgument<A>(params, K)...);
}

// Argument k of the procedure is slot k of the record.
template <auto Procedure>
void runRecord(const float* params) {
    callWithSlots(Procedure, params, std::make_index_sequence<arity(Procedure)>{});
}

template <typename T>
constexpr char kindOf();
template <>
constexpr char kindOf<int32_t>() { return SLOT_INTEGER; }
template <>
constexpr char kindOf<float>() { return SLOT_REAL; }
template <>
constexpr char kindOf<bool>() { return SLOT_BOOLEAN; }

template <typename... A>
constexpr bool slotsMatch(void (*)(A...), const char* slots) {
    const char expected[] = {kindOf<A>()..., '\0'};
    for (size_t k = 0; k <= sizeof...(A); ++k) {
        const char kind = slots[k] == SLOT_LAYER ? char(SLOT_INTEGER) : slots[k];
        if (kind != expected[k]) return false;
    }
    return true;
}

// Evaluated while the constant table is built: a mismatch stops compilation.
template <auto Procedure>
constexpr const char* checkedSlots(const char* slots) {
    return slotsMatch(Procedure, slots) ? slots : throw "slot kinds do not match the procedure's parameters";
}

// mandelBrot's record holds two corners of the plane; the call takes the first
// corner, the two extents (rounded to float32) and the escape limit 16.
void runMandelBrot(const float* p) {
    mandelBrot(slotInteger(p[0]), p[1], static_cast<float>(ext(p[3]) - p[1]), p[2],
               static_cast<float>(ext(p[4]) - p[2]), 16.0f);
}

#define OPERATION(code, procedure, slots) {code, #procedure, checkedSlots<procedure>(slots), &runRecord<procedure>}

constexpr OperationInfo TABLE[] = {
    OPERATION(0, subPlasma, "liiib"),
    OPERATION(1, sinePlasma, "lfff"),
    OPERATION(2, perlinNoise, "liiiiib"),
    OPERATION(3, particle, "lf"),
    OPERATION(4, colorLayer, "liii"),
    OPERATION(5, checkerBoardLayer, "liiiiiiii"),
    OPERATION(6, blobsLayer, "liib"),
    {MANDELBROT_OPCODE, "mandelBrot", "lffff", &runMandelBrot},
    OPERATION(8, cellMachine, "lii"),
    OPERATION(10, addLayers, "lllff"),
    OPERATION(11, mulLayers, "lllff"),
    OPERATION(12, randCombineLayers, "lllff"),
    OPERATION(13, minCombineLayers, "lllff"),
    OPERATION(14, maxCombineLayers, "lllff"),
    OPERATION(15, xorLayers, "lllff"),
    OPERATION(16, orLayers, "lllff"),
    OPERATION(17, andLayers, "lllff"),
    OPERATION(20, scaleLayerRGB, "llfff"),
    OPERATION(21, scaleLayerHSV, "llfff"),
    OPERATION(22, adjustLayerRGB, "lliii"),
    OPERATION(23, adjustLayerHSV, "llfff"),
    OPERATION(24, sineLayerRGB, "llfff"),
    OPERATION(25, equalizeRGB, "ll"),
    OPERATION(26, stretchRGB, "ll"),
    OPERATION(30, invertLayer, "ll"),
    OPERATION(31, embossLayer, "ll"),
    OPERATION(32, woodLayer, "lli"),
    OPERATION(33, blurLayer, "ll"),
    OPERATION(34, sharpenLayer, "ll"),
    OPERATION(35, edgeHLayer, "ll"),
    OPERATION(36, edgeVLayer, "ll"),
    OPERATION(37, motionBlur, "lli"),
    OPERATION(38, makeTilable, "lli"),
    OPERATION(39, medianLayer, "ll"),
    OPERATION(40, sineDistort, "llffff"),
    OPERATION(41, twirlLayer, "llff"),
    OPERATION(42, mapDistort, "lllff"),
    OPERATION(43, tileLayer, "ll"),
    OPERATION(44, noiseDistort, "llii"),
    OPERATION(45, moveDistort, "llii"),
    OPERATION(46, kaleidLayer, "lli"),
    OPERATION(47, tunnelDistort, "llf"),
    OPERATION(48, sculptureLayer, "ll"),
    OPERATION(49, logPolLayer, "ll"),
    OPERATION(50, erodeLayer, "ll"),
    OPERATION(51, dilateLayer, "ll"),
};

#undef OPERATION

constexpr int32_t TABLE_SIZE = int32_t(sizeof TABLE / sizeof TABLE[0]);

// Row of each opcode 0..OPCODE_LIMIT-1, or nullptr.
const std::array<const OperationInfo*, OPCODE_LIMIT> BY_OPCODE = [] {
    std::array<const OperationInfo*, OPCODE_LIMIT> rows{};
    for (const OperationInfo& row : TABLE) rows[size_t(row.opcode)] = &row;
    return rows;
}();

}  // namespace

const OperationInfo* findOperation(int32_t opcode) {
    return opcode >= 0 && opcode < OPCODE_LIMIT ? BY_OPCODE[size_t(opcode)] : nullptr;
}

const OperationInfo* findOperation(const char* name) {
    for (const OperationInfo& row : TABLE)
        if (std::strcmp(row.name, name) == 0) return &row;
    return nullptr;
}

const OperationInfo* operationTable() { return TABLE; }
int32_t operationCount() { return TABLE_SIZE; }

void runOperation(int32_t opcode, const float params[10]) {
    const OperationInfo* row = findOperation(opcode);
    if (row && params) row->run(params);
}

void replayProgram(int32_t layer) {
    const LayerProgram& program = layerPrograms[layer];
    // A loaded document may hold any count: at most MAX_OPS records exist.
    const int32_t count = program.count < MAX_OPS ? program.count : MAX_OPS;
    for (int32_t i = 0; i < count; ++i) runOperation(program.opcode[i], program.params[i]);
}

static bool validProgram(int32_t layer) { return layer >= 0 && layer < LAYER_COUNT; }

static void storeRecord(int32_t layer, int32_t index, int32_t opcode, const float params[10]) {
    layerPrograms[layer].opcode[index] = opcode;
    std::memcpy(layerPrograms[layer].params[index], params, sizeof layerPrograms[layer].params[index]);
}

bool appendOperation(int32_t layer, bool run, int32_t opcode, const float params[10], int32_t index) {
    if (!validProgram(layer) || !params) return false;
    if (index >= 0) return replaceOperation(layer, index, opcode, params);
    LayerProgram& program = layerPrograms[layer];
    // A generator starts the program afresh; a negative count (possible in a
    // loaded document) appends at the start.
    const int32_t position = opcode < 10 || program.count < 0 ? 0 : program.count;
    if (position >= MAX_OPS) return false;
    storeRecord(layer, position, opcode, params);
    program.count = position + 1;
    if (run) runOperation(opcode, params);
    return true;
}

bool replaceOperation(int32_t layer, int32_t index, int32_t opcode, const float params[10]) {
    if (!validProgram(layer) || index < 0 || index >= MAX_OPS || !params) return false;
    storeRecord(layer, index, opcode, params);
    return true;
}

void undoOperation(int32_t layer, bool rebuild) {
    if (!validProgram(layer)) return;
    LayerProgram& program = layerPrograms[layer];
    if (program.count > 0) --program.count;
    if (!rebuild) return;
    if (program.count > 0)
        replayProgram(layer);
    else
        colorLayer(layer, 0, 0, 0);
}

}  // namespace tex
