// Layer combiners: weighted sum and product, random scatter, minimum and
// maximum selection and bitwise combination of two layers.
//
// Every combiner but the scatter maps a pair of bytes (a from src1, b from
// src2, same pixel and channel) to one byte through a formula fixed for the
// call, so the destination may be either source. Products of a byte and a
// float32 weight are exact in extended precision (and in double); sums are
// rounded to float32 once; the bitwise operands are truncated toward zero.
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
    bitwiseBytes(l.a, l.b, l.out, l.count, t1, t2, op);
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
        for (uint32_t& q : power) q = p *= 22695477u;
    }
    void take(uint32_t* out, int count) const {
        for (int j = 0; j < count; ++j) out[j] = (randomSeed * power[j]) >> 16;
        randomSeed *= power[count - 1];
    }
};

// One source of a round: two copies, the first taking its first coordinate
// shifted right by 1, the second its second coordinate shifted right by 2;
// src2 draws y before x.
struct ScatterPart {
    const Pixel* from;
    bool yFirst;
};

// Runs `rounds` rounds of the given parts (src1 before src2 within a round).
// Positions are found a batch of rounds ahead and their cache lines fetched
// while the previous batch is copied; the copies are made in order, so later
// copies still win.
static void scatterRounds(int64_t rounds, const ScatterPart* parts, int partCount, Pixel* to) {
    constexpr int BATCH = 64;  // rounds
    static const Draws draws;
    struct Batch {
        size_t position[4 * BATCH];
        const Pixel* source[4 * BATCH];
        int copies = 0;
    } batches[2];
    const uint32_t wm = uint32_t(widthMask), hm = uint32_t(heightMask);
    auto prepare = [&](Batch& next, int roundCount) {
        uint32_t r[8];
        next.copies = 0;
        for (int round = 0; round < roundCount; ++round)
            for (int p = 0; p < partCount; ++p) {
                draws.take(r, 4);
                const ScatterPart& part = parts[p];
                const uint32_t a = r[0] >> 1, b = r[1], c = r[2], d = r[3] >> 2;
                const uint32_t x1 = part.yFirst ? b : a, y1 = part.yFirst ? a : b;
                const uint32_t x2 = part.yFirst ? d : c, y2 = part.yFirst ? c : d;
                for (const size_t i : {size_t(y1 & hm) * size_t(layerWidth) + (x1 & wm),
                                       size_t(y2 & hm) * size_t(layerWidth) + (x2 & wm)}) {
                    prefetch(part.from + i);
                    prefetch(to + i, true);
                    next.position[next.copies] = i;
                    next.source[next.copies++] = part.from;
                }
            }
    };
    int current = 0;
    for (;;) {
        const int batch = rounds < BATCH ? int(rounds) : BATCH;
        rounds -= batch;
        prepare(batches[current ^ 1], batch);  // empty once the rounds run out
        const Batch& done = batches[current];
        for (int k = 0; k < done.copies; ++k) to[done.position[k]] = done.source[k][done.position[k]];
        current ^= 1;
        if (batch == 0) break;
    }
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
