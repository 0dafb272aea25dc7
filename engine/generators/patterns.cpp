// Pattern generators: metaball blobs, a one-dimensional cellular automaton
// and the Mandelbrot set.
//
// blobsLayer keeps its field values and per-pixel sums in float32 (each
// stored value rounded once from extended precision); mandelBrot iterates in
// float32 and accumulates its plane coordinates by repeated addition.
#include "engine/generators/patterns.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "engine/internal.h"
#include "engine/threads.h"


namespace tex {

namespace {

// The error of the double sum a + b: a + b = (its double sum) + error exactly.
inline double sumError(double a, double b, double sum) {
    const double bPart = sum - a;
    return (a - (sum - bPart)) + (b - bPart);
}

// True when rounding the double sum v = a + b to float32 may not give what
// rounding the same sum formed in extended precision gives. When the double
// sum is exact, so is the extended one. Otherwise both round the one exact
// value x, so they can differ only when the double or the extended rounding
// of x lands on a float32 rounding midpoint; if it is the extended one, the
// double one lands there too. So only a double that is itself such a
// midpoint is in doubt (and, to keep the test simple, any below the float32
// normal range).
inline bool floatRoundingInDoubt(double a, double b, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const uint32_t exponent = uint32_t(bits >> 52) & 0x7FF;
    const bool midpoint = exponent < 1023 - 126 ? v != 0.0 : (bits & 0x1FFFFFFF) == 0x10000000;
    return midpoint && sumError(a, b, v) != 0.0;
}

constexpr int32_t MAX_BLOBS = 16;

// Strength of one channel from a fresh draw: 15 to 165.
float blobStrength() {
    return static_cast<float>(((nextRandom() & 255u) * BYTE_UNIT + BLOB_BRIGHTNESS_BASE) * ext(150.0));
}

// Field values of one row of a blob, by horizontal distance and by column;
// the per-row channel sums.
// One set per thread.
struct BlobRows {
    alignas(64) float fieldRow[MAX_LAYER_SIDE];
    alignas(64) float fieldLine[MAX_LAYER_SIDE + 4], sumRow[3][MAX_LAYER_SIDE + 4];
    // The field's and the sums' values and doubts before they are settled.
    alignas(64) float next[MAX_LAYER_SIDE];
    alignas(64) int32_t doubt[MAX_LAYER_SIDE];
};

}  // namespace

// The double form of blobField for t, and whether it leaves the float32 in
// doubt (then blobField decides).
static TEX_ALWAYS_INLINE float fieldOf(float t, int32_t& doubt) {
    const double t1 = t, t2 = t1 * t1, t3 = t2 * t1;
    const double cube = 0.444444 * t3, square = 1.888888 * t2, linear = 2.444444 * t1;
    const double value = ((1.0 - cube) + square) - linear;
    const double slack = (((1.0 + cube) + square) + linear) * 0x1p-47;
    doubt = int32_t(float(value - slack) != float(value + slack));
    return float(value);  // between the two, so equal to both where they agree
}

// The soft-object field of a squared distance already scaled by k. The
// double evaluation differs from the extended one by at most 7 roundings of
// relative size 2^-53 of the largest term sum M = 1 + |each term|; when both
// ends of the interval of half-width M * 2^-47 round to the same float32,
// so does the extended value.
float blobField(float t) {
    int32_t doubt;
    const float value = fieldOf(t, doubt);
    if (!doubt) return value;
    const ext e1 = t, e2 = e1 * e1, e3 = e2 * e1;
    return static_cast<float>(ext(1.0) - BLOB_C3 * e3 + BLOB_C2 * e2 - BLOB_C1 * e1);
}

// The product of two floats is exact in double; the sum is then rounded as
// floatRoundingInDoubt allows.
float addShare(float sum, float strength, float field) {
    const double product = double(strength) * field, total = sum + product;
    if (floatRoundingInDoubt(sum, product, total))
        return static_cast<float>(sum + ext(strength) * field);
    return float(total);
}

// fieldRow[a] = blobField(single((a^2 + dy2) * k)) for a = 0..reach. Below
// 2^29 a squared distance times k is exact in double and rounds once to
// float32, as the extended product does: then in a loop that vectorizes
// (one flag per value, the few in doubt redone); elsewhere ext is in
// software off x86 and costs many times the double.
static TEX_ALWAYS_INLINE void fieldLoop(BlobRows& rows, int32_t dy2, int32_t reach, float k) {
    float* fieldRow = rows.fieldRow;
    int32_t* doubt = rows.doubt;
    int32_t any = 0;
    for (int32_t a = 0; a <= reach; ++a) {
        const float t = static_cast<float>((double(a) * a + dy2) * k);
        fieldRow[a] = fieldOf(t, doubt[a]);
        any |= doubt[a];
    }
    if (any)
        for (int32_t a = 0; a <= reach; ++a)
            if (doubt[a]) fieldRow[a] = blobField(static_cast<float>((double(a) * a + dy2) * k));
}
static void fieldPlain(BlobRows& rows, int32_t dy2, int32_t reach, float k) { fieldLoop(rows, dy2, reach, k); }
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION static void fieldAvx2(BlobRows& rows, int32_t dy2, int32_t reach, float k) {
    fieldLoop(rows, dy2, reach, k);
}
#endif

static void fieldValues(int64_t dy2, int64_t reach, float k) {
    BlobRows& rows = perThread<BlobRows>();
    if (reach * reach + dy2 < (int64_t(1) << 29)) {
#if TEX_X86_VECTORS
        if (vectorUnits() >= VectorUnits::Avx2) return fieldAvx2(rows, int32_t(dy2), int32_t(reach), k);
#endif
        return fieldPlain(rows, int32_t(dy2), int32_t(reach), k);
    }
    for (int64_t a = 0; a <= reach; ++a) {
        const int64_t d = a * a + dy2;
        const float t = d < (int64_t(1) << 29) ? static_cast<float>(double(d) * k) : static_cast<float>(ext(d) * k);
        rows.fieldRow[a] = blobField(t);
    }
}

// sum[x] = addShare(sum[x], strength, field[x]) for x < count, in double in
// a loop that vectorizes: a sum is in doubt only when its double is a
// float32 rounding midpoint (the low 29 bits of its pattern are 1 followed
// by zeros) or below the float32 normal range; those go through addShare.
static TEX_ALWAYS_INLINE void shareLoop(float* sum, const float* field, float strength, int32_t count, float* next,
                                        int32_t* doubt) {
    const double s = strength;
    int32_t any = 0;
    for (int32_t x = 0; x < count; ++x) {
        const double total = double(sum[x]) + s * double(field[x]);
        uint64_t bits;
        std::memcpy(&bits, &total, sizeof bits);
        // Tested on the low 32 bits: SSE2 has no 64-bit comparison.
        const bool midpoint = (uint32_t(bits) & 0x1FFFFFFFu) == 0x10000000u;
        const bool small = std::fabs(total) < 0x1p-126 && total != 0.0;
        next[x] = float(total);
        doubt[x] = int32_t(midpoint | small);
        any |= doubt[x];
    }
    if (any)
        for (int32_t x = 0; x < count; ++x)
            if (doubt[x]) next[x] = addShare(sum[x], strength, field[x]);
    std::memcpy(sum, next, size_t(count) * sizeof(float));
}
static void sharePlain(float* sum, const float* field, float strength, int32_t count, float* next, int32_t* doubt) {
    shareLoop(sum, field, strength, count, next, doubt);
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION static void shareAvx2(float* sum, const float* field, float strength, int32_t count, float* next,
                                        int32_t* doubt) {
    shareLoop(sum, field, strength, count, next, doubt);
}
#endif

void addShares(float* sum, const float* field, float strength, int32_t count) {
    BlobRows& rows = perThread<BlobRows>();
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx2) return shareAvx2(sum, field, strength, count, rows.next, rows.doubt);
#endif
    sharePlain(sum, field, strength, count, rows.next, rows.doubt);
}

// More than 16 blobs are drawn as 16: the blob tables hold no more. Squared
// distances are taken on 64 bits, so that layers wider than 32768 pixels do
// not overflow.
//
// The field depends only on the distance, so a row's field values of one
// blob are formed once per horizontal distance; each pixel's sums still
// take the blobs in index order.
void blobsLayer(int32_t dst, int32_t seed, int32_t count, bool colored) {
    if (!validLayers(dst)) return;
    randomSeed = uint32_t(seed);
    const int32_t blobs = count < 0 ? 0 : count > MAX_BLOBS ? MAX_BLOBS : count;
    int32_t blobX[MAX_BLOBS], blobY[MAX_BLOBS];
    float strength[MAX_BLOBS][3];
    for (int32_t i = 0; i < blobs; ++i) {
        blobX[i] = int32_t(((nextRandom() * uint32_t(layerWidth)) >> 8) & uint32_t(widthMask));
        blobY[i] = int32_t(((nextRandom() * uint32_t(layerHeight)) >> 8) & uint32_t(heightMask));
        strength[i][0] = blobStrength();
        if (colored) {
            strength[i][1] = blobStrength();
            strength[i][2] = blobStrength();
        }
    }
    const float k = static_cast<float>(ext(1.0) / (ext(layerPixels()) * THIRD));
    const int channels = colored ? 3 : 1;
    const int32_t width = layerWidth;

    forEachRange(layerHeight, int64_t(layerWidth) * (blobs + 1), [&](int64_t y0, int64_t y1) {
    BlobRows& rows = perThread<BlobRows>();
    const float* fieldRow = rows.fieldRow;
    float* fieldLine = rows.fieldLine;
    auto& sumRow = rows.sumRow;
    Pixel* out = &pixelAt(dst, 0, int32_t(y0));
    for (int32_t y = int32_t(y0); y < y1; ++y) {
        for (int ch = 0; ch < channels; ++ch) std::fill(sumRow[ch], sumRow[ch] + width, 0.0f);
        for (int32_t i = 0; i < blobs; ++i) {
            const int64_t dy = blobY[i] - y, reach = std::max(blobX[i], width - 1 - blobX[i]);
            fieldValues(dy * dy, reach, k);
            // The field by column: the row's values mirrored left of the blob, as they stand right of it.
            const int32_t bx = blobX[i];
            for (int32_t x = 0; x < bx; ++x) fieldLine[x] = fieldRow[bx - x];
            std::memcpy(fieldLine + bx, fieldRow, size_t(width - bx) * sizeof(float));
            for (int ch = 0; ch < channels; ++ch) addShares(sumRow[ch], fieldLine, strength[i][ch], width);
        }
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t red = saturateByte(sumRow[0][x]);
            *out++ = colored ? Pixel{red, saturateByte(sumRow[1][x]), saturateByte(sumRow[2][x])} : Pixel{red, red, red};
        }
    }
    });
}

// Each row is the next generation of the row above: a cell is live when bit
// L + 2C + 4R of `rule` is set, L, C and R being the wrapped left, centre and
// right cells above. Only the rule's low 8 bits can be selected. The
// generations are kept as one byte per cell (1 live, 0 dead) beside the
// layer, so that each row reads only its own small array. The rule's bit is
// picked by three selections on L, then C, then R (x ^ (s & (x ^ y)) is y
// for s = 1 and x for s = 0), byte operations that every vectorizer takes,
// where a shift by each cell's own count is one instruction per cell.
void cellMachine(int32_t dst, int32_t seed, int32_t rule) {
    if (!validLayers(dst)) return;
    static uint8_t generation[2][MAX_LAYER_SIDE + 2], leftCells[MAX_LAYER_SIDE], rightCells[MAX_LAYER_SIDE];
    static uint8_t greys[MAX_LAYER_SIDE];
    randomSeed = uint32_t(seed);
    const int32_t width = layerWidth;
    uint8_t bit[8];
    for (int n = 0; n < 8; ++n) bit[n] = uint8_t((uint32_t(rule) >> n) & 1u);
    // Cells 1..width of a generation; 0 and width + 1 repeat the wrapped ends.
    uint8_t* above = generation[0];
    uint8_t* below = generation[1];
    for (int32_t x = 0; x < width; ++x) above[x + 1] = (nextRandom() >> 10) == 0;
    Pixel* out = layers[dst];
    for (int32_t y = 0;;) {
        for (int32_t x = 0; x < width; ++x) greys[x] = uint8_t(0u - above[x + 1]);  // 255 for a live cell
        writeGreys(greys, out, size_t(width));
        out += width;
        if (++y == layerHeight) break;
        above[0] = above[width];
        above[width + 1] = above[1];
        // The left and right neighbours from copies: read from the one array,
        // Clang carries each cell over to the next step as a value, a chain
        // it does not vectorize.
        std::memcpy(leftCells, above, size_t(width));
        std::memcpy(rightCells, above + 2, size_t(width));
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t l = leftCells[x], c = above[x + 1], r = rightCells[x];
            auto pick = [](uint8_t s, uint8_t x0, uint8_t x1) { return uint8_t(x0 ^ (s & (x0 ^ x1))); };
            const uint8_t low = pick(c, pick(l, bit[0], bit[1]), pick(l, bit[2], bit[3]));
            const uint8_t high = pick(c, pick(l, bit[4], bit[5]), pick(l, bit[6], bit[7]));
            below[x + 1] = pick(r, low, high);
        }
        std::swap(above, below);
    }
}

namespace {

// One step of the escape count of c = (cx, cy), which starts at z = c and
// stops when |z|^2 exceeds the bailout or at 255. Returns true, with the
// count, when the count is known. A float32 product is the extended product
// rounded once, so zr2 and zi2 are float products. The other extended sums
// are formed in double:
// - the test: a double sum above (below) the bailout means the exact and the
//   extended sums are above (below) it too; only equality is in doubt;
// - 2 zr zi is exact in double, and its sum with cy is rounded to float32 as
//   the extended sum would be unless floatRoundingInDoubt;
// - zr2 - zi2 is usually exact in double (checked), and its sum with cx is
//   then decided likewise.
// A value in doubt is formed in extended precision as written.
inline bool escapeStep(float& zr, float& zi, float cx, float cy, float bailout, int32_t& n, uint8_t& count) {
    const float zr2 = zr * zr, zi2 = zi * zi;
    const double magnitude = double(zr2) + zi2;
    if (magnitude > bailout || (magnitude == bailout && ext(zr2) + zi2 > bailout)) {
        count = uint8_t(n);
        return true;
    }
    const double twice = 2.0 * zr * double(zi), newZi = twice + cy;
    const double a = zr2, b = -double(zi2), difference = a + b, newZr = difference + cx;
    if (floatRoundingInDoubt(twice, cy, newZi))
        zi = static_cast<float>(ext(2.0) * zr * zi + cy);
    else
        zi = float(newZi);
    if (sumError(a, b, difference) != 0.0 || floatRoundingInDoubt(difference, cx, newZr))
        zr = static_cast<float>(ext(zr2) - zi2 + cx);
    else
        zr = float(newZr);
    if (n >= 255) {
        count = 255;
        return true;
    }
    ++n;
    return false;
}

// Plane coordinates of the columns and rows, accumulated once per call.
float planeX[MAX_LAYER_SIDE], planeY[MAX_LAYER_SIDE];

}  // namespace

// Pixels are iterated four at a time, interleaved, so that their
// independent chains of dependent float steps overlap; a finished slot takes
// the next pixel in order. The coordinates are the same for every row (and
// column), accumulated once by float addition as the row-by-row walk does.
void mandelBrot(int32_t dst, float xStart, float xSpan, float yStart, float ySpan, float bailout) {
    if (!validLayers(dst)) return;
    const float dx = static_cast<float>(ext(xSpan) / layerWidth);
    const float dy = static_cast<float>(ext(ySpan) / layerHeight);
    planeX[0] = xStart;
    for (int32_t x = 1; x < layerWidth; ++x) planeX[x] = planeX[x - 1] + dx;  // the rounding is part of the picture
    planeY[0] = yStart;
    for (int32_t y = 1; y < layerHeight; ++y) planeY[y] = planeY[y - 1] + dy;

    // Bands of pixels on the threads, a few per thread, since the escape
    // counts vary.
    forEachRange(int64_t(layerPixels()), 64, [&](int64_t first, int64_t total) {
    constexpr int SLOTS = 4;
    float zr[SLOTS], zi[SLOTS], cx[SLOTS], cy[SLOTS];
    int32_t n[SLOTS];
    int64_t pixel[SLOTS];
    int64_t next = first;
    int active = 0;
    const auto start = [&](int k) {
        pixel[k] = next < total ? next++ : -1;
        if (pixel[k] < 0) return;
        ++active;
        zr[k] = cx[k] = planeX[pixel[k] & widthMask];
        zi[k] = cy[k] = planeY[pixel[k] / layerWidth];
        n[k] = 0;
    };
    for (int k = 0; k < SLOTS; ++k) start(k);
    Pixel* out = layers[dst];
    while (active > 0)
        for (int k = 0; k < SLOTS; ++k) {
            uint8_t v;
            if (pixel[k] < 0 || !escapeStep(zr[k], zi[k], cx[k], cy[k], bailout, n[k], v)) continue;
            out[pixel[k]] = {v, uint8_t(255 - v), uint8_t(255 - v)};
            --active;
            start(k);
        }
    });
}

}  // namespace tex
