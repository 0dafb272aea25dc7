// Pattern generators: metaball blobs, a one-dimensional cellular automaton
// and the Mandelbrot set.
//
// blobsLayer keeps its field values and per-pixel sums in float32 (each
// stored value rounded once from extended precision); mandelBrot iterates in
// float32 and accumulates its plane coordinates by repeated addition.
#include "engine/internal.h"

namespace tex {

namespace {

constexpr int32_t MAX_BLOBS = 16;

// The soft-object field of a squared distance already scaled by k:
// f = 1 - 0.444444 t^3 + 1.888888 t^2 - 2.444444 t, rounded to float32.
float blobField(float t) {
    const long double t1 = t, t2 = t1 * t1, t3 = t2 * t1;
    return static_cast<float>(1.0L - 0.444444L * t3 + 1.888888L * t2 - 2.444444L * t1);
}

// Strength of one channel from a fresh draw: 15 to 165.
float blobStrength() {
    return static_cast<float>(((nextRandom() & 255u) * 0.00392156862745L + 0.1L) * 150.0L);
}

// Adds one blob's share to a float32 sum.
inline float addShare(float sum, float strength, float field) {
    return static_cast<float>(sum + static_cast<long double>(strength) * field);
}

}  // namespace

// More than 16 blobs are drawn as 16: the blob tables hold no more. Squared
// distances are taken on 64 bits, so that layers wider than 32768 pixels do
// not overflow.
void blobsLayer(int32_t dst, int32_t seed, int32_t count, bool colored) {
    if (!validLayers(dst)) return;
    randomSeed = uint32_t(seed);
    const int32_t blobs = count < 0 ? 0 : count > MAX_BLOBS ? MAX_BLOBS : count;
    int32_t blobX[MAX_BLOBS], blobY[MAX_BLOBS];
    float blobRed[MAX_BLOBS], blobGreen[MAX_BLOBS], blobBlue[MAX_BLOBS];
    for (int32_t i = 0; i < blobs; ++i) {
        blobX[i] = int32_t(((nextRandom() * uint32_t(layerWidth)) >> 8) & uint32_t(widthMask));
        blobY[i] = int32_t(((nextRandom() * uint32_t(layerHeight)) >> 8) & uint32_t(heightMask));
        blobRed[i] = blobStrength();
        if (colored) {
            blobGreen[i] = blobStrength();
            blobBlue[i] = blobStrength();
        }
    }
    const float k = static_cast<float>(1.0L / (static_cast<long double>(layerPixels()) * 0.333333L));

    Pixel* out = layers[dst];
    for (int32_t y = 0; y < layerHeight; ++y)
        for (int32_t x = 0; x < layerWidth; ++x) {
            float sumRed = 0.0f, sumGreen = 0.0f, sumBlue = 0.0f;
            for (int32_t i = 0; i < blobs; ++i) {
                const int64_t dx = blobX[i] - x, dy = blobY[i] - y;
                const float t = static_cast<float>(static_cast<long double>(dx * dx + dy * dy) * k);
                const float f = blobField(t);
                sumRed = addShare(sumRed, blobRed[i], f);
                if (colored) {
                    sumGreen = addShare(sumGreen, blobGreen[i], f);
                    sumBlue = addShare(sumBlue, blobBlue[i], f);
                }
            }
            const uint8_t red = saturateByte(sumRed);
            *out++ = colored ? Pixel{red, saturateByte(sumGreen), saturateByte(sumBlue)} : Pixel{red, red, red};
        }
}

// Each row is the next generation of the row above: a cell is live when bit
// L + 2C + 4R of `rule` is set, L, C and R being the wrapped left, centre and
// right cells above. Only the rule's low 8 bits can be selected.
void cellMachine(int32_t dst, int32_t seed, int32_t rule) {
    if (!validLayers(dst)) return;
    randomSeed = uint32_t(seed);
    Pixel* out = layers[dst];
    std::memset(out, 0, layerBytes());
    constexpr Pixel LIVE{255, 255, 255};
    const int32_t width = layerWidth;
    for (int32_t x = 0; x < width; ++x)
        if ((nextRandom() >> 10) == 0) out[x] = LIVE;
    for (int32_t y = 1; y < layerHeight; ++y) {
        const Pixel* above = out + size_t(y - 1) * width;
        Pixel* row = out + size_t(y) * width;
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t left = above[(x - 1) & widthMask].red != 0, centre = above[x].red != 0,
                           right = above[(x + 1) & widthMask].red != 0;
            if (uint32_t(rule) & (1u << (left + 2 * centre + 4 * right))) row[x] = LIVE;
        }
    }
}

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
    if (magnitude > bailout || (magnitude == bailout && static_cast<long double>(zr2) + zi2 > bailout)) {
        count = uint8_t(n);
        return true;
    }
    const double twice = 2.0 * zr * double(zi), newZi = twice + cy;
    const double a = zr2, b = -double(zi2), difference = a + b, newZr = difference + cx;
    if (floatRoundingInDoubt(twice, cy, newZi))
        zi = static_cast<float>(2.0L * zr * zi + cy);
    else
        zi = float(newZi);
    if (sumError(a, b, difference) != 0.0 || floatRoundingInDoubt(difference, cx, newZr))
        zr = static_cast<float>(static_cast<long double>(zr2) - zi2 + cx);
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
    const float dx = static_cast<float>(static_cast<long double>(xSpan) / layerWidth);
    const float dy = static_cast<float>(static_cast<long double>(ySpan) / layerHeight);
    planeX[0] = xStart;
    for (int32_t x = 1; x < layerWidth; ++x) planeX[x] = planeX[x - 1] + dx;  // the rounding is part of the picture
    planeY[0] = yStart;
    for (int32_t y = 1; y < layerHeight; ++y) planeY[y] = planeY[y - 1] + dy;

    constexpr int SLOTS = 4;
    float zr[SLOTS], zi[SLOTS], cx[SLOTS], cy[SLOTS];
    int32_t n[SLOTS];
    int64_t pixel[SLOTS];
    const int64_t total = int64_t(layerPixels());
    int64_t next = 0;
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
}

}  // namespace tex
