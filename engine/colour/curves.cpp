// Tone curves: a sine curve per channel and histogram equalisation.
//
// Each channel goes through a table of 256 entries built once per call; the
// channels never influence one another. Equalisation accumulates in float32
// (single() at every step) and rounds the running value to the nearest whole
// number, halves to even; the low 8 bits of each entry are written.
#include "engine/colour/kernels.h"
#include "engine/numeric/decide.h"

#include <atomic>

#include "engine/threads.h"

namespace tex {

// The sine curve's byte for v * f, from the extended-precision sine.
static uint8_t sineByte(ext x) { return uint8_t(truncInt32((extSin(x) + ext(1.0)) * ext(127.5))); }

// The same from the double sine where that provably gives the same byte.
// For |x| <= 2^20 the double result y differs from the true value by less
// than 2^-43 and the extended one (within 1 ulp of its 64-bit significand
// after an exact argument reduction) by less than 2^-38; whenever y lies
// 2^-30 or more from a whole number both truncate alike; 0 is no boundary
// (whatever lies between -1 and 1 truncates to 0), so values just above it
// are sure too. Closer (a chance of about 2^-29 per argument, though round
// frequencies meet the peaks near 255), larger or non-finite arguments take
// the extended sine.
static uint8_t fastSineByte(double x) {
    if (std::fabs(x) <= 1048576.0) {
        const double y = (std::sin(x) + 1.0) * 127.5;
        const double whole = std::floor(y);
        if (numeric::counted((whole == 0.0 || y - whole >= 0x1p-30) && whole + 1.0 - y >= 0x1p-30))
            return uint8_t(whole);
    } else {
        numeric::countDecisions(1, 1);
    }
    return sineByte(x);
}

// byte = trunc((sin(byte * single(frequency * pi)) + 1) * 127.5), in 0..255;
// a NaN or infinite argument of the sine gives 0. byte * f is exact in double.
void sineLayerRGB(int32_t src, int32_t dst, float r, float g, float b) {
    if (!validLayers(src, dst)) return;
    const float frequency[3] = {r, g, b};
    uint8_t tables[3][256];
    for (int c = 0; c < 3; ++c) {
        const float f = static_cast<float>(ext(frequency[c]) * PI_F);
        if (c > 0 && f == static_cast<float>(ext(frequency[c - 1]) * PI_F)) {
            std::memcpy(tables[c], tables[c - 1], 256);
            continue;
        }
        for (int v = 0; v < 256; ++v) tables[c][v] = fastSineByte(v * double(f));
    }
    mapLayerBytes(src, dst, tables);
}

namespace {

using Histograms = uint32_t[3][256];

// Counts every channel of every pixel of src. Four pixels (12 bytes) are
// loaded at once and counted into four partial histograms per channel, so
// that neighbouring equal bytes do not wait on one another's increments.
// Each range of pixels is counted on its own and added to the totals in
// integers, exact in any order.
void countRange(const uint8_t* in, size_t n, std::atomic<uint32_t> (&totals)[3][256]) {
    uint32_t partial[4][3][256];
    std::memset(partial, 0, sizeof partial);
    size_t i = 0;
    for (; i + 4 <= n; i += 4, in += 12) {
        uint64_t first;
        uint32_t second;
        std::memcpy(&first, in, 8);
        std::memcpy(&second, in + 8, 4);
        ++partial[0][0][first & 255];
        ++partial[0][1][(first >> 8) & 255];
        ++partial[0][2][(first >> 16) & 255];
        ++partial[1][0][(first >> 24) & 255];
        ++partial[1][1][(first >> 32) & 255];
        ++partial[1][2][(first >> 40) & 255];
        ++partial[2][0][(first >> 48) & 255];
        ++partial[2][1][first >> 56];
        ++partial[2][2][second & 255];
        ++partial[3][0][(second >> 8) & 255];
        ++partial[3][1][(second >> 16) & 255];
        ++partial[3][2][second >> 24];
    }
    for (; i < n; ++i, in += 3)
        for (int c = 0; c < 3; ++c) ++partial[0][c][in[c]];
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v)
            totals[c][v] += partial[0][c][v] + partial[1][c][v] + partial[2][c][v] + partial[3][c][v];
}

void countChannels(int32_t src, Histograms& counts) {
    std::atomic<uint32_t> totals[3][256];
    for (auto& channel : totals)
        for (auto& total : channel) total = 0;
    const auto* in = reinterpret_cast<const uint8_t*>(layers[src]);
    forEachRange(int64_t(layerPixels()), 1, [&](int64_t first, int64_t end) {
        countRange(in + 3 * first, size_t(end - first), totals);
    });
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v) counts[c][v] = totals[c][v];
}

// Replaces a histogram by its mapping: the float32 accumulator starts at
// `start` and takes count * scale at each value; entries are its rounding.
// Each step single(count * scale + accumulator) is decided in double: for
// counts below 2^29 the product is exact there (and in ext), the sum rounds
// once in each (2^-53 and 2^-64 of it), so |v - x| <= 2^-52 |v|.
void accumulate(uint32_t (&table)[256], float scale, float start) {
    float accumulator = start;
    for (int v = 0; v < 256; ++v) {
        const double sum = table[v] * double(scale) + accumulator;
        float next;
        if (!(table[v] < (1u << 29) && numeric::counted(numeric::decideSingle(sum, std::fabs(sum) * 0x1p-52, next))))
            next = static_cast<float>(table[v] * ext(scale) + accumulator);
        accumulator = next;
        table[v] = uint32_t(std::nearbyint(accumulator));
    }
}

// single(a / b) for whole numbers below 2^53: the double quotient rounds
// once (2^-53 of it), the ext one too (2^-64), so |v - x| <= 2^-52 |v|.
float quotient(double a, double b) {
    const double q = a / b;
    float f;
    return numeric::counted(numeric::decideSingle(q, std::fabs(q) * 0x1p-52, f)) ? f
                                                                                   : static_cast<float>(ext(a) / ext(b));
}

void writeThrough(int32_t src, int32_t dst, const Histograms& mapping) {
    uint8_t tables[3][256];
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v) tables[c][v] = uint8_t(mapping[c][v]);
    mapLayerBytes(src, dst, tables);
}

}  // namespace

void equalizeRGB(int32_t src, int32_t dst) {
    if (!validLayers(src, dst)) return;
    Histograms table;
    countChannels(src, table);
    const float scale = quotient(255.0, double(layerPixels()));
    for (int c = 0; c < 3; ++c) accumulate(table[c], scale, 0.0f);
    writeThrough(src, dst, table);
}

// Equalisation within each channel's occupied range [low, high].
void stretchRGB(int32_t src, int32_t dst) {
    if (!validLayers(src, dst)) return;
    Histograms table;
    countChannels(src, table);
    for (int c = 0; c < 3; ++c) {
        int low = 0, high = 255;
        while (low < 255 && table[c][low] == 0) ++low;
        while (high > 0 && table[c][high] == 0) --high;
        const float scale = quotient(double(high - low), double(layerPixels()));
        accumulate(table[c], scale, float(low));
    }
    writeThrough(src, dst, table);
}

}  // namespace tex
