// Layer combiners: weighted sum and product, random scatter, minimum and
// maximum selection and bitwise combination of two layers.
//
// Every combiner but the scatter maps a pair of bytes (a from src1, b from
// src2, same pixel and channel) to one byte through a formula fixed for the
// call, so the destination may be either source. Products of a byte and a
// float32 weight are exact in extended precision (and in double); sums are
// rounded to float32 once; the bitwise operands are truncated toward zero.
#include <algorithm>
#include <vector>

#include "engine/colour/kernels.h"
#include "engine/colour/passes.h"
#include "engine/numeric/decide.h"
#include "engine/threads.h"

namespace tex {

namespace {

// The pair formula of the sum as defined, in extended precision.
inline uint8_t addPairExtended(uint8_t a, uint8_t b, float w1, float w2) {
    return saturateByte(static_cast<float>(a * ext(w1) + b * ext(w2)));
}

// The same decided in double. Both products are exact in double and in ext;
// the double sum v rounds once, and its error e is exact (TwoSum). The ext
// sum is the 64-bit rounding of v + e, no farther from it than v (a double)
// is, so |v - x| <= 2|e|: 0 when the double sum is exact, as it mostly is. A
// non-finite v is exact: the double and ext operations give NaN or an
// infinity of one sign under the same conditions, and the byte of NaN is 0.
inline uint8_t addPair(uint8_t a, uint8_t b, float w1, float w2) {
    const double p1 = a * double(w1), p2 = b * double(w2), v = p1 + p2;
    if (!std::isfinite(v)) return v > 0 ? 255 : 0;
    const double back = v - p1, e = (p1 - (v - back)) + (p2 - back);
    // Far beyond the bytes x has v's sign (|v - x| <= 2^-51 |v|) and saturates.
    if (std::fabs(v) >= 0x1p100) return v > 0 ? 255 : 0;
    uint8_t byte;
    auto rounding = [](double y) { return byteOfFloat(static_cast<float>(y)); };
    if (numeric::counted(numeric::decideMonotone(v, 2.0 * std::fabs(e), rounding, byte))) return byte;
    return addPairExtended(a, b, w1, w2);
}

// Low 8 bits of trunc(byte * weight); beyond the int32 range the operand
// clamps (truncInt32), NaN gives 0. The product is exact in double.
inline uint8_t bitOperand(uint8_t byte, float weight) {
    const double p = byte * double(weight);
    return static_cast<uint8_t>(p != p ? 0 : numeric::truncClamped(p));
}

// Bytes of the two sources, as flat arrays, and of the destination.
struct PairLayers {
    const uint8_t* a;
    const uint8_t* b;
    uint8_t* out;
    size_t count;
};

PairLayers pairLayers(int32_t src1, int32_t src2, int32_t dst) {
    return {reinterpret_cast<const uint8_t*>(layers[src1]), reinterpret_cast<const uint8_t*>(layers[src2]),
            reinterpret_cast<uint8_t*>(layers[dst]), layerBytes()};
}

// Fills table[a * 256 + b] with the byte for every pair; the general path of
// the sum when its weights do not fit the exact integer form.
void addTable(float w1, float w2, uint8_t* table) {
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) table[a * 256 + b] = addPair(uint8_t(a), uint8_t(b), w1, w2);
}

// For each a, the bytes b with holds(a, b) form one interval [lo, hi], stored
// as lo = 1, hi = 0 when empty. For a finite w2, b * w2 is linear in b, so the
// interval is a prefix or a suffix of 0..255 and a binary search finds its
// end; for an infinite w2, 0 * w2 is NaN (never selected) and every other b
// compares alike. The comparisons are made on doubles: a byte times a float32
// is exact there, as in extended precision, so every outcome, NaN included,
// is the same.
template <typename Holds>
void selectionTable(Holds holds, bool finiteW2, uint8_t (&lo)[256], uint8_t (&hi)[256]) {
    const int first = finiteW2 ? 0 : 1;
    for (int a = 0; a < 256; ++a) {
        auto at = [&](int b) { return holds(double(a), double(b)); };
        const bool atFirst = at(first), atLast = at(255);
        int low = 1, high = 0;
        if (atFirst && atLast) {
            low = first, high = 255;
        } else if (atFirst || atLast) {
            int in = atFirst ? first : 255, out = atFirst ? 255 : first;  // at(in) holds, at(out) does not
            while (in - out > 1 || out - in > 1) {
                const int mid = (in + out) / 2;
                (at(mid) ? in : out) = mid;
            }
            low = atFirst ? first : in;
            high = atFirst ? in : 255;
        }
        lo[a] = uint8_t(low);
        hi[a] = uint8_t(high);
    }
}

}  // namespace

// byte = saturateByte(single(a*w1 + b*w2)). All three channels of a pixel are
// read before any is written, which the byte-wise passes keep trivially.
void addLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2) {
    if (!validLayers(src1, src2, dst)) return;
    const PairLayers l = pairLayers(src1, src2, dst);
    if (addBytesExact(l.a, l.b, l.out, l.count, w1, w2)) return;
    // Weights beyond the exact integer form (far apart in scale, subnormal or
    // not finite): one table of all 65536 pairs.
    static uint8_t table[256 * 256];
    addTable(w1, w2, table);
    forEachByteRange(l.count, [&](size_t at, size_t n) {
        for (size_t i = at; i < at + n; ++i) l.out[i] = table[l.a[i] * 256 + l.b[i]];
    });
}

// byte = saturateByte(single(a*b * k)), k = single(w1*w2*0.00392156862745):
// the decimal constant, not 1/255, so that 255*255 with unit weights stays 255.
void mulLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2) {
    if (!validLayers(src1, src2, dst)) return;
    const float k = static_cast<float>(ext(w1) * w2 * BYTE_UNIT);
    const PairLayers l = pairLayers(src1, src2, dst);
    mulBytes(l.a, l.b, l.out, l.count, k);
}

// b where b*w2 <= a*w1 (ties take src2), else a; compared unrounded.
void minCombineLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2) {
    if (!validLayers(src1, src2, dst)) return;
    const PairLayers l = pairLayers(src1, src2, dst);
    // The threshold form beats the 512-bit table pass too.
    if (selectBytesByThreshold(l.a, l.b, l.out, l.count, w1, w2, false)) return;
    if (!wideUnitsEnabled() && selectBytesExact(l.a, l.b, l.out, l.count, w1, w2, false)) return;
    uint8_t lo[256], hi[256];
    const double v1 = w1, v2 = w2;
    selectionTable([=](double a, double b) { return b * v2 <= a * v1; }, std::isfinite(w2), lo, hi);
    selectBytes(l.a, l.b, l.out, l.count, lo, hi);
}

// b where b*w2 >= a*w1 (ties take src2), else a; compared unrounded.
void maxCombineLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2) {
    if (!validLayers(src1, src2, dst)) return;
    const PairLayers l = pairLayers(src1, src2, dst);
    // The threshold form beats the 512-bit table pass too.
    if (selectBytesByThreshold(l.a, l.b, l.out, l.count, w1, w2, true)) return;
    if (!wideUnitsEnabled() && selectBytesExact(l.a, l.b, l.out, l.count, w1, w2, true)) return;
    uint8_t lo[256], hi[256];
    const double v1 = w1, v2 = w2;
    selectionTable([=](double a, double b) { return b * v2 >= a * v1; }, std::isfinite(w2), lo, hi);
    selectBytes(l.a, l.b, l.out, l.count, lo, hi);
}

// The low 8 bits of a bitwise combination depend only on the low 8 bits of
// its operands, so each source goes through a table of its own first.
static void bitwiseLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2, BitOp op) {
    if (!validLayers(src1, src2, dst)) return;
    uint8_t t1[256], t2[256];
    for (int v = 0; v < 256; ++v) {
        t1[v] = bitOperand(uint8_t(v), w1);
        t2[v] = bitOperand(uint8_t(v), w2);
    }
    const PairLayers l = pairLayers(src1, src2, dst);
    bitwiseBytes(l.a, l.b, l.out, l.count, t1, t2, w1, w2, op);
}

void xorLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2) {
    bitwiseLayers(src1, src2, dst, w1, w2, BitOp::Xor);
}
void orLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2) {
    bitwiseLayers(src1, src2, dst, w1, w2, BitOp::Or);
}
void andLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2) {
    bitwiseLayers(src1, src2, dst, w1, w2, BitOp::And);
}

// ---- Random scatter -------------------------------------------------------
//
// Each source runs limit = round(pixels * weight) rounds of two copies. Beyond
// 8 rounds per pixel (a weight above 16/3, after the factor 1.5) nearly every position
// has been written many times over, and further rounds only reshuffle which
// source wrote last; the count is capped there so that the time stays
// proportional to the layer whatever the weights (huge ones would otherwise
// run for seconds or, without a bound, forever).

constexpr int64_t ROUNDS_PER_PIXEL_CAP = 8;

// round(pixels * weight), halves to even, capped as above; NaN and negative
// limits give no copies.
static int64_t copyLimit(float weight) {
    const ext limit = extRint(ext(layerPixels()) * weight);
    const ext cap = ext(layerPixels()) * ROUNDS_PER_PIXEL_CAP;
    if (!(limit > ext(0.0))) return 0;
    return static_cast<int64_t>(limit < cap ? limit : cap);
}

// The generator's draws in blocks: draw j of a block is (seed * M^(j+1)) >> 16
// with M the multiplier, so the draws of a block do not wait on one another;
// the seed then advances by M^count, as count calls of nextRandom would.
struct Draws {
    uint32_t power[8];
    Draws() {
        uint32_t p = 1;
        for (uint32_t& q : power) q = p *= RANDOM_MULTIPLIER;
    }
    void take(uint32_t& seed, uint32_t* out, int count) const {
        for (int j = 0; j < count; ++j) out[j] = (seed * power[j]) >> 16;
        seed *= power[count - 1];
    }
};

// One source of a round: two copies, the first taking its first coordinate
// shifted right by 1, the second its second coordinate shifted right by 2;
// src2 draws y before x.
struct ScatterPart {
    const Pixel* from;
    bool yFirst;
};

// Runs `rounds` rounds of the given parts (src1 before src2 within a round)
// and advances randomSeed past their draws. The rounds go in chunks, each
// in two steps that both split over the threads:
//   - the positions of the chunk's copies, in pieces of rounds, each piece
//     starting from the generator's state at its first round (randomAfter);
//   - the copies, in bands of destination rows: each band takes the
//     positions that fall in it, in order, so every pixel ends with the copy
//     that comes last, as on one thread. The sources are read at the same
//     position, so a band touches only its own part of each layer; their
//     cache lines are fetched a few copies ahead.
constexpr int64_t SCATTER_CHUNK = 16384;  // rounds
constexpr size_t SCATTER_AHEAD = 16;      // copies fetched ahead
struct BandCopies {
    uint32_t copy[SCATTER_CHUNK * 4 + SCATTER_AHEAD];
};

static void scatterRounds(int64_t rounds, const ScatterPart* parts, int partCount, Pixel* to) {
    constexpr int64_t CHUNK = SCATTER_CHUNK;
    constexpr size_t AHEAD = SCATTER_AHEAD;
    static const Draws draws;
    const uint32_t wm = uint32_t(widthMask), hm = uint32_t(heightMask), width = uint32_t(layerWidth);
    const int perRound = 2 * partCount;
    const uint32_t partMask = uint32_t(partCount) - 1;  // copy k is part (k / 2) mod partCount, partCount 1 or 2
    // One chunk's positions, then room for the look-ahead past its end.
    std::vector<uint32_t> position(size_t(CHUNK) * size_t(perRound) + AHEAD);
    const Split rows = splitWork(layerHeight, layerWidth);
    const Split bands{layerHeight, rows.pieces < threadCount() ? rows.pieces : threadCount()};
    uint32_t seed = randomSeed;
    for (int64_t done = 0; done < rounds;) {
        const int64_t count = rounds - done < CHUNK ? rounds - done : CHUNK;
        const size_t copies = size_t(count) * size_t(perRound);
        forEachRange(count, 4 * perRound, [&](int64_t r0, int64_t r1) {
            uint32_t state = randomAfter(seed, uint64_t(r0) * uint64_t(partCount) * 4u), r[4];
            uint32_t* out = position.data() + size_t(r0) * size_t(perRound);
            for (int64_t round = r0; round < r1; ++round)
                for (int p = 0; p < partCount; ++p) {
                    draws.take(state, r, 4);
                    const uint32_t a = r[0] >> 1, b = r[1], c = r[2], d = r[3] >> 2;
                    const bool yFirst = parts[p].yFirst;
                    *out++ = ((yFirst ? a : b) & hm) * width + ((yFirst ? b : a) & wm);
                    *out++ = ((yFirst ? c : d) & hm) * width + ((yFirst ? d : c) & wm);
                }
        });
        // The look-ahead's padding: fetched, never copied.
        std::fill(position.begin() + std::ptrdiff_t(copies), position.begin() + std::ptrdiff_t(copies + AHEAD), 0u);
        // The copies at entries index(0 .. n - 1) of the chunk, in order.
        auto copyAll = [&](const auto& index, size_t n) {
            for (size_t m = 0; m < n; ++m) {
                const uint32_t ahead = index(m + AHEAD), k = index(m);
                prefetch(parts[(ahead >> 1) & partMask].from + position[ahead]);
                prefetch(to + position[ahead], true);
                to[position[k]] = parts[(k >> 1) & partMask].from[position[k]];
            }
        };
        runRanges(bands, [&](int64_t y0, int64_t y1) {
            if (bands.pieces == 1) return copyAll([](size_t m) { return uint32_t(m); }, copies);
            // The band's copies, by their place in the chunk (which names the source).
            const uint32_t first = uint32_t(y0) * width, span = uint32_t(y1 - y0) * width;
            uint32_t* mine = perThread<BandCopies>().copy;
            size_t n = 0;
            for (size_t k = 0; k < copies; ++k) {
                mine[n] = uint32_t(k);
                n += position[k] - first < span;
            }
            for (size_t m = n; m < n + AHEAD; ++m) mine[m] = uint32_t(copies);
            copyAll([mine](size_t m) { return mine[m]; }, n);
        });
        seed = randomAfter(seed, uint64_t(count) * uint64_t(partCount) * 4u);
        done += count;
    }
    randomSeed = seed;
}

void randCombineLayers(int32_t src1, int32_t src2, int32_t dst, float w1, float w2) {
    if (!validLayers(src1, src2, dst)) return;
    Pixel* scratch = layers[SCRATCH_LAYER];
    std::memset(scratch, 127, layerBytes());
    const int64_t limit1 = copyLimit(static_cast<float>(ext(w1) * ext(1.5)));
    const int64_t limit2 = copyLimit(static_cast<float>(ext(w2) * ext(1.5)));
    randomSeed = 45390954u;

    // Rounds with both sources active come first, then those of the one with
    // the larger limit alone.
    const int64_t both = limit1 < limit2 ? limit1 : limit2;
    const int64_t alone = (limit1 < limit2 ? limit2 : limit1) - both;
    const ScatterPart parts[2] = {{layers[src1], false}, {layers[src2], true}};
    scatterRounds(both, parts, 2, scratch);
    scatterRounds(alone, &parts[limit1 > limit2 ? 0 : 1], 1, scratch);
    copyLayer(SCRATCH_LAYER, dst);
}

}  // namespace tex
