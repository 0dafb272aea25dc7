// Byte passes of the colour operations: plain, with AVX2 byte shuffles and
// on 512-bit units.
//
// The wide passes look bytes up in 256-entry tables held in four registers
// (two two-register byte permutes and a blend on the top bit of the index),
// so a table costs three instructions per 64 bytes. The interleaved channels
// of a layer repeat every 3 bytes and a register holds 64, so three registers
// (192 bytes) start at channel phases 0, 1 and 2 and take their channel masks
// from a small table.
//
// The sum and the product are computed exactly in integers and float32:
// - product: a*b < 2^16 is exact as a float, and one float multiplication by
//   k rounds the exact product a*b*k once, as single() does.
// - sum: with both weights whole multiples of 2^E, a*w1 + b*w2 = N * 2^E with
//   N = a*m1 + b*m2. N is split into NH * 2^15 + NL, both below 2^24 and so
//   exact as floats; one float addition of NH*2^(15+E) and NL*2^E rounds the
//   exact sum once, as single() does.
//
// The 512-bit passes write layers of several megabytes with streaming stores,
// which do not read the destination into the cache first; the AVX2 and SSE2
// passes use ordinary stores (see writeLanes in passes.h).
#include "engine/colour/kernels.h"

#include "engine/threads.h"

#include "engine/colour/hsv_block.h"
#include "engine/colour/passes.h"

#include <climits>

#if TEX_X86_VECTORS
// GCC 12's 512-bit intrinsic headers start some results from an undefined
// register and then warn about it; the warning says nothing about this code.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#endif

namespace tex {

namespace {

bool cpuHasWideUnits() { return vectorUnits() == VectorUnits::Avx512; }

bool& wideUnitsFlag() {
    static bool enabled = cpuHasWideUnits();
    return enabled;
}

}  // namespace

bool wideUnitsEnabled() { return wideUnitsFlag(); }

bool setWideUnits(bool enabled) {
    wideUnitsFlag() = enabled && cpuHasWideUnits();
    return wideUnitsFlag();
}

// ---- Plain passes -----------------------------------------------------------

static void mapPlain(const uint8_t* in, uint8_t* out, size_t count, const uint8_t (&tables)[3][256]) {
    size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const uint8_t r = in[i], g = in[i + 1], b = in[i + 2];
        out[i] = tables[0][r];
        out[i + 1] = tables[1][g];
        out[i + 2] = tables[2][b];
    }
    for (; i < count; ++i) out[i] = tables[i % 3][in[i]];
}

// ---- Wide passes ------------------------------------------------------------

#if TEX_X86_VECTORS

#define TEX_WIDE __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace {

struct WideTable {
    __m512i q[4];
};

TEX_WIDE inline WideTable loadTable(const uint8_t (&t)[256]) {
    return {
        {_mm512_loadu_si512(t), _mm512_loadu_si512(t + 64), _mm512_loadu_si512(t + 128), _mm512_loadu_si512(t + 192)}};
}

TEX_WIDE inline __m512i lookup(const WideTable& t, __m512i index) {
    // The table-overwriting form of the permute: the compiler would pick the
    // index-overwriting one and reload the index, which runs markedly slower
    // here when one index serves two tables.
    __m512i low = t.q[0], high = t.q[2];
    asm("vpermt2b %[t], %[i], %[d]" : [d] "+v"(low) : [i] "v"(index), [t] "v"(t.q[1]));
    asm("vpermt2b %[t], %[i], %[d]" : [d] "+v"(high) : [i] "v"(index), [t] "v"(t.q[3]));
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high);
}

// Streaming stores skip reading the destination into the cache first; they
// need aligned addresses, which the callers arrange (see splitForStreaming).
TEX_WIDE inline void store64(uint8_t* p, __m512i v, bool stream) {
    if (stream)
        _mm512_stream_si512(reinterpret_cast<__m512i*>(p), v);
    else
        _mm512_storeu_si512(p, v);
}

// Bit j of channelMask(phase, c) is set when byte j of a register starting at
// channel phase `phase` belongs to channel c.
constexpr uint64_t channelMask(int phase, int channel) {
    uint64_t mask = 0;
    for (int j = 0; j < 64; ++j)
        if ((phase + j) % 3 == channel) mask |= uint64_t(1) << j;
    return mask;
}
constexpr uint64_t GREEN_MASK[3] = {channelMask(0, 1), channelMask(1, 1), channelMask(2, 1)};
constexpr uint64_t BLUE_MASK[3] = {channelMask(0, 2), channelMask(1, 2), channelMask(2, 2)};

TEX_WIDE void mapWide(const uint8_t* in, uint8_t* out, size_t count, const uint8_t (&tables)[3][256], bool stream) {
    const WideTable red = loadTable(tables[0]), green = loadTable(tables[1]), blue = loadTable(tables[2]);
    const bool oneTable = std::memcmp(tables[0], tables[1], 256) == 0 && std::memcmp(tables[0], tables[2], 256) == 0;
    size_t i = 0;
    if (oneTable) {
        for (; i + 64 <= count; i += 64) store64(out + i, lookup(red, _mm512_loadu_si512(in + i)), stream);
    } else {
        for (; i + 192 <= count; i += 192)
            for (int phase = 0; phase < 3; ++phase) {
                __m512i x = _mm512_loadu_si512(in + i + 64 * phase);
                asm("" : "+v"(x));  // one load, kept in a register for its three lookups
                __m512i y = lookup(red, x);
                y = _mm512_mask_blend_epi8(GREEN_MASK[phase], y, lookup(green, x));
                y = _mm512_mask_blend_epi8(BLUE_MASK[phase], y, lookup(blue, x));
                store64(out + i + 64 * phase, y, stream);
            }
    }
    for (; i < count; ++i) out[i] = tables[i % 3][in[i]];
}

TEX_WIDE void selectWide(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const uint8_t (&lo)[256],
                         const uint8_t (&hi)[256], bool stream) {
    const WideTable low = loadTable(lo), high = loadTable(hi);
    size_t i = 0;
    for (; i + 64 <= count; i += 64) {
        __m512i x = _mm512_loadu_si512(a + i), y = _mm512_loadu_si512(b + i);
        asm("" : "+v"(x), "+v"(y));  // one load each, kept in registers
        const __mmask64 take = _mm512_cmpge_epu8_mask(y, lookup(low, x)) & _mm512_cmple_epu8_mask(y, lookup(high, x));
        store64(out + i, _mm512_mask_blend_epi8(take, x, y), stream);
    }
    for (; i < count; ++i) out[i] = lo[a[i]] <= b[i] && b[i] <= hi[a[i]] ? b[i] : a[i];
}

template <BitOp op>
TEX_WIDE void bitwiseWide(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const uint8_t (&t1)[256],
                          const uint8_t (&t2)[256], bool stream) {
    const WideTable first = loadTable(t1), second = loadTable(t2);
    size_t i = 0;
    for (; i + 64 <= count; i += 64) {
        __m512i u = _mm512_loadu_si512(a + i), v = _mm512_loadu_si512(b + i);
        asm("" : "+v"(u), "+v"(v));  // one load each, kept in registers for both of its lookups
        const __m512i x = lookup(first, u);
        const __m512i y = lookup(second, v);
        const __m512i z = op == BitOp::Xor  ? _mm512_xor_si512(x, y)
                          : op == BitOp::Or ? _mm512_or_si512(x, y)
                                            : _mm512_and_si512(x, y);
        store64(out + i, z, stream);
    }
    for (; i < count; ++i) {
        const uint8_t x = t1[a[i]], y = t2[b[i]];
        out[i] = op == BitOp::Xor ? x ^ y : op == BitOp::Or ? x | y : x & y;
    }
}

// ---- Byte-shuffle passes (AVX2) ----------------------------------------------
//
// A table of 256 bytes applied with 16-entry byte shuffles: the low nibble
// indexes each of the 16 rows of 16 entries, and the bits 4 to 7 pick the
// row in four rounds of blends. The channels are separated first (each
// 128-bit half holds 16 pixels), looked up in their own tables and put back.

#define TEX_SHUFFLES __attribute__((target("avx2")))

// The 16 rows of a table, each in both halves of a register.
struct ShuffleTable {
    __m256i row[16];
};

TEX_SHUFFLES inline void loadRows(const uint8_t (&t)[256], ShuffleTable& rows) {
    for (int h = 0; h < 16; ++h)
        rows.row[h] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 16 * h)));
}

// Unrolled by hand (the compiler keeps the rounds' arrays in memory otherwise).
TEX_SHUFFLES inline __m256i pick(__m256i a, __m256i b, __m256i bit) { return _mm256_blendv_epi8(a, b, bit); }

// Rows h .. h + 3 of the table at the low nibbles `index`.
TEX_SHUFFLES inline __m256i quarterLookup(const ShuffleTable& t, int h, __m256i index, __m256i bit4, __m256i bit5) {
    return pick(pick(_mm256_shuffle_epi8(t.row[h], index), _mm256_shuffle_epi8(t.row[h + 1], index), bit4),
                pick(_mm256_shuffle_epi8(t.row[h + 2], index), _mm256_shuffle_epi8(t.row[h + 3], index), bit4), bit5);
}

TEX_SHUFFLES inline __m256i shuffleLookup(const ShuffleTable& t, __m256i x) {
    const __m256i index = _mm256_and_si256(x, _mm256_set1_epi8(15));
    // Bit 4 + r of each byte moved to its top bit, which the blends read.
    const __m256i bit4 = _mm256_slli_epi16(x, 3), bit5 = _mm256_slli_epi16(x, 2), bit6 = _mm256_slli_epi16(x, 1);
    return pick(pick(quarterLookup(t, 0, index, bit4, bit5), quarterLookup(t, 4, index, bit4, bit5), bit6),
                pick(quarterLookup(t, 8, index, bit4, bit5), quarterLookup(t, 12, index, bit4, bit5), bit6), x);
}

// Shuffle masks of 16 pixels (48 bytes in registers 0..2): the bytes of
// channel c from register r, and back, the bytes of register r from channel c.
struct ChannelMasks {
    __m256i split[3][3], join[3][3];
};

TEX_SHUFFLES ChannelMasks channelMasks() {
    ChannelMasks m;
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r) {
            alignas(16) uint8_t split[16], join[16];
            for (int k = 0; k < 16; ++k) {
                const int from = 3 * k + c, to = 16 * r + k;  // byte of pixel k, channel c; output byte
                split[k] = from / 16 == r ? uint8_t(from % 16) : 0x80;
                join[k] = to % 3 == c ? uint8_t(to / 3) : 0x80;
            }
            m.split[c][r] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(split)));
            m.join[r][c] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(join)));
        }
    return m;
}

// 16 bytes at p in the low half and the 16 at p + 48 in the high half.
TEX_SHUFFLES inline __m256i two(const uint8_t* p) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), 1);
}

// Ordinary stores, as in the arithmetic passes (writeLanes in passes.h).
TEX_SHUFFLES inline void store16(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

TEX_SHUFFLES void mapShuffles(const uint8_t* in, uint8_t* out, size_t count, const uint8_t (&tables)[3][256]) {
    size_t i = 0;
    ShuffleTable local[3];
    for (int c = 0; c < 3; ++c) loadRows(tables[c], local[c]);
    const ChannelMasks m = channelMasks();
    for (; i + 96 <= count; i += 96) {
        const __m256i r[3] = {two(in + i), two(in + i + 16), two(in + i + 32)};
        __m256i channel[3];
#pragma GCC unroll 3
        for (int c = 0; c < 3; ++c) {
            const __m256i x = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(r[0], m.split[c][0]),
                                                              _mm256_shuffle_epi8(r[1], m.split[c][1])),
                                              _mm256_shuffle_epi8(r[2], m.split[c][2]));
            channel[c] = shuffleLookup(local[c], x);
        }
#pragma GCC unroll 3
        for (int k = 0; k < 3; ++k) {
            const __m256i y = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(channel[0], m.join[k][0]),
                                                              _mm256_shuffle_epi8(channel[1], m.join[k][1])),
                                              _mm256_shuffle_epi8(channel[2], m.join[k][2]));
            store16(out + i + 16 * k, _mm256_castsi256_si128(y));
            store16(out + i + 48 + 16 * k, _mm256_extracti128_si256(y, 1));
        }
    }
    mapPlain(in + i, out + i, count - i, tables);
}

}  // namespace

// ---- Dispatch -----------------------------------------------------------------

// Layers of STREAM_BYTES (passes.h) or more are written with streaming
// stores. The part before the first 64-byte boundary (a whole number of
// pixels, so channel phases stay put) is written normally.
template <typename Pass>  // pass(offset, length, stream)
void splitForStreaming(const uint8_t* out, size_t count, Pass pass) {
    if (count < STREAM_BYTES) return pass(0, count, false);
    size_t head = 0;
    while ((reinterpret_cast<uintptr_t>(out + head) & 63) != 0) head += 3;  // at most 63 steps: 3 is odd
    pass(0, head, false);
    pass(head, count - head, true);
    _mm_sfence();
}
#endif

// Each pass below runs on one range of bytes that starts on a pixel; the
// public passes at the end of the file split the bytes over the threads.
static void mapRange(const uint8_t* in, uint8_t* out, size_t count, const uint8_t (&tables)[3][256]) {
#if TEX_X86_VECTORS
    if (!wideUnitsEnabled() && vectorUnits() >= VectorUnits::Avx2) return mapShuffles(in, out, count, tables);
#endif
    if (!wideUnitsEnabled()) return mapPlain(in, out, count, tables);
#if TEX_X86_VECTORS
    splitForStreaming(out, count,
                      [&](size_t at, size_t n, bool stream) { mapWide(in + at, out + at, n, tables, stream); });
#endif
}

static void selectRange(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const uint8_t (&lo)[256],
                 const uint8_t (&hi)[256]) {
#if TEX_X86_VECTORS
    if (wideUnitsEnabled())
        return splitForStreaming(out, count, [&](size_t at, size_t n, bool stream) {
            selectWide(a + at, b + at, out + at, n, lo, hi, stream);
        });
#endif
    for (size_t i = 0; i < count; ++i) {
        const uint8_t x = a[i], y = b[i];
        const uint8_t take = uint8_t(0u - unsigned((lo[x] <= y) & (y <= hi[x])));  // all ones or zero
        out[i] = uint8_t((y & take) | (x & ~take));
    }
}

// ---- Arithmetic passes --------------------------------------------------------

ColourPasses colourPassesBaseline() { return passesOfThisFile(); }
ColourPasses colourPassesPlain() { return plainPassesOfThisFile(); }
HsvBlock hsvBlockBaseline() { return TEX_HSV_PIXEL_BY_PIXEL ? hsvPixels : hsvBlock; }
HsvBlock hsvPixelByPixel() { return hsvPixels; }

// The 512-bit form goes with the other 512-bit passes (setWideUnits).
HsvBlock hsvBlockInUse() {
#if TEX_X86_VECTORS
    static const HsvBlock widest = hsvBlockAvx512(), wide = hsvBlockAvx2(), narrow = hsvBlockBaseline();
    return wideUnitsEnabled() ? widest : vectorUnits() >= VectorUnits::Avx2 ? wide : narrow;
#else
    return hsvBlockBaseline();
#endif
}

// On x86 the register passes, or the plain loops where the units are capped
// at plain; elsewhere the plain loops.
static const ColourPasses& passes() {
#if TEX_X86_VECTORS
    static const ColourPasses wide = colourPassesAvx2(), narrow = colourPassesBaseline(), plain = colourPassesPlain();
    return vectorUnits() >= VectorUnits::Avx2 ? wide : vectorUnits() == VectorUnits::Sse2 ? narrow : plain;
#else
    static const ColourPasses narrow = colourPassesBaseline();
    return narrow;
#endif
}

static bool productForm(const uint8_t (&table)[256], float weight, ByteProduct& form) {
    // trunc(v * w) and trunc(v * (|w| mod 256)) have the same low 8 bits up
    // to the sign while nothing clamps; the candidates are the multipliers
    // just below and above that weight in 16 bits, and the table decides.
    double reduced = std::fabs(double(weight));
    reduced = std::isfinite(reduced) ? std::fmod(reduced, 256.0) : 0.0;
    int shift = 23;
    while (shift > 8 && reduced * std::ldexp(1.0, shift) >= 65536.0) --shift;
    const double scaled = std::floor(reduced * std::ldexp(1.0, shift));
    for (double m : {scaled, scaled + 1.0}) {
        if (m >= 65536.0) continue;
        const ByteProduct candidate{uint16_t(m), uint8_t(shift), weight < 0.0f};
        bool same = true;
        for (int v = 0; v < 256 && same; ++v) {
            const uint32_t n = (uint32_t(v) * candidate.multiplier) >> candidate.shift;
            same = uint8_t(candidate.negate ? 0u - n : n) == table[v];
        }
        if (same) {
            form = candidate;
            return true;
        }
    }
    return false;
}

// The operands as products computed in the lanes where both tables have
// that form (productForm), else the tables.
static void bitwiseRange(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const uint8_t (&t1)[256],
                         const uint8_t (&t2)[256], BitOp op, const ByteProduct* forms) {
#if TEX_X86_VECTORS
    if (wideUnitsEnabled())
        return splitForStreaming(out, count, [&](size_t at, size_t n, bool stream) {
            switch (op) {
                case BitOp::Xor:
                    return bitwiseWide<BitOp::Xor>(a + at, b + at, out + at, n, t1, t2, stream);
                case BitOp::Or:
                    return bitwiseWide<BitOp::Or>(a + at, b + at, out + at, n, t1, t2, stream);
                case BitOp::And:
                    return bitwiseWide<BitOp::And>(a + at, b + at, out + at, n, t1, t2, stream);
            }
        });
#endif
    if (forms) {
        const BitCombine combine = op == BitOp::Xor ? BitCombine::Xor : op == BitOp::Or ? BitCombine::Or : BitCombine::And;
        return passes().bitwise(a, b, out, count, forms[0], forms[1], combine);
    }
    for (size_t i = 0; i < count; ++i) {
        const uint8_t x = t1[a[i]], y = t2[b[i]];
        out[i] = op == BitOp::Xor ? x ^ y : op == BitOp::Or ? x | y : x & y;
    }
}

static void scaleRange(const uint8_t* in, uint8_t* out, size_t count, const float (&factor)[3]) {
    bool ordinary = true;
    for (float f : factor) ordinary = ordinary && f >= -8388608.0f && f <= 8388608.0f;  // false for NaN
    if (ordinary) return passes().scale(in, out, count, factor);
    // Huge or NaN factors: the float product and its saturation as they stand.
    for (size_t i = 0, n = count; i < n; ++i) out[i] = byteOfFloat(float(in[i]) * factor[i % 3]);
}

static void offsetRange(const uint8_t* in, uint8_t* out, size_t count, const int32_t (&offset)[3]) {
    int32_t clamped[3];
    for (int c = 0; c < 3; ++c) clamped[c] = offset[c] < -255 ? -255 : offset[c] > 255 ? 255 : offset[c];
    passes().offset(in, out, count, clamped);
}

static void mulRange(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float k) {
    if (k > 0.0f && k <= 32768.0f) return passes().multiply(a, b, out, count, k);
    // Beyond: a product of 1 or more times k is at least 2^15 (255), a zero
    // product gives 0 (NaN for an infinite k: 0 too); k <= 0 or NaN gives 0
    // everywhere.
    if (k > 32768.0f)
        for (size_t i = 0; i < count; ++i) out[i] = a[i] != 0 && b[i] != 0 ? 255 : 0;
    else
        std::memset(out, 0, count);
}

namespace {

// Splits a finite weight into odd * 2^shift (odd = 0 for zero).
void splitWeight(float w, int64_t& odd, int& shift) {
    odd = 0;
    shift = INT_MAX;
    if (w == 0.0f) return;
    int e;
    const float m = std::frexp(std::fabs(w), &e);  // |w| = m * 2^e, 0.5 <= m < 1
    odd = static_cast<int64_t>(std::ldexp(m, 24));
    shift = e - 24;
    while ((odd & 1) == 0) odd >>= 1, ++shift;
    if (w < 0.0f) odd = -odd;
}

// True when both weights fit the fixed form (passes.h): a shared exponent E
// with normal powers of two, multiples of 2^E below 2^30 in magnitude, and
// every weighted sum of bytes below 2^31.
bool fixWeights(float w1, float w2, FixedWeights& f) {
    if (!std::isfinite(w1) || !std::isfinite(w2)) return false;
    if (255.0 * (std::fabs(double(w1)) + std::fabs(double(w2))) >= 2147483648.0) return false;  // exact in double
    int64_t odd1, odd2;
    int shift1, shift2;
    splitWeight(w1, odd1, shift1);
    splitWeight(w2, odd2, shift2);
    int e = shift1 < shift2 ? shift1 : shift2;
    if (e == INT_MAX) e = 0;  // both zero
    if (e < -126 || e > 100) return false;
    int64_t multiple[2];
    const int64_t odd[2] = {odd1, odd2};
    const int shift[2] = {shift1, shift2};
    for (int j = 0; j < 2; ++j) {
        if (odd[j] == 0) {
            multiple[j] = 0;
            continue;
        }
        if (shift[j] - e > 30) return false;
        multiple[j] = odd[j] * (int64_t(1) << (shift[j] - e));
        if (multiple[j] >= (int64_t(1) << 30) || multiple[j] <= -(int64_t(1) << 30)) return false;
    }
    // high = floor(multiple / 2^15) in [-2^15, 2^15), low = the rest in [0, 2^15).
    auto high = [&](int j) { return std::ldexp(float(multiple[j] >> 15), e + 15); };
    auto low = [&](int j) { return std::ldexp(float(multiple[j] & 0x7FFF), e); };
    f = {high(0), low(0), high(1), low(1), int16_t(multiple[0] >> 15), int16_t(multiple[0] & 0x7FFF),
         int16_t(multiple[1] >> 15), int16_t(multiple[1] & 0x7FFF), std::ldexp(1.0f, e + 15), std::ldexp(1.0f, e),
         int32_t(multiple[0]), int32_t(multiple[1]), e};
    return true;
}

}  // namespace

bool addBytesExact(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float w1, float w2) {
    FixedWeights f;
    if (!fixWeights(w1, w2, f)) return false;
    forEachByteRange(count, [&](size_t at, size_t n) { passes().add(a + at, b + at, out + at, n, f); });
    return true;
}

// The threshold form of a selection with positive finite weights, where one
// gives every outcome. The minimum takes b where b*w2 <= a*w1, the maximum
// where a*w1 <= b*w2: both take b where x*wx <= y*wy, that is where x <= T(y)
// for T(y) the last x that holds (at least 0: x = 0 always does), found by
// bisection on the comparisons in double, where a byte times a float32 is
// exact, as in extended precision. The candidates are the multipliers next to
// (wy / wx) * 2^shift for the largest shift that keeps T(255) below 2^15,
// each checked for every y: T(y) itself, or at least 255 where every x holds.
static bool findSelectThreshold(float w1, float w2, bool above, SelectThreshold& form) {
    if (!(w1 > 0.0f && w2 > 0.0f && std::isfinite(w1) && std::isfinite(w2))) return false;
    const double wx = above ? w1 : w2, wy = above ? w2 : w1;
    const double ratio = wy / wx;
    if (!(ratio < 120.0)) return false;
    int shift = 23;
    while (shift > 8 && ratio * std::ldexp(1.0, shift) >= 65535.0) --shift;
    int32_t limit[256];
    for (int y = 0; y < 256; ++y) {
        int in = 0, out = 256;  // x = in holds; out does not, or lies past 255
        while (out - in > 1) {
            const int mid = (in + out) / 2;
            (mid * wx <= y * wy ? in : out) = mid;
        }
        limit[y] = in;
    }
    const double scaled = std::floor(ratio * std::ldexp(1.0, shift));
    for (double m : {scaled, scaled + 1.0, scaled - 1.0}) {
        if (m < 1.0 || m > 65535.0 || (255 * int32_t(m)) >> shift >= 32768) continue;
        const SelectThreshold candidate{uint16_t(m), uint8_t(shift), above};
        bool same = true;
        for (int y = 0; y < 256 && same; ++y) {
            const int32_t t = int32_t((uint32_t(y) * candidate.multiplier) >> shift);
            same = limit[y] == 255 ? t >= 255 : t == limit[y];
        }
        if (same) {
            form = candidate;
            return true;
        }
    }
    return false;
}

// The last weights' form: documents and the studio select with the same
// weights again and again.
static bool selectThreshold(float w1, float w2, bool above, SelectThreshold& form) {
    static float last1 = 0.0f, last2 = 0.0f;  // no form for zero weights
    static bool lastAbove = false, lastFound = false;
    static SelectThreshold lastForm{};
    if (!(w1 == last1 && w2 == last2 && above == lastAbove)) {
        lastFound = findSelectThreshold(w1, w2, above, lastForm);
        last1 = w1, last2 = w2, lastAbove = above;
    }
    form = lastForm;
    return lastFound;
}

bool selectBytesByThreshold(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float w1, float w2,
                            bool takeAbove) {
    SelectThreshold threshold;
    if (!selectThreshold(w1, w2, takeAbove, threshold)) return false;
    forEachByteRange(count,
                     [&](size_t at, size_t n) { passes().selectThreshold(a + at, b + at, out + at, n, threshold); });
    return true;
}

bool selectBytesExact(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float w1, float w2,
                      bool takeAbove) {
    FixedWeights f;
    if (!fixWeights(w1, w2, f)) return false;
    forEachByteRange(count, [&](size_t at, size_t n) { passes().select(a + at, b + at, out + at, n, f, takeAbove); });
    return true;
}

// The integer form of one channel's scaling, where one gives its 256 bytes:
// a multiplier m below 2^16 next to factor * 2^shift for the two largest
// shifts up to 16 that allow one, each checked against every byte. A factor of 0 or
// less gives 0 everywhere, as m = 0 does.
static bool findChannelShift(float factor, uint16_t& multiplier, uint16_t& pre) {
    uint8_t expected[256];
    for (int v = 0; v < 256; ++v) expected[v] = scaleByte(uint8_t(v), factor);
    const auto works = [&](uint32_t m, int shift) {
        for (uint32_t v = 0; v < 256; ++v) {
            const uint32_t r = (v * m) >> shift;
            if ((r > 255 ? 255 : r) != expected[v]) return false;
        }
        multiplier = uint16_t(m);
        pre = uint16_t(1u << (16 - shift));
        return true;
    };
    if (!(factor > 0.0f)) return works(0, 16);
    int top = 16;
    while (top > 9 && std::ldexp(double(factor), top) >= 65535.0) --top;
    for (int shift = top; shift >= top - 1 && shift >= 9; --shift) {
        const double ideal = std::ldexp(double(factor), shift);
        for (const double m : {std::floor(ideal), std::ceil(ideal)})
            if (m <= 65535.0 && works(uint32_t(m), shift)) return true;
    }
    return false;
}

// The last factors' form, as for the products.
static bool scaleShift(const float (&factor)[3], ScaleShift& form) {
    for (float f : factor)
        if (!(f >= -8388608.0f && f <= 8388608.0f)) return false;  // huge or NaN: scaleRange's own forms
    static float last[3] = {0.0f, 0.0f, 0.0f};
    static ScaleShift lastForm{};
    static bool lastFound = false, any = false;
    if (!any || !(factor[0] == last[0] && factor[1] == last[1] && factor[2] == last[2])) {
        lastFound = true;
        for (int c = 0; c < 3 && lastFound; ++c)
            lastFound = findChannelShift(factor[c], lastForm.multiplier[c], lastForm.pre[c]);
        for (int c = 0; c < 3; ++c) last[c] = factor[c];
        any = true;
    }
    form = lastForm;
    return lastFound;
}

// ---- Split over the threads ---------------------------------------------------

void mapLayerBytes(int32_t src, int32_t dst, const uint8_t (&tables)[3][256]) {
    const auto* in = reinterpret_cast<const uint8_t*>(layers[src]);
    auto* out = reinterpret_cast<uint8_t*>(layers[dst]);
    forEachByteRange(layerBytes(), [&](size_t at, size_t n) { mapRange(in + at, out + at, n, tables); });
}

void scaleLayerBytes(int32_t src, int32_t dst, const float (&factor)[3]) {
    const auto* in = reinterpret_cast<const uint8_t*>(layers[src]);
    auto* out = reinterpret_cast<uint8_t*>(layers[dst]);
    ScaleShift form;
    if (passes().scaleShifted && scaleShift(factor, form))
        return forEachByteRange(layerBytes(),
                                [&](size_t at, size_t n) { passes().scaleShifted(in + at, out + at, n, form); });
    forEachByteRange(layerBytes(), [&](size_t at, size_t n) { scaleRange(in + at, out + at, n, factor); });
}

void offsetLayerBytes(int32_t src, int32_t dst, const int32_t (&offset)[3]) {
    const auto* in = reinterpret_cast<const uint8_t*>(layers[src]);
    auto* out = reinterpret_cast<uint8_t*>(layers[dst]);
    forEachByteRange(layerBytes(), [&](size_t at, size_t n) { offsetRange(in + at, out + at, n, offset); });
}

void selectBytes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const uint8_t (&lo)[256],
                 const uint8_t (&hi)[256]) {
    forEachByteRange(count, [&](size_t at, size_t n) { selectRange(a + at, b + at, out + at, n, lo, hi); });
}

// Both operands the bytes themselves (weights of 1, and any other whose
// truncated products keep every byte): the combination of the bytes, which
// every vectorizer makes one instruction per register.
template <BitOp op>
static void combineRawBytes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i)
        out[i] = uint8_t(op == BitOp::Xor ? a[i] ^ b[i] : op == BitOp::Or ? a[i] | b[i] : a[i] & b[i]);
}

void bitwiseBytes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, const uint8_t (&t1)[256],
                  const uint8_t (&t2)[256], float w1, float w2, BitOp op) {
    bool raw = true;
    for (int v = 0; v < 256 && raw; ++v) raw = t1[v] == v && t2[v] == v;
    if (raw) {
        auto* combine = op == BitOp::Xor  ? combineRawBytes<BitOp::Xor>
                        : op == BitOp::Or ? combineRawBytes<BitOp::Or>
                                          : combineRawBytes<BitOp::And>;
        return forEachByteRange(count, [&](size_t at, size_t n) { combine(a + at, b + at, out + at, n); });
    }
    ByteProduct forms[2];
    const bool computed = productForm(t1, w1, forms[0]) && productForm(t2, w2, forms[1]);
    forEachByteRange(count, [&](size_t at, size_t n) {
        bitwiseRange(a + at, b + at, out + at, n, t1, t2, op, computed ? forms : nullptr);
    });
}


// The integer form of the product for k, where one gives every byte.
//
// The byte f(p) = min(255, trunc(single(p * k))) of a product p = a*b <= 65025
// and q(p) = min(255, (p * m) >> s) are both nondecreasing in p (the float
// rounding is monotone), so they are equal on 0..65025 exactly when each
// n = 1..255 is first reached at the same p, or by neither within 0..65025.
// That p is about n / k for f: the float product differs from p * k by at
// most 2^-24 of it, under 0.004 in p, so the estimate is at most a step or
// two off, and the steps use the pass's own float product. For q it suffices
// that q reaches n there and not one before.
static bool findProductShift(float k, ProductShift& form) {
    if (!(k > 0.0f && k < 0.49f)) return false;  // false for NaN
    int s = 31;
    while (s > 17 && std::ldexp(double(k), s) >= 65535.0) --s;
    const auto reaches = [&](int32_t p, int32_t n) { return float(p) * k >= float(n); };
    int32_t first[256];  // first[n]: the first p with f(p) >= n, 65026 for none
    for (int32_t n = 1; n < 256; ++n) {
        const double estimate = std::ceil(double(n) / double(k));
        int32_t p = estimate < 65026.0 ? int32_t(estimate) : 65026;
        while (p > 0 && reaches(p - 1, n)) --p;
        while (p <= 65025 && !reaches(p, n)) ++p;
        first[n] = p;
    }
    const double ideal = std::ldexp(double(k), s);
    for (const double m : {std::floor(ideal), std::ceil(ideal)}) {
        if (m < 1.0 || m > 65535.0) continue;
        const uint64_t multiplier = uint64_t(m);
        const auto q = [&](int32_t p) { return (uint64_t(p) * multiplier) >> s; };
        bool same = true;
        for (int32_t n = 1; n < 256 && same; ++n) {
            const int32_t p = first[n];
            same = (p > 65025 ? q(65025) < uint64_t(n) : q(p) >= uint64_t(n)) && (p == 0 || q(p - 1) < uint64_t(n));
        }
        if (same) {
            form = {uint16_t(multiplier), uint8_t(s)};
            return true;
        }
    }
    return false;
}

// The last k's form: documents and the studio multiply by the same few k
// again and again, and at small sizes the search costs a good part of a pass.
static bool productShift(float k, ProductShift& form) {
    static float lastK = 0.0f;  // no form for 0
    static ProductShift lastForm{};
    static bool lastFound = false;
    if (!(k == lastK)) {
        lastFound = findProductShift(k, lastForm);
        lastK = k;
    }
    form = lastForm;
    return lastFound;
}

void mulBytes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t count, float k) {
    ProductShift form;
    if (productShift(k, form))
        return forEachByteRange(
            count, [&](size_t at, size_t n) { passes().multiplyShifted(a + at, b + at, out + at, n, form); });
    forEachByteRange(count, [&](size_t at, size_t n) { mulRange(a + at, b + at, out + at, n, k); });
}

}  // namespace tex
