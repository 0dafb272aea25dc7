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
#include "engine/numeric/decide.h"

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

#define OPERATION(code, procedure, slots, family, summary, ...) \
    {code, #procedure, checkedSlots<procedure>(slots), &runRecord<procedure>, family, summary, {__VA_ARGS__}}

// Useful ranges: what a slider covers; seeds stay below 2^24, where every
// integer is a float32.
constexpr float SEEDS = 16777215;
constexpr const char *GENERATORS = "generators", *COMBINERS = "combiners", *COLOUR = "colour", *FILTERS = "filters",
                     *DISTORTIONS = "distortions";

constexpr OperationInfo TABLE[] = {
    OPERATION(0, subPlasma, "liiib", GENERATORS, "Value noise: random grid points smoothly interpolated",
              {"dst"}, {"step", 1, 128}, {"seed", 0, SEEDS}, {"amplitude", 1, 256}, {"colored"}),
    OPERATION(1, sinePlasma, "lfff", GENERATORS, "Grey bands from a horizontal and a vertical sine wave",
              {"dst"}, {"xFrequency", 0, 0.5f}, {"yFrequency", 0, 0.5f}, {"amplitude", 0, 1024}),
    OPERATION(2, perlinNoise, "liiiiib", GENERATORS, "Fractal noise: octaves of value noise, each finer and fainter",
              {"dst"}, {"step", 1, 256}, {"seed", 0, SEEDS}, {"amplitude", 0, 256}, {"persistence", 0, 256},
              {"octaves", 1, 10}, {"colored"}),
    OPERATION(3, particle, "lf", GENERATORS, "A soft grey spot in the middle of the layer",
              {"dst"}, {"falloff", 0, 8}),
    OPERATION(4, colorLayer, "liii", GENERATORS, "Fills the layer with one colour",
              {"dst"}, {"red", 0, 255}, {"green", 0, 255}, {"blue", 0, 255}),
    OPERATION(5, checkerBoardLayer, "liiiiiiii", GENERATORS, "A checkerboard of two colours",
              {"dst"}, {"cellWidth", 1, 256}, {"cellHeight", 1, 256}, {"red1", 0, 255}, {"green1", 0, 255},
              {"blue1", 0, 255}, {"red2", 0, 255}, {"green2", 0, 255}, {"blue2", 0, 255}),
    OPERATION(6, blobsLayer, "liib", GENERATORS, "Metaballs: soft blobs that merge where they meet",
              {"dst"}, {"seed", 0, SEEDS}, {"count", 0, 16}, {"colored"}),
    {MANDELBROT_OPCODE, "mandelBrot", "lffff", &runMandelBrot, GENERATORS, "The Mandelbrot set over a region of the plane",
     {{"dst"}, {"xStart", -3, 1.5f}, {"xSpan", -4, 4}, {"yStart", -2, 2}, {"ySpan", -4, 4}}},
    OPERATION(8, cellMachine, "lii", GENERATORS, "A one-dimensional cellular automaton run down the layer",
              {"dst"}, {"seed", 0, SEEDS}, {"rule", 0, 255}),
    OPERATION(10, addLayers, "lllff", COMBINERS, "Weighted sum of two layers",
              {"src1"}, {"src2"}, {"dst"}, {"w1", -2, 2}, {"w2", -2, 2}),
    OPERATION(11, mulLayers, "lllff", COMBINERS, "Weighted product of two layers (multiply blending)",
              {"src1"}, {"src2"}, {"dst"}, {"w1", -2, 4}, {"w2", -2, 4}),
    OPERATION(12, randCombineLayers, "lllff", COMBINERS, "Scatters pixels of two layers over mid grey",
              {"src1"}, {"src2"}, {"dst"}, {"w1", 0, 5.34f}, {"w2", 0, 5.34f}),
    OPERATION(13, minCombineLayers, "lllff", COMBINERS, "The darker of two layers, per channel",
              {"src1"}, {"src2"}, {"dst"}, {"w1", 0, 4}, {"w2", 0, 4}),
    OPERATION(14, maxCombineLayers, "lllff", COMBINERS, "The lighter of two layers, per channel",
              {"src1"}, {"src2"}, {"dst"}, {"w1", 0, 4}, {"w2", 0, 4}),
    OPERATION(15, xorLayers, "lllff", COMBINERS, "Bitwise exclusive or of two weighted layers",
              {"src1"}, {"src2"}, {"dst"}, {"w1", 0, 4}, {"w2", 0, 4}),
    OPERATION(16, orLayers, "lllff", COMBINERS, "Bitwise or of two weighted layers",
              {"src1"}, {"src2"}, {"dst"}, {"w1", 0, 4}, {"w2", 0, 4}),
    OPERATION(17, andLayers, "lllff", COMBINERS, "Bitwise and of two weighted layers: a bit mask",
              {"src1"}, {"src2"}, {"dst"}, {"w1", 0, 4}, {"w2", 0, 4}),
    OPERATION(20, scaleLayerRGB, "llfff", COLOUR, "Multiplies red, green and blue by factors",
              {"src"}, {"dst"}, {"r", 0, 4}, {"g", 0, 4}, {"b", 0, 4}),
    OPERATION(21, scaleLayerHSV, "llfff", COLOUR, "Multiplies hue, saturation and value by factors",
              {"src"}, {"dst"}, {"h", 0, 4}, {"s", 0, 4}, {"v", 0, 4}),
    OPERATION(22, adjustLayerRGB, "lliii", COLOUR, "Adds offsets to red, green and blue",
              {"src"}, {"dst"}, {"r", -255, 255}, {"g", -255, 255}, {"b", -255, 255}),
    OPERATION(23, adjustLayerHSV, "llfff", COLOUR, "Shifts hue, saturation and value; tints grey layers",
              {"src"}, {"dst"}, {"h", -360, 360}, {"s", -1, 1}, {"v", -255, 255}),
    OPERATION(24, sineLayerRGB, "llfff", COLOUR, "Sine tone curves per channel: ramps become colour bands",
              {"src"}, {"dst"}, {"r", 0, 0.25f}, {"g", 0, 0.25f}, {"b", 0, 0.25f}),
    OPERATION(25, equalizeRGB, "ll", COLOUR, "Histogram equalisation of each channel onto 0..255",
              {"src"}, {"dst"}),
    OPERATION(26, stretchRGB, "ll", COLOUR, "Histogram equalisation within each channel's own range",
              {"src"}, {"dst"}),
    OPERATION(30, invertLayer, "ll", FILTERS, "Inverts every byte", {"src"}, {"dst"}),
    OPERATION(31, embossLayer, "ll", FILTERS, "Relief from the 3 by 3 gradient", {"src"}, {"dst"}),
    OPERATION(32, woodLayer, "lli", FILTERS, "Rotates the bits of every byte: rings and grain",
              {"src"}, {"dst"}, {"bits", 0, 8}),
    OPERATION(33, blurLayer, "ll", FILTERS, "A 3 by 3 blur", {"src"}, {"dst"}),
    OPERATION(34, sharpenLayer, "ll", FILTERS, "A 3 by 3 sharpening", {"src"}, {"dst"}),
    OPERATION(35, edgeHLayer, "ll", FILTERS, "Horizontal edges", {"src"}, {"dst"}),
    OPERATION(36, edgeVLayer, "ll", FILTERS, "Vertical edges", {"src"}, {"dst"}),
    OPERATION(37, motionBlur, "lli", FILTERS, "A horizontal blur over a row",
              {"src"}, {"dst"}, {"radius", 0, 64}),
    OPERATION(38, makeTilable, "lli", FILTERS, "Blends the edges with their mirror images so that they match",
              {"src"}, {"dst"}, {"border", 0, 256}),
    OPERATION(39, medianLayer, "ll", FILTERS, "A 3 by 3 median: removes specks, keeps edges", {"src"}, {"dst"}),
    OPERATION(40, sineDistort, "llffff", DISTORTIONS, "Rows and columns slid along two sine waves",
              {"src"}, {"dst"}, {"hFreq", 0, 0.5f}, {"hAmp", -32, 32}, {"vFreq", 0, 0.5f}, {"vAmp", -32, 32}),
    OPERATION(41, twirlLayer, "llff", DISTORTIONS, "Twists a disc around the centre",
              {"src"}, {"dst"}, {"strength", -200, 200}, {"scale", 1, 1000}),
    OPERATION(42, mapDistort, "lllff", DISTORTIONS, "Displaces pixels by the brightness of a map layer",
              {"src"}, {"map"}, {"dst"}, {"scaleX", -0.5f, 0.5f}, {"scaleY", -0.5f, 0.5f}),
    OPERATION(43, tileLayer, "ll", DISTORTIONS, "Shrinks the layer to half and repeats it four times",
              {"src"}, {"dst"}),
    OPERATION(44, noiseDistort, "llii", DISTORTIONS, "Copies each pixel from a random offset: grainy scatter",
              {"src"}, {"dst"}, {"seed", 0, SEEDS}, {"strength", 0, 16}),
    OPERATION(45, moveDistort, "llii", DISTORTIONS, "Shifts the layer, wrapping round the edges",
              {"src"}, {"dst"}, {"dx", -256, 256}, {"dy", -256, 256}),
    OPERATION(46, kaleidLayer, "lli", DISTORTIONS, "Mirrors one quadrant into the other three",
              {"src"}, {"dst"}, {"corner", 1, 4}),
    OPERATION(47, tunnelDistort, "llf", DISTORTIONS, "A view down a tunnel walled with the layer",
              {"src"}, {"dst"}, {"depth", 0, 16384}),
    OPERATION(48, sculptureLayer, "ll", DISTORTIONS, "Each channel becomes the direction of its gradient",
              {"src"}, {"dst"}),
    OPERATION(49, logPolLayer, "ll", DISTORTIONS, "Log-polar unrolling around the centre", {"src"}, {"dst"}),
    OPERATION(50, erodeLayer, "ll", DISTORTIONS, "Erosion: dark areas grow", {"src"}, {"dst"}),
    OPERATION(51, dilateLayer, "ll", DISTORTIONS, "Dilation: bright areas grow", {"src"}, {"dst"}),
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
    if (!row || !params) return;
    numeric::setCountedOperation(opcode);  // names the record in the fallback counts; nothing in ordinary builds
    row->run(params);
    numeric::setCountedOperation(-1);
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
