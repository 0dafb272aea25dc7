// The look-keeping replay (see keep_look.h).
#include "tools/keep_look.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

namespace texlisting {

namespace {

enum class Look { ARGUMENTS, PHASES, REPEAT_SQUARE, REPEAT };

constexpr double MAX_REACH = 64;

// The operations whose reach is one pixel, and how each widens it.
Look lookOf(const tex::OperationInfo* row) {
    static const struct {
        const char* name;
        Look look;
    } SPECIAL[] = {
        {"embossLayer", Look::PHASES},    {"sharpenLayer", Look::PHASES},       {"edgeHLayer", Look::PHASES},
        {"edgeVLayer", Look::PHASES},     {"medianLayer", Look::PHASES},        {"sculptureLayer", Look::PHASES},
        {"noiseDistort", Look::PHASES},   {"randCombineLayers", Look::PHASES},  {"cellMachine", Look::PHASES},
        {"logPolLayer", Look::PHASES},    {"blurLayer", Look::REPEAT_SQUARE},   {"erodeLayer", Look::REPEAT},
        {"dilateLayer", Look::REPEAT},
    };
    for (const auto& special : SPECIAL)
        if (row && std::strcmp(row->name, special.name) == 0) return special.look;
    return Look::ARGUMENTS;
}

float scaledReal(float value, double factor) {
    const double product = double(value) * factor;  // exact: the factor is a power of two
    if (std::isnan(product)) return value;
    if (product > FLT_MAX) return FLT_MAX;
    if (product < -FLT_MAX) return -FLT_MAX;
    return static_cast<float>(product);
}

float scaledInteger(float slot, double factor) {
    const int32_t value = tex::slotInteger(slot);
    double product = std::round(double(value) * factor);  // halves away from zero
    if (value != 0 && product == 0) product = value > 0 ? 1 : -1;
    product = std::clamp(product, double(INT32_MIN), double(INT32_MAX));
    return static_cast<float>(int64_t(product));
}

// How many octaves perlinNoise draws at the design size: at a larger size the
// halved spacing reaches 0 later, and the extra octaves would change the
// random stream of every later record that continues it.
int32_t drawnOctaves(const float* p) {
    const int32_t octaves = tex::slotInteger(p[5]);
    uint32_t step = uint32_t(tex::slotInteger(p[1])), amplitude = uint32_t(tex::slotInteger(p[3]));
    const uint32_t persistence = uint32_t(tex::slotInteger(p[4]));
    int32_t drawn = 1;
    for (int32_t k = 1; k < octaves; ++k, ++drawn) {
        amplitude = (amplitude * persistence) >> 8;
        step >>= 1;
        if (amplitude == 0 || step == 0) break;
    }
    return std::min(octaves, drawn);
}

// Runs one record on each of the fx by fy interleaved pictures the layers are
// made of (pixels x = i * fx + a, y = j * fy + b for one phase (a, b)), each
// rebuilt at the design size, so that one pixel of reach becomes fx by fy.
void runInPhases(int32_t opcode, const float* params, int32_t fx, int32_t fy) {
    const int32_t width = tex::layerWidth, height = tex::layerHeight;
    const int32_t w = width / fx, h = height / fy;
    const size_t full = size_t(width) * size_t(height);
    std::vector<tex::Pixel> saved[tex::LAYER_COUNT];
    for (int i = 0; i < tex::LAYER_COUNT; ++i) saved[i].assign(tex::layers[i], tex::layers[i] + full);
    tex::LayerProgram programs[tex::LAYER_COUNT];
    std::memcpy(programs, tex::layerPrograms, sizeof programs);
    const uint32_t seed = tex::randomSeed;
    uint32_t after = seed;
    tex::initLayers(w, h);
    for (int32_t b = 0; b < fy; ++b)
        for (int32_t a = 0; a < fx; ++a) {
            for (int i = 0; i < tex::LAYER_COUNT; ++i)
                for (int32_t y = 0; y < h; ++y)
                    for (int32_t x = 0; x < w; ++x)
                        tex::layers[i][size_t(y) * size_t(w) + size_t(x)] =
                            saved[i][size_t(y * fy + b) * size_t(width) + size_t(x * fx + a)];
            tex::randomSeed = seed;  // every phase draws what the design size draws
            tex::runOperation(opcode, params);
            after = tex::randomSeed;
            for (int i = 0; i < tex::LAYER_COUNT; ++i)
                for (int32_t y = 0; y < h; ++y)
                    for (int32_t x = 0; x < w; ++x)
                        saved[i][size_t(y * fy + b) * size_t(width) + size_t(x * fx + a)] =
                            tex::layers[i][size_t(y) * size_t(w) + size_t(x)];
        }
    tex::initLayers(width, height);
    for (int i = 0; i < tex::LAYER_COUNT; ++i) std::copy(saved[i].begin(), saved[i].end(), tex::layers[i]);
    std::memcpy(tex::layerPrograms, programs, sizeof programs);
    tex::randomSeed = after;
}

// Runs a one-source record once per spacing, each run on every spacing-th
// pixel; every run after the first works on the result, (dst, dst).
void runAtSpacings(int32_t opcode, float* slots, const std::vector<int32_t>& spacings) {
    for (int32_t spacing : spacings) {
        if (spacing > 1)
            runInPhases(opcode, slots, spacing, spacing);
        else
            tex::runOperation(opcode, slots);
        slots[0] = slots[1];
    }
}

void runKeepingLook(int32_t opcode, const float* params, double rx, double ry) {
    const tex::OperationInfo* row = tex::findOperation(opcode);
    float scaled[10];
    scaleRecord(opcode, params, rx, ry, scaled);
    // Reach can only grow: at or below the design size these run as they are.
    // Beyond MAX_REACH times it grows no further, so that a tiny design size
    // cannot make a render take hours.
    const int32_t fx = rx > 1 ? int32_t(std::min(rx, MAX_REACH)) : 1, fy = ry > 1 ? int32_t(std::min(ry, MAX_REACH)) : 1;
    const int32_t k = std::min(fx, fy);
    switch (lookOf(row)) {
        case Look::ARGUMENTS: tex::runOperation(opcode, scaled); return;
        case Look::PHASES:
            if (fx * fy > 1) runInPhases(opcode, scaled, fx, fy);
            else tex::runOperation(opcode, scaled);
            return;
        case Look::REPEAT_SQUARE: {
            // Widening by k means k² times the variance. Three passes at each
            // spacing k/2, k/4, ..., 1 and one more at 1 add up to exactly
            // that in 3·log2(k) + 1 passes (each pass also truncates, so few
            // passes keep the texture's brightness).
            std::vector<int32_t> spacings;
            for (int32_t spacing = k / 2; spacing >= 1; spacing /= 2) spacings.insert(spacings.end(), 3, spacing);
            if (k > 1) spacings.push_back(1);
            if (spacings.empty()) spacings.push_back(1);  // at or below the design size: as it is
            runAtSpacings(opcode, scaled, spacings);
            return;
        }
        case Look::REPEAT: {
            // A 3 by 3 square k times is the same as the squares at spacings
            // 1, 2, 4, ..., k/2 and 1 once more: log2(k) + 1 passes.
            std::vector<int32_t> spacings{1};
            for (int32_t spacing = 1; spacing < k; spacing *= 2) spacings.push_back(spacing);
            runAtSpacings(opcode, scaled, spacings);
            return;
        }
    }
}

}  // namespace

void scaleRecord(int32_t opcode, const float params[10], double rx, double ry, float scaled[10]) {
    std::memcpy(scaled, params, 10 * sizeof(float));
    const tex::OperationInfo* row = tex::findOperation(opcode);
    // mandelBrot's parameters are not its slots, and none of them is in pixels.
    if (!row || row->opcode == tex::MANDELBROT_OPCODE) return;
    for (size_t k = 0; row->slots[k]; ++k) {
        double factor = 1;
        switch (row->parameters[k].unit) {
            case tex::UNIT_PIXELS: factor = std::min(rx, ry); break;
            case tex::UNIT_PIXELS_X:
            case tex::UNIT_PIXELS_X_PER_LEVEL: factor = rx; break;
            case tex::UNIT_PIXELS_Y:
            case tex::UNIT_PIXELS_Y_PER_LEVEL: factor = ry; break;
            case tex::UNIT_SQUARE_PIXELS: factor = rx * ry; break;
            case tex::UNIT_RADIANS_PER_PIXEL_X: factor = 1 / rx; break;
            case tex::UNIT_RADIANS_PER_PIXEL_Y: factor = 1 / ry; break;
            default: continue;
        }
        scaled[k] = row->slots[k] == tex::SLOT_REAL ? scaledReal(params[k], factor) : scaledInteger(params[k], factor);
    }
    if (std::strcmp(row->name, "perlinNoise") == 0 && (rx > 1 || ry > 1)) scaled[5] = float(drawnOctaves(params));
}

void replayKeepingLook(const Document& document, int32_t width, int32_t height) {
    int32_t designWidth, designHeight;
    designSize(document, designWidth, designHeight);
    if (width == designWidth && height == designHeight) return replayDocument(document, width, height);
    const double rx = double(width) / designWidth, ry = double(height) / designHeight;
    tex::initLayers(width, height);
    std::memcpy(tex::layerPrograms, document.programs, sizeof document.programs);
    for (int layer = 0; layer < tex::LAYER_COUNT; ++layer) {
        const tex::LayerProgram& program = document.programs[layer];
        for (int32_t i = 0; i < countedRecords(program); ++i) runKeepingLook(program.opcode[i], program.params[i], rx, ry);
    }
}

const char* lookMethod(int32_t opcode) {
    const tex::OperationInfo* row = tex::findOperation(opcode);
    if (!row) return "";
    switch (lookOf(row)) {
        case Look::PHASES: return "runs on every ratio-th pixel, so its one-pixel reach grows with the size";
        case Look::REPEAT_SQUARE: return "repeated at spacings ratio/2 down to 1, which widens it by the ratio";
        case Look::REPEAT: return "repeated at spacings 1 up to ratio/2, which widens it by exactly the ratio";
        case Look::ARGUMENTS: break;
    }
    for (size_t k = 0; row->slots[k]; ++k) {
        switch (row->parameters[k].unit) {
            case tex::UNIT_PIXELS: case tex::UNIT_PIXELS_X: case tex::UNIT_PIXELS_Y: case tex::UNIT_SQUARE_PIXELS:
            case tex::UNIT_RADIANS_PER_PIXEL_X: case tex::UNIT_RADIANS_PER_PIXEL_Y: case tex::UNIT_PIXELS_X_PER_LEVEL:
            case tex::UNIT_PIXELS_Y_PER_LEVEL:
                return "its lengths and frequencies in pixels are scaled by the ratio";
            default: break;
        }
    }
    return "unchanged: it works per pixel or in shares of the layer";
}

}  // namespace texlisting
