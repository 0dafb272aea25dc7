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

// Layer and boolean arguments; the sources and destinations most rows share.
constexpr ParameterInfo layer(const char* name, const char* meaning) { return {name, 0, 0, UNIT_LAYER, meaning}; }
constexpr ParameterInfo flag(const char* name, const char* meaning) { return {name, 0, 0, UNIT_ON_OFF, meaning}; }
constexpr ParameterInfo SRC = layer("src", "layer read");
constexpr ParameterInfo DST = layer("dst", "layer written");
constexpr ParameterInfo GENERATED = layer("dst", "layer overwritten");
constexpr ParameterInfo SRC1 = layer("src1", "first layer read");
constexpr ParameterInfo SRC2 = layer("src2", "second layer read");
constexpr ParameterInfo W1 = {"w1", 0, 4, UNIT_FACTOR, "weight of the first layer's bytes"};
constexpr ParameterInfo W2 = {"w2", 0, 4, UNIT_FACTOR, "weight of the second layer's bytes"};
constexpr ParameterInfo COLOURED = flag("colored", "red, green and blue drawn apart; off gives grey");

constexpr OperationInfo TABLE[] = {
    OPERATION(0, subPlasma, "liiib", GENERATORS, "Value noise: random grid points smoothly interpolated",
              GENERATED, {"step", 1, 128, UNIT_PIXELS, "spacing of the random grid points; 1 is noise per pixel"},
              {"seed", 0, SEEDS, UNIT_SEED, "starts the random values; 0 continues from the last operation's"},
              {"amplitude", 1, 256, UNIT_LEVELS, "value range: values are masked with amplitude - 1"}, COLOURED),
    OPERATION(1, sinePlasma, "lfff", GENERATORS, "Grey bands from a horizontal and a vertical sine wave",
              GENERATED, {"xFrequency", 0, 0.5f, UNIT_RADIANS_PER_PIXEL_X, "frequency of the wave across the columns"},
              {"yFrequency", 0, 0.5f, UNIT_RADIANS_PER_PIXEL_Y, "frequency of the wave down the rows"},
              {"amplitude", 0, 1024, UNIT_STEPS_256, "brightness; 256 spans 0..254, more wraps round"}),
    OPERATION(2, perlinNoise, "liiiiib", GENERATORS, "Fractal noise: octaves of value noise, each finer and fainter",
              GENERATED, {"step", 1, 256, UNIT_PIXELS, "grid spacing of the base octave; each octave halves it"},
              {"seed", 0, SEEDS, UNIT_SEED, "starts the random values; 0 continues from the last operation's"},
              {"amplitude", 0, 256, UNIT_LEVELS, "value range; the first drawn octave gets amplitude x persistence / 256"},
              {"persistence", 0, 256, UNIT_STEPS_256, "range kept from one octave to the next; 128 halves it"},
              {"octaves", 1, 10, UNIT_COUNT, "number of octaves, the silent base octave included"}, COLOURED),
    OPERATION(3, particle, "lf", GENERATORS, "A soft grey spot in the middle of the layer",
              GENERATED, {"falloff", 0, 8, UNIT_FACTOR, "darkening per half size from the centre, 180 levels each"}),
    OPERATION(4, colorLayer, "liii", GENERATORS, "Fills the layer with one colour",
              GENERATED, {"red", 0, 255, UNIT_LEVELS, "red of the fill"}, {"green", 0, 255, UNIT_LEVELS, "green of the fill"},
              {"blue", 0, 255, UNIT_LEVELS, "blue of the fill"}),
    OPERATION(5, checkerBoardLayer, "liiiiiiii", GENERATORS, "A checkerboard of two colours",
              GENERATED, {"cellWidth", 1, 256, UNIT_PIXELS_X, "width of a cell"},
              {"cellHeight", 1, 256, UNIT_PIXELS_Y, "height of a cell"},
              {"red1", 0, 255, UNIT_LEVELS, "red of the first colour"}, {"green1", 0, 255, UNIT_LEVELS, "green of the first colour"},
              {"blue1", 0, 255, UNIT_LEVELS, "blue of the first colour"},
              {"red2", 0, 255, UNIT_LEVELS, "red of the second colour, the top-left cell's"},
              {"green2", 0, 255, UNIT_LEVELS, "green of the second colour"}, {"blue2", 0, 255, UNIT_LEVELS, "blue of the second colour"}),
    OPERATION(6, blobsLayer, "liib", GENERATORS, "Metaballs: soft blobs that merge where they meet",
              GENERATED, {"seed", 0, SEEDS, UNIT_SEED, "places and colours the blobs"},
              {"count", 0, 16, UNIT_COUNT, "number of blobs, at most 16"}, COLOURED),
    {MANDELBROT_OPCODE, "mandelBrot", "lffff", &runMandelBrot, GENERATORS, "The Mandelbrot set over a region of the plane",
     {GENERATED, {"xStart", -3, 1.5f, UNIT_PLANE, "real part at the left edge"},
      {"xSpan", -4, 4, UNIT_PLANE, "width of the region"}, {"yStart", -2, 2, UNIT_PLANE, "imaginary part at the top edge"},
      {"ySpan", -4, 4, UNIT_PLANE, "height of the region"}}},
    OPERATION(8, cellMachine, "lii", GENERATORS, "A one-dimensional cellular automaton run down the layer",
              GENERATED, {"seed", 0, SEEDS, UNIT_SEED, "the random first row"},
              {"rule", 0, 255, UNIT_RULE, "which neighbourhoods make a live cell, one bit each"}),
    OPERATION(10, addLayers, "lllff", COMBINERS, "Weighted sum of two layers",
              SRC1, SRC2, DST, {"w1", -2, 2, UNIT_FACTOR, "weight of the first layer"},
              {"w2", -2, 2, UNIT_FACTOR, "weight of the second layer"}),
    OPERATION(11, mulLayers, "lllff", COMBINERS, "Weighted product of two layers (multiply blending)",
              SRC1, SRC2, DST, {"w1", -2, 4, UNIT_FACTOR, "factor of the product, with w2"},
              {"w2", -2, 4, UNIT_FACTOR, "factor of the product, with w1"}),
    OPERATION(12, randCombineLayers, "lllff", COMBINERS, "Scatters pixels of two layers over mid grey",
              SRC1, SRC2, DST, {"w1", 0, 5.34f, UNIT_FACTOR, "pixels copied from the first layer, 3 per pixel of the layer each"},
              {"w2", 0, 5.34f, UNIT_FACTOR, "pixels copied from the second layer, 3 per pixel of the layer each"}),
    OPERATION(13, minCombineLayers, "lllff", COMBINERS, "The darker of two layers, per channel",
              SRC1, SRC2, DST, {"w1", 0, 4, UNIT_FACTOR, "weight of the first layer in the comparison only"},
              {"w2", 0, 4, UNIT_FACTOR, "weight of the second layer in the comparison only"}),
    OPERATION(14, maxCombineLayers, "lllff", COMBINERS, "The lighter of two layers, per channel",
              SRC1, SRC2, DST, {"w1", 0, 4, UNIT_FACTOR, "weight of the first layer in the comparison only"},
              {"w2", 0, 4, UNIT_FACTOR, "weight of the second layer in the comparison only"}),
    OPERATION(15, xorLayers, "lllff", COMBINERS, "Bitwise exclusive or of two weighted layers", SRC1, SRC2, DST, W1, W2),
    OPERATION(16, orLayers, "lllff", COMBINERS, "Bitwise or of two weighted layers", SRC1, SRC2, DST, W1, W2),
    OPERATION(17, andLayers, "lllff", COMBINERS, "Bitwise and of two weighted layers: a bit mask", SRC1, SRC2, DST, W1, W2),
    OPERATION(20, scaleLayerRGB, "llfff", COLOUR, "Multiplies red, green and blue by factors",
              SRC, DST, {"r", 0, 4, UNIT_FACTOR, "red multiplied by"}, {"g", 0, 4, UNIT_FACTOR, "green multiplied by"},
              {"b", 0, 4, UNIT_FACTOR, "blue multiplied by"}),
    OPERATION(21, scaleLayerHSV, "llfff", COLOUR, "Multiplies hue, saturation and value by factors",
              SRC, DST, {"h", 0, 4, UNIT_FACTOR, "hue angle multiplied by"}, {"s", 0, 4, UNIT_FACTOR, "saturation multiplied by"},
              {"v", 0, 4, UNIT_FACTOR, "value (brightness) multiplied by"}),
    OPERATION(22, adjustLayerRGB, "lliii", COLOUR, "Adds offsets to red, green and blue",
              SRC, DST, {"r", -255, 255, UNIT_LEVELS, "added to red"}, {"g", -255, 255, UNIT_LEVELS, "added to green"},
              {"b", -255, 255, UNIT_LEVELS, "added to blue"}),
    OPERATION(23, adjustLayerHSV, "llfff", COLOUR, "Shifts hue, saturation and value; tints grey layers",
              SRC, DST, {"h", -360, 360, UNIT_DEGREES, "added to the hue"},
              {"s", -1, 1, UNIT_SATURATION, "added to the saturation"},
              {"v", -255, 255, UNIT_LEVELS, "added to the value (brightness)"}),
    OPERATION(24, sineLayerRGB, "llfff", COLOUR, "Sine tone curves per channel: ramps become colour bands",
              SRC, DST, {"r", 0, 0.25f, UNIT_HALF_CYCLES_PER_LEVEL, "red's curve frequency; 1/255 is half a wave over 0..255"},
              {"g", 0, 0.25f, UNIT_HALF_CYCLES_PER_LEVEL, "green's curve frequency"},
              {"b", 0, 0.25f, UNIT_HALF_CYCLES_PER_LEVEL, "blue's curve frequency"}),
    OPERATION(25, equalizeRGB, "ll", COLOUR, "Histogram equalisation of each channel onto 0..255", SRC, DST),
    OPERATION(26, stretchRGB, "ll", COLOUR, "Histogram equalisation within each channel's own range", SRC, DST),
    OPERATION(30, invertLayer, "ll", FILTERS, "Inverts every byte", SRC, DST),
    OPERATION(31, embossLayer, "ll", FILTERS, "Relief from the 3 by 3 gradient", SRC, DST),
    OPERATION(32, woodLayer, "lli", FILTERS, "Rotates the bits of every byte: rings and grain",
              SRC, DST, {"bits", 0, 8, UNIT_BITS, "rotation of each byte to the left; 9 and more give black"}),
    OPERATION(33, blurLayer, "ll", FILTERS, "A 3 by 3 blur", SRC, DST),
    OPERATION(34, sharpenLayer, "ll", FILTERS, "A 3 by 3 sharpening", SRC, DST),
    OPERATION(35, edgeHLayer, "ll", FILTERS, "Horizontal edges", SRC, DST),
    OPERATION(36, edgeVLayer, "ll", FILTERS, "Vertical edges", SRC, DST),
    OPERATION(37, motionBlur, "lli", FILTERS, "A horizontal blur over a row",
              SRC, DST, {"radius", 0, 64, UNIT_PIXELS_X, "reach of the blur to each side along the row"}),
    OPERATION(38, makeTilable, "lli", FILTERS, "Blends the edges with their mirror images so that they match",
              SRC, DST, {"border", 0, 256, UNIT_PIXELS, "width of the blended band inside the edges"}),
    OPERATION(39, medianLayer, "ll", FILTERS, "A 3 by 3 median: removes specks, keeps edges", SRC, DST),
    OPERATION(40, sineDistort, "llffff", DISTORTIONS, "Rows and columns slid along two sine waves",
              SRC, DST, {"hFreq", 0, 0.5f, UNIT_RADIANS_PER_PIXEL_Y, "frequency down the rows of the sideways slide"},
              {"hAmp", -32, 32, UNIT_PIXELS_X, "how far rows slide sideways"},
              {"vFreq", 0, 0.5f, UNIT_RADIANS_PER_PIXEL_X, "frequency across the columns of the up and down slide"},
              {"vAmp", -32, 32, UNIT_PIXELS_Y, "how far columns slide up and down"}),
    OPERATION(41, twirlLayer, "llff", DISTORTIONS, "Twists a disc around the centre",
              SRC, DST, {"strength", -200, 200, UNIT_FACTOR, "twist: the centre turns by strength x width / (5.66 x scale) radians"},
              {"scale", 1, 1000, UNIT_PIXELS, "length the twist is divided by; larger twists less"}),
    OPERATION(42, mapDistort, "lllff", DISTORTIONS, "Displaces pixels by the brightness of a map layer",
              SRC, layer("map", "layer whose brightness moves the pixels"), DST,
              {"scaleX", -0.5f, 0.5f, UNIT_PIXELS_X_PER_LEVEL, "how far right the sample is taken per level of map brightness"},
              {"scaleY", -0.5f, 0.5f, UNIT_PIXELS_Y_PER_LEVEL, "how far down the sample is taken per level of map brightness"}),
    OPERATION(43, tileLayer, "ll", DISTORTIONS, "Shrinks the layer to half and repeats it four times", SRC, DST),
    OPERATION(44, noiseDistort, "llii", DISTORTIONS, "Copies each pixel from a random offset: grainy scatter",
              SRC, DST, {"seed", 0, SEEDS, UNIT_SEED, "the random offsets"},
              {"strength", 0, 16, UNIT_BITS, "offsets reach 2 to the power strength - 1 pixels"}),
    OPERATION(45, moveDistort, "llii", DISTORTIONS, "Shifts the layer, wrapping round the edges",
              SRC, DST, {"dx", -256, 256, UNIT_PIXELS_X, "the picture moves left by dx"},
              {"dy", -256, 256, UNIT_PIXELS_Y, "the picture moves up by dy"}),
    OPERATION(46, kaleidLayer, "lli", DISTORTIONS, "Mirrors one quadrant into the other three",
              SRC, DST, {"corner", 1, 4, UNIT_QUADRANT, "quadrant kept: 1 top-left, 2 top-right, 3 bottom-right, 4 bottom-left"}),
    OPERATION(47, tunnelDistort, "llf", DISTORTIONS, "A view down a tunnel walled with the layer",
              SRC, DST, {"depth", 0, 16384, UNIT_SQUARE_PIXELS, "source row times distance from the centre"}),
    OPERATION(48, sculptureLayer, "ll", DISTORTIONS, "Each channel becomes the direction of its gradient", SRC, DST),
    OPERATION(49, logPolLayer, "ll", DISTORTIONS, "Log-polar unrolling around the centre", SRC, DST),
    OPERATION(50, erodeLayer, "ll", DISTORTIONS, "Erosion: dark areas grow", SRC, DST),
    OPERATION(51, dilateLayer, "ll", DISTORTIONS, "Dilation: bright areas grow", SRC, DST),
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

const char* unitName(ParameterUnit unit) {
    switch (unit) {
        case UNIT_LAYER: return "layer";
        case UNIT_ON_OFF: return "on/off";
        case UNIT_PIXELS: return "pixels";
        case UNIT_PIXELS_X: return "pixels (x)";
        case UNIT_PIXELS_Y: return "pixels (y)";
        case UNIT_SQUARE_PIXELS: return "square pixels";
        case UNIT_RADIANS_PER_PIXEL_X: return "radians per pixel (x)";
        case UNIT_RADIANS_PER_PIXEL_Y: return "radians per pixel (y)";
        case UNIT_PIXELS_X_PER_LEVEL: return "pixels (x) per level";
        case UNIT_PIXELS_Y_PER_LEVEL: return "pixels (y) per level";
        case UNIT_LEVELS: return "levels (255 is full)";
        case UNIT_STEPS_256: return "1/256 steps";
        case UNIT_SATURATION: return "saturation (1 is full)";
        case UNIT_HALF_CYCLES_PER_LEVEL: return "half waves per level";
        case UNIT_BITS: return "bits";
        case UNIT_COUNT: return "count";
        case UNIT_SEED: return "seed";
        case UNIT_FACTOR: return "factor";
        case UNIT_DEGREES: return "degrees";
        case UNIT_PLANE: return "plane units";
        case UNIT_RULE: return "rule number";
        case UNIT_QUADRANT: return "quadrant";
    }
    return "";
}
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
