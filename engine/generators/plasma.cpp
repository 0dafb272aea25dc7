// Plasma generators: cosine-interpolated value noise on a grid (subPlasma)
// and a sum of two sine waves (sinePlasma).
//
// subPlasma reproduces blendTexels bit for bit without calling it per pixel.
// The cosine weights depend only on a pixel's position inside its cell, so
// each column and row weight is computed once per call into a table. Cells
// run in row-major order and read their corners from the layer as it is at
// that moment, which matters when the step does not divide the size.
//
// blendTexels truncates a weighted sum formed in extended precision. Here it
// is first formed in float32, four pixels at a time, from edge mixes shared
// by all rows of a cell; every term is non-negative and the sum is below 256,
// so a bound on the rounding error decides the truncation except for the
// sums next to a whole number. Those are redone exactly, in integers (see
// redoUndecided).
#include <utility>

#include "engine/generators/plasma.h"

#include "engine/distort/sampling.h"
#include "engine/internal.h"
#include "engine/numeric/decide.h"
#include "engine/threads.h"

#if TEX_X86_VECTORS
#include <immintrin.h>
#endif

namespace tex {

namespace {

// Per-call weight tables for the positions 0..step-1 inside a cell, indexed
// from the first position that survives (see drawPlasma); padded for the
// four-wide blend. The grain of a position is the k of weightGrain.
alignas(16) float columnWeight[MAX_LAYER_SIDE + 4], columnRest[MAX_LAYER_SIDE + 4];
alignas(16) int32_t columnGrain[MAX_LAYER_SIDE + 4];
float rowWeight[MAX_LAYER_SIDE], rowRest[MAX_LAYER_SIDE];
int32_t rowGrain[MAX_LAYER_SIDE];
// One blended cell row that wraps round the layer, before it is copied.
Pixel blendedRow[MAX_LAYER_SIDE + 4];
// For a step that divides the layer: the column tables repeated over the
// whole width, and the corners of each cell of one row of cells.
alignas(16) float tiledWeight[MAX_LAYER_SIDE + 4], tiledRest[MAX_LAYER_SIDE + 4];
alignas(16) int32_t tiledGrain[MAX_LAYER_SIDE + 4];
struct CellCorners {  // one row of cells, one per thread
    Pixel corners[MAX_LAYER_SIDE / 2 + 1][4];
};

// One row of grid draws.
uint8_t drawnValues[3 * MAX_LAYER_SIDE + 4];

// The draws of nextRandom, masked, 64 at a time: the state of draw i + 64 is
// that of draw i times 22695477^64, so the lanes advance independently and
// the loop vectorizes. next holds the states of the draws i .. i + 63. The
// bytes go to a local array first, which cannot alias the states.
constexpr int DRAW_LANES = 64;
constexpr uint32_t laneStep() {
    uint32_t power = 1;
    for (int l = 0; l < DRAW_LANES; ++l) power *= RANDOM_MULTIPLIER;
    return power;
}
TEX_ALWAYS_INLINE void drawLoop(uint32_t* next, uint8_t* values, int64_t count, uint32_t mask) {
    constexpr uint32_t step = laneStep();
    int64_t i = 0;
    for (; i + DRAW_LANES <= count; i += DRAW_LANES) {
        uint8_t drawn[DRAW_LANES];
        for (int l = 0; l < DRAW_LANES; ++l) {
            drawn[l] = uint8_t((next[l] >> 16) & mask);
            next[l] *= step;
        }
        std::memcpy(values + i, drawn, DRAW_LANES);
    }
    for (int l = 0; l < DRAW_LANES && i + l < count; ++l) values[i + l] = uint8_t((next[l] >> 16) & mask);
}
void drawPlain(uint32_t* next, uint8_t* values, int64_t count, uint32_t mask) {
    drawLoop(next, values, count, mask);
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION void drawAvx2(uint32_t* next, uint8_t* values, int64_t count, uint32_t mask) {
    drawLoop(next, values, count, mask);
}
#endif

// Makes `count` draws of nextRandom into drawnValues (masked) and advances
// randomSeed past them.
void drawValues(int64_t count, uint32_t mask) {
    uint32_t next[DRAW_LANES], state = randomSeed;
    for (int l = 0; l < DRAW_LANES; ++l) next[l] = state *= RANDOM_MULTIPLIER;
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx2)
        drawAvx2(next, drawnValues, count, mask);
    else
#endif
        drawPlain(next, drawnValues, count, mask);
    skipRandom(uint64_t(count));
}

// sum = min(sum + octave, 255) on every byte, written as sum + min(octave,
// 255 - sum) so that it stays in bytes: the compilers make it a byte minimum
// and add (or a saturating add) rather than widening to 16 bits.
TEX_ALWAYS_INLINE void addSaturatedLoop(uint8_t* sum, const uint8_t* octave, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t room = uint8_t(255 - sum[i]);
        sum[i] = uint8_t(sum[i] + (octave[i] < room ? octave[i] : room));
    }
}
void addSaturatedPlain(uint8_t* sum, const uint8_t* octave, size_t n) { addSaturatedLoop(sum, octave, n); }
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION void addSaturatedAvx2(uint8_t* sum, const uint8_t* octave, size_t n) {
    addSaturatedLoop(sum, octave, n);
}
#endif

// Adds the bytes at..at + n - 1 of the layer into sum.
void addBytes(Pixel* sum, const Pixel* layer, size_t at, size_t n) {
    auto* add = addSaturatedPlain;
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx2) add = addSaturatedAvx2;
#endif
    add(reinterpret_cast<uint8_t*>(sum) + at, reinterpret_cast<const uint8_t*>(layer) + at, n);
}

// Adds `count` rows of the layer from row `first` on into sum (if any).
void addRows(Pixel* sum, const Pixel* layer, int64_t first, int64_t count) {
    if (sum) addBytes(sum, layer, size_t(first * layerWidth) * 3, size_t(count * layerWidth) * 3);
}

// Fills the tables for the positions first + k, k < count, at the fraction
// single(position * inv). Below 2^29 a position times a float32 is exact in
// double, so its one rounding to float32 is ext's; 1 - weight is a float32
// subtraction, which single() of two float32 operands always is.
void fillWeights(float* weight, float* rest, int32_t* grain, int64_t first, int64_t count, float inv) {
    for (int64_t k = 0; k < count; ++k) {
        const int64_t position = first + k;
        const float f = position < (int64_t(1) << 29) ? static_cast<float>(double(position) * inv)
                                                       : static_cast<float>(ext(position) * inv);
        weight[k] = cosineWeight(f);
        rest[k] = 1.0f - weight[k];
        grain[k] = weightGrain(weight[k], rest[k]);
    }
}

// The edge mixes of a row of cells for each column position and channel, in
// float32, c_left * rest + c_right * weight: of the grid row above the cells
// (set `top`) and of the one below (set `bottom`). Two sets, so that the
// bottom mixes of one row of cells serve as the top mixes of the next. One
// per thread.
struct CellEdges {
    alignas(16) float edge[2][3][MAX_LAYER_SIDE + 4];
    int top, bottom;
};

#if !TEX_X86_VECTORS
// One row's blended words (red, green, blue in bits 0, 8, 16) and undecided
// flags, one set per thread; the flags have room for 8 zeros past the row.
struct BlendWords {
    uint32_t word[MAX_LAYER_SIDE + 4];
    int32_t undecided[MAX_LAYER_SIDE + 8];
};

// Stores count words as pixels. Where the machine stores the least
// significant byte first (the compiler folds the test), four words go out as
// three: w0 | w1 << 24, w1 >> 8 | w2 << 16, w2 >> 16 | w3 << 8. The rest go a
// byte at a time.
void storeWords(const uint32_t* word, int64_t count, Pixel* out) {
    const uint32_t probe = 1;
    uint8_t first;
    std::memcpy(&first, &probe, 1);
    int64_t k = 0;
    if (first == 1)
        for (; k + 4 <= count; k += 4) {
            const uint32_t w0 = word[k], w1 = word[k + 1], w2 = word[k + 2], w3 = word[k + 3];
            const uint32_t o0 = w0 | w1 << 24, o1 = w1 >> 8 | w2 << 16, o2 = w2 >> 16 | w3 << 8;
            auto* bytes = reinterpret_cast<uint8_t*>(out + k);
            std::memcpy(bytes, &o0, 4);
            std::memcpy(bytes + 4, &o1, 4);
            std::memcpy(bytes + 8, &o2, 4);
        }
    for (; k < count; ++k) out[k] = {uint8_t(word[k]), uint8_t(word[k] >> 8), uint8_t(word[k] >> 16)};
}
#endif

// Mixes positions 0..count-1 between the grid values left and right (three
// bytes each) into edge set `into` from index `at` on, rounded up to a
// multiple of 4 positions.
inline void mixEdge(const uint8_t* left, const uint8_t* right, const float* weight, const float* rest, int64_t count,
                    int64_t at, int into) {
    auto& edge = perThread<CellEdges>().edge[into];
    const int64_t padded = (count + 3) / 4 * 4;
    for (int ch = 0; ch < 3; ++ch) {
        const float c0 = left[ch], c1 = right[ch];
        float* mixed = edge[ch] + at;
        for (int64_t i = 0; i < padded; ++i) mixed[i] = c0 * rest[i] + c1 * weight[i];
    }
}

// The same for both edges of one cell with corners c (top left, top right,
// bottom left, bottom right), into sets 0 and 1.
inline void mixEdges(const uint8_t* c, const float* weight, const float* rest, int64_t count, int64_t at) {
    CellEdges& edges = perThread<CellEdges>();
    edges.top = 0;
    edges.bottom = 1;
    mixEdge(c, c + 3, weight, rest, count, at, 0);
    mixEdge(c + 6, c + 9, weight, rest, count, at, 1);
}

// The index of the lowest set bit of x (not 0), by de Bruijn's sequence
// (ISO C++17 has no such operation).
inline int lowestBit(uint32_t x) {
    static constexpr uint8_t POSITION[32] = {0,  1,  28, 2,  29, 14, 24, 3, 30, 22, 20, 15, 25, 17, 4,  8,
                                             31, 27, 13, 23, 21, 19, 16, 7, 26, 12, 18, 6,  11, 5,  10, 9};
    return POSITION[((x & (0u - x)) * 0x077CB531u) >> 27];
}

// Redoes the positions k0 + lane, lane < 8, that have an undecided channel
// (bit 8 * channel + lane of `undecided`) as blendTexels blends them, with
// the weights it forms. Most undecided sums lie next to a whole number by
// the layout of the cells (on the grid lines, at fractions such as 1/2), so
// no cheap bound decides them; the sampler's blend forms them exactly in
// integers instead (distort::blendWeights), with no test that could fail and
// no branch on the data but the loop's: the redo of a few percent of the
// channels used to take half of perlinNoise's time in tests and branches.
inline void redoUndecided(const uint8_t* corners, int cellShift, const float* weight, const float* rest, float wy,
                          float ay, int64_t k0, uint32_t undecided, int64_t count, Pixel* out) {
    const auto* cells = reinterpret_cast<const Pixel*>(corners);
    for (uint32_t lanes = (undecided | undecided >> 8 | undecided >> 16) & 255u; lanes; lanes &= lanes - 1) {
        const int64_t k = k0 + lowestBit(lanes);
        if (k >= count) break;
        const Pixel* c = cells + 4 * (k >> cellShift);
        out[k] = distort::blendWeights(c[0], c[1], c[2], c[3], rest[k] * ay, weight[k] * ay, rest[k] * wy,
                                       weight[k] * wy);
    }
}

// Blends positions first..count-1 of one row (first a multiple of 4) from
// the edge mixes, four at a time, as
// ay * top + wy * bottom in float32; position k belongs to the cell whose
// corner values are corners[12 * (k >> cellShift) + 3 * corner + channel].
// The float32 value differs from the exact sum of c_k * w_k with the rounded
// weights w_k by at most five roundings of relative size 2^-24 of a value
// below 256, 5.01 * 2^-16, and that sum from the extended one by far less. A
// lane is decided when no whole number lies within 2^-12 of it, or when the
// column and row grains add up to at most 16: the weights are then
// multiples of 2^-16 summing to 1 and every step is exact. Undecided
// positions go through redoUndecided.
inline void blendRowNarrow(const uint8_t* corners, int cellShift, const float* weight, const float* rest,
                           const int32_t* grain, float wy, float ay, int32_t rowGrainValue, int64_t first,
                           int64_t count, Pixel* out) {
    CellEdges& edges = perThread<CellEdges>();
    const auto& cellTop = edges.edge[edges.top];
    const auto& cellBottom = edges.edge[edges.bottom];
#if !TEX_X86_VECTORS
    // The same float32 steps in a plain loop the compiler vectorises: the
    // three bytes of each position as one word and its undecided channels
    // (bits 0, 8, 16), then the bytes stored and the few undecided redone.
    BlendWords& blended = perThread<BlendWords>();
    uint32_t* word = blended.word;
    int32_t* undecided = blended.undecided;
    const int32_t exactBelow = 17 - rowGrainValue;
    const float* top0 = cellTop[0];
    const float* top1 = cellTop[1];
    const float* top2 = cellTop[2];
    const float* bottom0 = cellBottom[0];
    const float* bottom1 = cellBottom[1];
    const float* bottom2 = cellBottom[2];
    int32_t anyUndecided = 0;
    for (int64_t k = first; k < count; ++k) {
        const float r = ay * top0[k] + wy * bottom0[k], g = ay * top1[k] + wy * bottom1[k];
        const float b = ay * top2[k] + wy * bottom2[k];
        const int32_t unclear = int32_t(truncSmall(r - 0x1p-12f) != truncSmall(r + 0x1p-12f)) |
                                int32_t(truncSmall(g - 0x1p-12f) != truncSmall(g + 0x1p-12f)) << 8 |
                                int32_t(truncSmall(b - 0x1p-12f) != truncSmall(b + 0x1p-12f)) << 16;
        word[k] = uint32_t(truncSmall(r) & 255) | uint32_t(truncSmall(g) & 255) << 8 |
                  uint32_t(truncSmall(b) & 255) << 16;
        undecided[k] = unclear & -int32_t(grain[k] >= exactBelow);
        anyUndecided |= undecided[k];
    }
    storeWords(word + first, count - first, out + first);
    // Eight positions' flags at a time (zeros past the row), first tested
    // together, then gathered as redoUndecided takes them.
    if (anyUndecided) {
        for (int64_t k = count; k < count + 8; ++k) undecided[k] = 0;
        for (int64_t k = first; k < count; k += 8) {
            int32_t any = 0;
            for (int64_t lane = 0; lane < 8; ++lane) any |= undecided[k + lane];
            if (!any) continue;
            uint32_t flags = 0;
            for (int64_t lane = 0; lane < 8; ++lane) flags |= uint32_t(undecided[k + lane]) << lane;
            redoUndecided(corners, cellShift, weight, rest, wy, ay, k, flags, count, out);
        }
    }
#else
    const __m128 rowWeight4 = _mm_set1_ps(wy), rowRest4 = _mm_set1_ps(ay), slack = _mm_set1_ps(0x1p-12f);
    const __m128i exactBelow = _mm_set1_epi32(17 - rowGrainValue), byte = _mm_set1_epi32(255);
    const __m128i threeBytes = _mm_set_epi32(0, 0xFFFFFF, 0, 0xFFFFFF), firstSix = _mm_set_epi32(0, 0, 0xFFFF, -1);
    for (int64_t i = first; i < count; i += 4) {
        const __m128i grains = _mm_load_si128(reinterpret_cast<const __m128i*>(grain + i));
        __m128i decided = _mm_cmplt_epi32(grains, exactBelow), packed = _mm_setzero_si128();
        uint32_t undecided = 0;
        for (int ch = 0; ch < 3; ++ch) {
            const __m128 sum = _mm_add_ps(_mm_mul_ps(rowRest4, _mm_load_ps(cellTop[ch] + i)),
                                          _mm_mul_ps(rowWeight4, _mm_load_ps(cellBottom[ch] + i)));
            const __m128i low = _mm_cvttps_epi32(_mm_sub_ps(sum, slack));
            const __m128i high = _mm_cvttps_epi32(_mm_add_ps(sum, slack));
            const __m128i value = _mm_and_si128(_mm_cvttps_epi32(sum), byte);
            packed = _mm_or_si128(packed, _mm_sll_epi32(value, _mm_cvtsi32_si128(8 * ch)));
            const __m128i sure = _mm_or_si128(decided, _mm_cmpeq_epi32(low, high));
            undecided |= uint32_t(~_mm_movemask_ps(_mm_castsi128_ps(sure)) & 15) << (8 * ch);
        }
        if (i + 6 <= count) {
            // Twelve bytes r0 g0 b0 r1 ... b3 from the four words 0bgr; the
            // four bytes stored past them belong to the next two positions.
            const __m128i pairs = _mm_or_si128(_mm_and_si128(packed, threeBytes),
                                               _mm_andnot_si128(threeBytes, _mm_srli_epi64(packed, 8)));
            const __m128i bytes = _mm_or_si128(_mm_and_si128(pairs, firstSix),
                                               _mm_andnot_si128(firstSix, _mm_srli_si128(pairs, 2)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), bytes);
        } else {
            alignas(16) uint32_t word[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(word), packed);
            for (int64_t lane = 0; lane < 4 && i + lane < count; ++lane) std::memcpy(out + i + lane, word + lane, 3);
        }
        redoUndecided(corners, cellShift, weight, rest, wy, ay, i, undecided, count, out);
    }
#endif
}

#if TEX_X86_VECTORS
// The undecided channels of each eight positions of a row (as redoUndecided
// takes them), one set per thread.
struct WideFlags {
    uint32_t flags[MAX_LAYER_SIDE / 8 + 1];
};

// Eight positions at a time with 256-bit float and integer operations, the
// same float32 operations lane by lane; the last positions go four at a time.
__attribute__((target("avx2"))) void blendRowWide(const uint8_t* corners, int cellShift, const float* weight,
                                                  const float* rest, const int32_t* grain, float wy, float ay,
                                                  int32_t rowGrainValue, int64_t count, Pixel* out) {
    CellEdges& edges = perThread<CellEdges>();
    const auto& cellTop = edges.edge[edges.top];
    const auto& cellBottom = edges.edge[edges.bottom];
    const __m256 rowWeight8 = _mm256_set1_ps(wy), rowRest8 = _mm256_set1_ps(ay), slack = _mm256_set1_ps(0x1p-12f);
    const __m256i exactBelow = _mm256_set1_epi32(17 - rowGrainValue), byte = _mm256_set1_epi32(255);
    // Per 128-bit half: the three colour bytes of its four words, then zeros.
    const __m256i gather = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6,
                                            8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    uint32_t* groupFlags = perThread<WideFlags>().flags;
    uint32_t anyUndecided = 0;
    int64_t i = 0;
    // Each half stores 16 bytes, the last four of them the next positions'.
    for (; i + 10 <= count; i += 8) {
        const __m256i grains = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(grain + i));
        const __m256i decided = _mm256_cmpgt_epi32(exactBelow, grains);
        __m256i packed = _mm256_setzero_si256();
        uint32_t undecided = 0;
        for (int ch = 0; ch < 3; ++ch) {
            const __m256 sum = _mm256_add_ps(_mm256_mul_ps(rowRest8, _mm256_loadu_ps(cellTop[ch] + i)),
                                             _mm256_mul_ps(rowWeight8, _mm256_loadu_ps(cellBottom[ch] + i)));
            const __m256i low = _mm256_cvttps_epi32(_mm256_sub_ps(sum, slack));
            const __m256i high = _mm256_cvttps_epi32(_mm256_add_ps(sum, slack));
            const __m256i value = _mm256_and_si256(_mm256_cvttps_epi32(sum), byte);
            packed = _mm256_or_si256(packed, _mm256_sll_epi32(value, _mm_cvtsi32_si128(8 * ch)));
            const __m256i sure = _mm256_or_si256(decided, _mm256_cmpeq_epi32(low, high));
            undecided |= uint32_t(~_mm256_movemask_ps(_mm256_castsi256_ps(sure)) & 255) << (8 * ch);
        }
        const __m256i bytes = _mm256_shuffle_epi8(packed, gather);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_castsi256_si128(bytes));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 4), _mm256_extracti128_si256(bytes, 1));
        groupFlags[i / 8] = undecided;
        anyUndecided |= undecided;
    }
    // The redo may call code built without AVX (for weights below 2^-30).
    // On Intel processors, SSE code run while the upper halves of the vector
    // registers are in use pays a state change on every call, and the
    // compiler's own clearing misses the 256-bit values it reloads inside
    // the loop: redone inside it, the undecided positions once made
    // perlinNoise three times slower there. So they are redone after it,
    // the upper halves cleared once.
    _mm256_zeroupper();
    if (anyUndecided)
        for (int64_t k = 0; k < i; k += 8)
            if (const uint32_t flags = groupFlags[k / 8])
                redoUndecided(corners, cellShift, weight, rest, wy, ay, k, flags, count, out);
    blendRowNarrow(corners, cellShift, weight, rest, grain, wy, ay, rowGrainValue, i, count, out);
}

// Set up before main, so the processor's feature bits are read explicitly.
const bool wideBlendAvailable = vectorUnits() >= VectorUnits::Avx2;
#else
const bool wideBlendAvailable = false;
#endif
bool wideBlend = wideBlendAvailable;

inline void blendRow(const uint8_t* corners, int cellShift, const float* weight, const float* rest,
                     const int32_t* grain, float wy, float ay, int32_t rowGrainValue, int64_t count, Pixel* out) {
#if TEX_X86_VECTORS
    if (wideBlend) return blendRowWide(corners, cellShift, weight, rest, grain, wy, ay, rowGrainValue, count, out);
#endif
    blendRowNarrow(corners, cellShift, weight, rest, grain, wy, ay, rowGrainValue, 0, count, out);
}

// The cells of a step that divides both sides (a power of two, 2 or more)
// write only their own block and read only grid points, which they leave
// unchanged, so the order of cells does not matter: the layer is blended
// row by row, each row of cells mixing its edges once for all its rows, and
// each row added into sum (if any) once it is final.
//
// On the threads, in two passes over bands of cell rows: first the rows
// inside the cells, which read the grid rows while nothing writes them;
// then the grid rows themselves. A grid row has row weight 0 and rest 1
// exactly, so the corners below add exactly 0 to it: it takes its own
// corners as the lower ones too and reads no row another band writes.
void blendTiles(Pixel* out, int64_t step, Pixel* sum) {
    const int64_t width = layerWidth, height = layerHeight, cells = width / step;
    int cellShift = 0;
    while ((int64_t(1) << cellShift) < step) ++cellShift;
    for (int64_t x = 0; x < width; ++x) {
        tiledWeight[x] = columnWeight[x & (step - 1)];
        tiledRest[x] = columnRest[x & (step - 1)];
        tiledGrain[x] = columnGrain[x & (step - 1)];
    }
    const auto cellRows = [&](int64_t firstCellRow, int64_t endCellRow, int64_t firstJ, int64_t endJ, bool ownRow) {
    auto& tiledCorners = perThread<CellCorners>().corners;
    CellEdges& edges = perThread<CellEdges>();
    const auto mixRow = [&](const Pixel* row, int into) {
        for (int64_t x = 0; x < width; x += step)
            mixEdge(&row[x].red, &row[(x + step) & widthMask].red, columnWeight, columnRest, step, x, into);
    };
    int64_t kept = -1;  // the grid row whose mixes set `bottom` holds
    for (int64_t y = firstCellRow * step; y < endCellRow * step; y += step) {
        const int64_t below = (y + step) & heightMask;
        const Pixel* top = out + y * width;
        const Pixel* bottom = ownRow ? top : out + below * width;
        if (ownRow) {
            // A grid row alone: its lower corners are its own, and so are its
            // bottom mixes.
            edges.top = edges.bottom = 0;
            mixRow(top, 0);
        } else {
            // The grid row above is mostly the one below the last row of
            // cells, whose mixes stand (not always: the wrap masks the row).
            if (y != kept) mixRow(top, edges.bottom = 0);
            edges.top = edges.bottom;
            edges.bottom = 1 - edges.top;
            mixRow(bottom, edges.bottom);
            kept = below;
        }
        for (int64_t cell = 0; cell < cells; ++cell) {
            const int64_t x = cell * step, xr = (x + step) & widthMask;
            Pixel* c = tiledCorners[cell];
            c[0] = top[x], c[1] = top[xr], c[2] = bottom[x], c[3] = bottom[xr];
        }
        for (int64_t j = firstJ; j < endJ; ++j)
            blendRow(&tiledCorners[0][0].red, cellShift, tiledWeight, tiledRest, tiledGrain, rowWeight[j], rowRest[j],
                     rowGrain[j], width, out + (y + j) * width);
        addRows(sum, out, y + firstJ, endJ - firstJ);
    }
    };
    const int64_t cellRowCount = height / step;
    if (!(rowWeight[0] == 0.0f && rowRest[0] == 1.0f)) return cellRows(0, cellRowCount, 0, step, false);
    forEachRange(cellRowCount, width * step, [&](int64_t c0, int64_t c1) { cellRows(c0, c1, 1, step, false); });
    forEachRange(cellRowCount, width, [&](int64_t c0, int64_t c1) { cellRows(c0, c1, 0, 1, true); });
}

// A step of 2 has the fractions 0 and 1/2, whose weights are exactly 0, 1/2
// and 1: a blend is then the truncated mean of two or four corners. In a
// grid row the odd pixels take the mean of their left and right neighbours;
// in the row below, the even pixels the mean of the grid pixels above and
// below, the odd ones the mean of the four diagonal grid pixels.
inline Pixel mean2(Pixel a, Pixel b) {
    return {uint8_t((a.red + b.red) >> 1), uint8_t((a.green + b.green) >> 1), uint8_t((a.blue + b.blue) >> 1)};
}

#if TEX_X86_VECTORS
inline __m128i mean2(__m128i a, __m128i b) {
    const __m128i half = _mm_and_si128(_mm_srli_epi16(_mm_xor_si128(a, b), 1), _mm_set1_epi8(0x7F));
    return _mm_add_epi8(_mm_and_si128(a, b), half);
}

inline __m128i mean4(__m128i a, __m128i b, __m128i c, __m128i d) {
    const __m128i zero = _mm_setzero_si128();
    const auto sum = [&](__m128i (*unpack)(__m128i, __m128i)) {
        const __m128i total = _mm_add_epi16(_mm_add_epi16(unpack(a, zero), unpack(b, zero)),
                                            _mm_add_epi16(unpack(c, zero), unpack(d, zero)));
        return _mm_srli_epi16(total, 2);
    };
    return _mm_packus_epi16(sum(_mm_unpacklo_epi8), sum(_mm_unpackhi_epi8));
}
#endif

uint8_t haloRows[2][3 * MAX_LAYER_SIDE + 6];

// A grid row's bytes with its last pixel before and its first pixel after.
void fillHalo(uint8_t* halo, const Pixel* row, int64_t width) {
    std::memcpy(halo, row + width - 1, 3);
    std::memcpy(halo + 3, row, size_t(width) * 3);
    std::memcpy(halo + 3 + width * 3, row, 3);
}

#if !TEX_X86_VECTORS
// The bytes of the odd pixels of a row (0xFF), for the plain row form below.
uint8_t oddPixelBytes[3 * MAX_LAYER_SIDE];

// blendHalves a row pair at a time as a plain loop over bytes, which the
// compiler vectorises: byte o of the grid row and of the row below it, from
// the halo rows above and below (the same channel of the left and right
// pixels 3 bytes either side). The bytes are formed in local arrays, which
// no input can overlap, and then copied out: Clang leaves the loop scalar
// when it writes the layer directly.
void blendHalvesRows(Pixel* out, Pixel* sum) {
    const int64_t width = layerWidth, height = layerHeight, rowBytes = 3 * width;
    for (int64_t o = 0, phase = 0; o < rowBytes; ++o, phase = phase == 5 ? 0 : phase + 1)
        oddPixelBytes[o] = phase >= 3 ? 0xFF : 0;
    uint8_t* above = haloRows[0];
    uint8_t* below = haloRows[1];
    fillHalo(above, out, width);
    constexpr int64_t CHUNK = 1024;
    for (int64_t y = 0; y < height; y += 2) {
        auto* top = reinterpret_cast<uint8_t*>(out + y * width);
        uint8_t* middle = top + rowBytes;
        fillHalo(below, out + ((y + 2) & heightMask) * width, width);
        for (int64_t start = 0; start < rowBytes; start += CHUNK) {
            const int64_t n = rowBytes - start < CHUNK ? rowBytes - start : CHUNK;
            const uint8_t *up = above + start, *down = below + start, *odds = oddPixelBytes + start;
            uint8_t topBytes[CHUNK], middleBytes[CHUNK];
            for (int64_t k = 0; k < n; ++k) {
                const uint16_t t = up[3 + k], l = up[k], r = up[6 + k];
                const uint16_t b = down[3 + k], bl = down[k], br = down[6 + k];
                const uint8_t odd = odds[k];
                const uint8_t side = uint8_t((l + r) >> 1), diagonal = uint8_t((l + r + bl + br) >> 2);
                const uint8_t vertical = uint8_t((t + b) >> 1);
                topBytes[k] = uint8_t((odd & side) | (~odd & uint8_t(t)));
                middleBytes[k] = uint8_t((odd & diagonal) | (~odd & vertical));
            }
            std::memcpy(top + start, topBytes, size_t(n));
            std::memcpy(middle + start, middleBytes, size_t(n));
        }
        addRows(sum, out, y, 2);
        std::swap(above, below);
    }
}
#endif

void blendHalves(Pixel* out, Pixel* sum) {
    const int64_t width = layerWidth, height = layerHeight;
#if !TEX_X86_VECTORS
    if (width >= 2) return blendHalvesRows(out, sum);
#endif
    if (width < 16 || !TEX_X86_VECTORS) {
        for (int64_t y = 0; y < height; y += 2) {
            Pixel* top = out + y * width;
            Pixel* middle = top + width;
            const Pixel* bottom = out + ((y + 2) & heightMask) * width;
            for (int64_t x = 0; x < width; x += 2) {
                const int64_t xr = (x + 2) & widthMask;
                const Pixel a = top[x], b = top[xr], c = bottom[x], d = bottom[xr];
                top[x + 1] = mean2(a, b);
                middle[x] = mean2(a, c);
                middle[x + 1] = {uint8_t((a.red + b.red + c.red + d.red) >> 2),
                                 uint8_t((a.green + b.green + c.green + d.green) >> 2),
                                 uint8_t((a.blue + b.blue + c.blue + d.blue) >> 2)};
            }
            addRows(sum, out, y, 2);
        }
        return;
    }
#if TEX_X86_VECTORS
    const int64_t rowBytes = 3 * width;
    // Byte masks of the odd pixels among 16 (48 bytes, three vectors).
    alignas(16) uint8_t oddBytes[48];
    for (int b = 0; b < 48; ++b) oddBytes[b] = (b / 3) % 2 ? 0xFF : 0;
    const __m128i odd[3] = {_mm_load_si128(reinterpret_cast<const __m128i*>(oddBytes)),
                            _mm_load_si128(reinterpret_cast<const __m128i*>(oddBytes + 16)),
                            _mm_load_si128(reinterpret_cast<const __m128i*>(oddBytes + 32))};
    const auto fill = [&](uint8_t* halo, const Pixel* row) { fillHalo(halo, row, width); };
    uint8_t* above = haloRows[0];
    uint8_t* below = haloRows[1];
    fill(above, out);
    for (int64_t y = 0; y < height; y += 2) {
        auto* top = reinterpret_cast<uint8_t*>(out + y * width);
        uint8_t* middle = top + rowBytes;
        fill(below, out + ((y + 2) & heightMask) * width);
        const auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
        for (int64_t o = 0; o < rowBytes; o += 16) {
            const __m128i mask = odd[(o / 16) % 3];
            const __m128i t = load(above + 3 + o), l = load(above + o), r = load(above + 6 + o);
            const __m128i b = load(below + 3 + o), bl = load(below + o), br = load(below + 6 + o);
            const __m128i topRow = _mm_or_si128(_mm_and_si128(mask, mean2(l, r)), _mm_andnot_si128(mask, t));
            const __m128i middleRow =
                _mm_or_si128(_mm_and_si128(mask, mean4(l, r, bl, br)), _mm_andnot_si128(mask, mean2(t, b)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(top + o), topRow);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(middle + o), middleRow);
        }
        addRows(sum, out, y, 2);
        std::swap(above, below);
    }
#endif
}

}  // namespace

// The distortions' sampler forms the same weight, in double first.
float cosineWeight(float f) { return distort::fastWeight(f); }

int32_t weightGrain(float weight, float rest) {
    for (int32_t k = 0; k <= 16; ++k) {
        const float w = std::ldexp(weight, k), r = std::ldexp(rest, k);
        if (w == std::floor(w) && r == std::floor(r)) return k;
    }
    return 17;
}

void blendCellRow(const Pixel corners[4], const float* weight, const float* rest, const int32_t* grain, float wy,
                  float ay, int32_t rowGrainValue, int64_t count, Pixel* out) {
    mixEdges(&corners[0].red, weight, rest, count, 0);
    blendRow(&corners[0].red, 62, weight, rest, grain, wy, ay, rowGrainValue, count, out);
}

bool useWideBlend(bool wide) {
    wideBlend = wide && wideBlendAvailable;
    return wideBlend;
}

void skipRandom(uint64_t count) {
    // nextRandom only multiplies, so n draws multiply the state by 22695477^n.
    uint32_t factor = RANDOM_MULTIPLIER, power = 1u;
    for (; count; count >>= 1, factor *= factor)
        if (count & 1) power *= factor;
    randomSeed *= power;
}

void drawPlasma(int32_t layer, int32_t step, int32_t seed, int32_t amplitude, bool colored, Pixel* sum) {
    Pixel* out = layers[layer];
    if (seed != 0) randomSeed = uint32_t(seed);
    const uint32_t mask = uint32_t(amplitude) - 1u;
    const int64_t width = layerWidth, height = layerHeight;
    const int64_t columns = (width + step - 1) / step, rows = (height + step - 1) / step;
    // The layer starts black. When the step divides both sides, the grid
    // pass and the cells overwrite every pixel and read only grid points, so
    // the clearing can be left out.
    const bool tiles = step > 1 && width % step == 0 && height % step == 0;

    // Every stored byte would be 0, and a blend of black corners is black:
    // only the draws remain to be made (and nothing to add).
    if (!tiles || (mask & 255u) == 0) std::memset(out, 0, layerBytes());
    if ((mask & 255u) == 0) {
        skipRandom(uint64_t(columns * rows) * (colored ? 3u : 1u));
        return;
    }

    for (int64_t y = 0; y < height; y += step) {
        const uint8_t* value = drawnValues;
        drawValues(columns * (colored ? 3 : 1), mask);
        auto* row = reinterpret_cast<uint8_t*>(out + y * width);
        if (tiles && colored) {
            // Four bytes at a time: the fourth lands on the pixel after the
            // grid point, inside the row (step >= 2), which the blend
            // overwrites before anything reads it.
            for (int64_t x = 0; x < width; x += step, value += 3) std::memcpy(row + 3 * x, value, 4);
            continue;
        }
        for (int64_t x = 0; x < width; x += step) {
            Pixel& p = out[y * width + x];
            p.red = *value++;
            if (colored) {
                p.green = *value++;
                p.blue = *value++;
            } else {
                p.green = p.blue = p.red;
            }
        }
    }
    // Where cells overlap or wrap, rows are final only at the end.
    const auto addLayer = [&] {
        if (sum) forEachByteRange(layerBytes(), [&](size_t at, size_t n) { addBytes(sum, out, at, n); });
    };
    if (step == 1) return addLayer();

    // A cell writes positions 0..step-1 in each direction, wrapped. Its
    // corners are copied before it writes, so when step exceeds the layer
    // only the last position landing on each pixel decides it: positions
    // step - width .. step - 1 (one write per pixel instead of step squared).
    const float inv = static_cast<float>(ext(1.0) / step);
    const int64_t firstColumn = step > width ? step - width : 0, cellWidth = step - firstColumn;
    const int64_t firstRow = step > height ? step - height : 0, cellHeight = step - firstRow;
    fillWeights(columnWeight, columnRest, columnGrain, firstColumn, cellWidth, inv);
    fillWeights(rowWeight, rowRest, rowGrain, firstRow, cellHeight, inv);

    const uint32_t wm = uint32_t(widthMask), hm = uint32_t(heightMask);
    if (tiles) {
        const bool halves = step == 2 && columnWeight[0] == 0.0f && columnRest[0] == 1.0f &&
                            columnWeight[1] == 0.5f && columnRest[1] == 0.5f;
        if (halves)
            blendHalves(out, sum);
        else
            blendTiles(out, step, sum);
        return;
    }
    for (int64_t y = 0; y < height; y += step)
        for (int64_t x = 0; x < width; x += step) {
            const uint32_t xr = uint32_t(x + step) & wm, yb = uint32_t(y + step) & hm;
            const Pixel c[4] = {out[y * width + x], out[y * width + xr], out[yb * width + x], out[yb * width + xr]};
            mixEdges(&c[0].red, columnWeight, columnRest, cellWidth, 0);
            // The row's positions start at this column and wrap at most once.
            const int64_t start = (x + firstColumn) & wm;
            const int64_t head = cellWidth < width - start ? cellWidth : width - start;
            for (int64_t j = 0; j < cellHeight; ++j) {
                Pixel* row = out + (uint32_t(y + firstRow + j) & hm) * width;
                const auto blend = [&](Pixel* into) {
                    blendRow(&c[0].red, 62, columnWeight, columnRest, columnGrain, rowWeight[j], rowRest[j],
                             rowGrain[j], cellWidth, into);
                };
                if (head == cellWidth) {
                    blend(row + start);
                } else {
                    blend(blendedRow);
                    std::memcpy(row + start, blendedRow, size_t(head) * sizeof(Pixel));
                    std::memcpy(row, blendedRow + head, size_t(cellWidth - head) * sizeof(Pixel));
                }
            }
        }
    addLayer();
}

// A step of 0 or less has no grid: the call does nothing.
void subPlasma(int32_t dst, int32_t step, int32_t seed, int32_t amplitude, bool colored) {
    if (!validLayers(dst) || step <= 0) return;
    drawPlasma(dst, step, seed, amplitude, colored);
}

// sinePlasma in double, decided against the extended formula.
//
// Both sine arguments, a pixel index times a float32 frequency, are products
// of at most 16 by 24 bits: exact in double and in ext. Where |argument| <=
// 2^20 the C library's double sine is within 1 ulp (2^-53) of the true value
// and extSin within 2^-64, so the column term sin(a) * 63.5 in double is
// within 63.5 (2^-53 + 2^-64) + 2^-48 (its rounding) + 2^-59 (ext's) of the
// extended one: under 2^-46.4. Larger arguments take the extended sine,
// rounded to double (63.5 * 2^-53, inside the same bound).
//
// Row term, single(sin(b) * 63.5 + 127): the column bound plus the rounding
// of the sum below 256 (2^-45 in double, 2^-56 in ext): bound 2^-44.
//
// Per pixel the value (column + rowTerm) * scale, with the sum in [0, 254]:
// the column bound, the sum's rounding (254 * 2^-53 in double, 2^-56 in ext)
// and the product's (|value| * 2^-53 and |value| * 2^-64, |value| <= 254 |s|)
// come to under |s| * 2^-43.5; the decision uses |s| * 2^-40, and values at
// or beyond 2^30 in magnitude (or NaN) go to ext, as do pixels whose interval
// holds a whole number.
namespace {

// The column terms of one call in double; the pixel rows' bytes and
// undecided flags, one set per thread.
double sineColumns[MAX_LAYER_SIDE];
struct SineRow {
    int32_t grey[MAX_LAYER_SIDE], unsettled[MAX_LAYER_SIDE];
};
// The extended column terms an undecided pixel needs, each formed once per
// call and thread (made only where some pixel needs one): huge amplitudes
// leave every pixel to ext, and one extSin per pixel would cost far more.
struct SineColumnCache {
    ext term[MAX_LAYER_SIDE];
    uint64_t call[MAX_LAYER_SIDE] = {};
};
uint64_t sineCall = 0;

inline ext extendedColumn(int32_t x, float frequency) {
    SineColumnCache& cache = perThread<SineColumnCache>();
    if (cache.call[x] != sineCall) {
        cache.term[x] = extSin(ext(x) * frequency) * ext(63.5);
        cache.call[x] = sineCall;
    }
    return cache.term[x];
}

inline double sineTermQuick(int32_t i, float frequency) {
    const double a = double(i) * frequency;
    if (std::fabs(a) <= 1048576.0) return std::sin(a) * 63.5;
    return double(extSin(ext(i) * frequency) * ext(63.5));  // NaN stays NaN
}

// trunc of the row's values where decided: plain double operations only, so
// that the loop vectorises.
TEX_ALWAYS_INLINE void sineRowLoop(SineRow& row, double rowTerm, double scale, double slack, int32_t width) {
    for (int32_t x = 0; x < width; ++x) {
        const double quick = (sineColumns[x] + rowTerm) * scale;
        const bool inRange = std::fabs(quick) < 0x1p30;  // false for NaN
        const double low = inRange ? quick - slack : 0.0, high = inRange ? quick + slack : 0.0;
        const int32_t whole = static_cast<int32_t>(low);
        row.grey[x] = whole;
        row.unsettled[x] = int32_t(!inRange) | int32_t(whole != static_cast<int32_t>(high));
    }
}
void sineRowPlain(SineRow& row, double rowTerm, double scale, double slack, int32_t width) {
    sineRowLoop(row, rowTerm, scale, slack, width);
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION void sineRowAvx2(SineRow& row, double rowTerm, double scale, double slack, int32_t width) {
    sineRowLoop(row, rowTerm, scale, slack, width);
}
#endif

}  // namespace

void sinePlasma(int32_t dst, float xFrequency, float yFrequency, float amplitude) {
    if (!validLayers(dst)) return;
    const float scale = static_cast<float>(ext(amplitude) * ext(0.00390625));
    // With no horizontal frequency every column term is sin(0) * 63.5 = 0
    // exactly, and a float32 row term times scale is exact in double.
    const double slack = xFrequency == 0.0f ? 0.0 : std::fabs(double(scale)) * 0x1p-40;
    ++sineCall;
    for (int32_t x = 0; x < layerWidth; ++x) sineColumns[x] = sineTermQuick(x, xFrequency);
    auto* rowOf = sineRowPlain;
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx2) rowOf = sineRowAvx2;
#endif
    forEachRow([&](int64_t y0, int64_t y1) {
    SineRow& row = perThread<SineRow>();
    Pixel* out = &pixelAt(dst, 0, int32_t(y0));
    for (int32_t y = int32_t(y0); y < y1; ++y, out += layerWidth) {
        const double rowQuick = sineTermQuick(y, yFrequency) + 127.0;
        const float rowTerm = numeric::singleOr(rowQuick, 0x1p-44, [&] {
            return static_cast<float>(extSin(ext(y) * yFrequency) * ext(63.5) + ext(127.0));
        });
        rowOf(row, rowTerm, scale, slack, layerWidth);
        uint32_t misses = 0;
        for (int32_t x = 0; x < layerWidth; ++x) misses += uint32_t(row.unsettled[x]);
        numeric::countDecisions(uint64_t(layerWidth), misses);
        if (misses)
            for (int32_t x = 0; x < layerWidth; ++x)
                if (row.unsettled[x]) {
                    // only the low 8 bits of the truncated value are stored: no clamp
                    row.grey[x] = truncInt32((extendedColumn(x, xFrequency) + rowTerm) * scale);
                }
        for (int32_t x = 0; x < layerWidth; ++x) {
            const uint8_t grey = uint8_t(row.grey[x]);
            out[x] = {grey, grey, grey};
        }
    }
    });
}

}  // namespace tex
