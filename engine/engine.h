// Procedural texture engine: the public interface.
//
// A texture is a program, not pixels: for each of five layers a list of up to
// MAX_OPS recorded operations (opcode + ten float32 slots). Replaying the lists
// in layer order rebuilds the layers; layer 4 is the finished texture.
//
// Conventions every operation shares:
// - A layer is layerWidth * layerHeight Pixels, row after row, top row first;
//   Pixel (x, y) is layers[L][y * layerWidth + x].
// - Sizes are powers of two; coordinates wrap as x & widthMask, y & heightMask,
//   so results tile seamlessly.
// - Operations name layers by index: 0..4 are the user layers, 5 is the
//   scratch layer that operations use internally. An operation called with a
//   layer index outside 0..4, or before initLayers, does nothing.
// - The destination may always be the same layer as a source.
// - Real-valued intermediates are evaluated in x87 extended precision (the
//   engine's own type and functions, engine/numeric) and rounded once to
//   float32 where the engine stores them; results are bit-exact on every
//   platform and compiler.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "engine/operations.h"

namespace tex {

constexpr int LAYER_COUNT = 5, SCRATCH_LAYER = 5, MAX_OPS = 100;

// Largest layer the engine accepts: each side at most 65536 pixels and at most
// 2^28 pixels in all, so that every pixel index fits an int32.
constexpr int32_t MAX_LAYER_SIDE = 65536;
constexpr int64_t MAX_LAYER_PIXELS = int64_t(1) << 28;

struct Pixel {
    uint8_t red, green, blue;
};
static_assert(sizeof(Pixel) == 3, "a Pixel is three bytes");

// One layer's recorded program; five of them back to back are a document.
struct LayerProgram {
    int32_t count;
    int32_t opcode[MAX_OPS];
    float params[MAX_OPS][10];
};
static_assert(sizeof(LayerProgram) == 4404, "a LayerProgram is 4404 bytes without padding");

// ---- Engine state ---------------------------------------------------------

extern int32_t layerWidth, layerHeight, widthMask, heightMask;
extern Pixel* layers[6];
extern LayerProgram layerPrograms[LAYER_COUNT];
extern uint32_t randomSeed;

// Allocates (or resizes) the six layer buffers, blacks out layers 0..4 and
// resets every program count; recorded records beyond the counts are kept.
// Throws std::invalid_argument for a side below 1 or above MAX_LAYER_SIDE or
// more than MAX_LAYER_PIXELS pixels, std::bad_alloc when memory runs out.
void initLayers(int32_t width, int32_t height);
// Releases the six buffers and the worker threads; harmless when they are
// not allocated.
void freeLayers();

// How many threads an operation splits its work over: n <= 0 means every
// hardware thread, 1 exactly one (the calling thread, as before threads
// existed). Until it is called the count is TEX_THREADS from the environment
// when that names one, else every hardware thread. Every count gives the same
// bytes. Workers are created at the first operation that splits its work,
// wait blocked between engine calls and are joined by freeLayers and by
// setThreadCount; call it like every engine function, one call at a time.
void setThreadCount(int32_t n);
// The count in use, at least 1.
int32_t threadCount();

// ---- Shared helpers -------------------------------------------------------

uint32_t nextRandom();                // 16-bit value; advances randomSeed
uint32_t intSqrt(uint32_t x);         // integer Newton root: floor or floor + 1
float fastSqrt(float x);              // bit-pattern approximation, never exact
Pixel blendTexels(const Pixel texels[4], float fx, float fy);
Pixel sampleLayer(int32_t layer, float x, float y);
void rgbToHsv(float r, float g, float b, float& h, float& s, float& v);
void hsvToRgb(float h, float s, float v, float& r, float& g, float& b);

// ---- Recorded operations --------------------------------------------------

// Records an operation in a layer's program. With index >= 0 the record is
// stored at that position and nothing runs; otherwise it is appended (a
// generator, opcode < 10, first empties the program) and run when `run` is
// true. Returns false, changing nothing, for a layer outside 0..4, a position
// outside 0..MAX_OPS-1 or an append to a full program.
bool appendOperation(int32_t layer, bool run, int32_t opcode, const float params[10], int32_t index = -1);
// Overwrites the record at `index`; the count is unchanged and nothing runs.
bool replaceOperation(int32_t layer, int32_t index, int32_t opcode, const float params[10]);
// Drops the last record; with `rebuild` replays what is left (an emptied
// layer becomes black). A layer outside 0..4 is ignored.
void undoOperation(int32_t layer, bool rebuild);
// Converts the slots and calls the opcode's operation; unassigned opcodes do nothing.
void runOperation(int32_t opcode, const float params[10]);

// ---- Documents ------------------------------------------------------------

struct IoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Size of a texture document: the five LayerPrograms verbatim.
constexpr int32_t DOCUMENT_SIZE = LAYER_COUNT * int32_t(sizeof(LayerProgram));

// Reads the document, replays every layer's program at width by height and
// converts layer 4 to red*65536 + green*256 + blue per pixel. With `allocate`
// the buffer is resized with std::realloc (free it with std::free). Failures
// throw IoError: "File not found", "Invalid filename", "Access denied" or
// "Read past end of file".
void loadTexture(uint32_t*& pixels, const std::string& fileName, int32_t width, int32_t height, bool allocate);
// Writes layerPrograms verbatim (DOCUMENT_SIZE bytes). The file is written
// under a temporary name in the same folder and renamed into place, so a
// failure never leaves a truncated document behind. Throws IoError.
void saveTexture(const std::string& fileName);

// Formats one record as a line of source text, e.g.
// "perlinNoise(0,64,12345,256,128,4,true);"; unassigned opcodes give " ".
std::string exportSource(int32_t opcode, const float params[10]);

// ---- Operations -----------------------------------------------------------
// Generators take the destination first; one-source operations (src, dst, ...);
// combiners (src1, src2, dst, w1, w2).

// Plasma and noise
void subPlasma(int32_t dst, int32_t step, int32_t seed, int32_t amplitude, bool colored);
void sinePlasma(int32_t dst, float xFrequency, float yFrequency, float amplitude);
void perlinNoise(int32_t dst, int32_t step, int32_t seed, int32_t amplitude, int32_t persistence, int32_t octaves,
                 bool colored);
// Simple fills
void particle(int32_t dst, float falloff);
void colorLayer(int32_t dst, int32_t red, int32_t green, int32_t blue);
void checkerBoardLayer(int32_t dst, int32_t cellWidth, int32_t cellHeight, int32_t red1, int32_t green1,
                       int32_t blue1, int32_t red2, int32_t green2, int32_t blue2);
// Patterns
void blobsLayer(int32_t dst, int32_t seed, int32_t count, bool colored);
void mandelBrot(int32_t dst, float xStart, float xSpan, float yStart, float ySpan, float bailout);
void cellMachine(int32_t dst, int32_t seed, int32_t rule);

// Combiners
void addLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2);
void mulLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2);
void randCombineLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2);
void minCombineLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2);
void maxCombineLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2);
void xorLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2);
void orLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2);
void andLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2);
// Channel scaling and adjustment
void scaleLayerRGB(int32_t src, int32_t dst, float r, float g, float b);
void scaleLayerHSV(int32_t src, int32_t dst, float h, float s, float v);
void adjustLayerRGB(int32_t src, int32_t dst, int32_t r, int32_t g, int32_t b);
void adjustLayerHSV(int32_t src, int32_t dst, float h, float s, float v);
// Tone curves
void sineLayerRGB(int32_t src, int32_t dst, float r, float g, float b);
void equalizeRGB(int32_t src, int32_t dst);
void stretchRGB(int32_t src, int32_t dst);

// Convolution filters
void blurLayer(int32_t src, int32_t dst);
void sharpenLayer(int32_t src, int32_t dst);
void embossLayer(int32_t src, int32_t dst);
void edgeHLayer(int32_t src, int32_t dst);
void edgeVLayer(int32_t src, int32_t dst);
// Pixel and smear filters
void invertLayer(int32_t src, int32_t dst);
void woodLayer(int32_t src, int32_t dst, int32_t bits);
void motionBlur(int32_t src, int32_t dst, int32_t radius);
void makeTilable(int32_t src, int32_t dst, int32_t border);
// Median
void medianLayer(int32_t src, int32_t dst);

// Displacement
void sineDistort(int32_t src, int32_t dst, float hFreq, float hAmp, float vFreq, float vAmp);
void mapDistort(int32_t src, int32_t map, int32_t dst, float scaleX, float scaleY);
void tileLayer(int32_t src, int32_t dst);
void noiseDistort(int32_t src, int32_t dst, int32_t seed, int32_t strength);
void moveDistort(int32_t src, int32_t dst, int32_t dx, int32_t dy);
// Polar and radial
void twirlLayer(int32_t src, int32_t dst, float strength, float scale);
void kaleidLayer(int32_t src, int32_t dst, int32_t corner);
void tunnelDistort(int32_t src, int32_t dst, float depth);
void logPolLayer(int32_t src, int32_t dst);
// Relief and morphology
void sculptureLayer(int32_t src, int32_t dst);
void erodeLayer(int32_t src, int32_t dst);
void dilateLayer(int32_t src, int32_t dst);

}  // namespace tex
