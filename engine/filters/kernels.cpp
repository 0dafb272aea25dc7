// Row kernels of the 3x3 filters, written once as plain loops over the bytes
// of a row. The compilers vectorise them; on x86 the same loops are compiled
// a second time for AVX2 (TEX_AVX2_FUNCTION) and a third for AVX-512, whose
// 64-byte vectors halve the work of the emboss's square roots; vectorUnits()
// chooses.
//
// Data layout: a row is width pixels of three bytes, so the same channel of
// the left and right neighbours lies 3 bytes before and after. Every byte is
// computed independently from the bytes at the same position in the nine
// neighbours, all in int32 arithmetic (values stay within -1024..4080, or the
// emboss's squares below 2^21), clamped to 0..255 at the end.
#include <cmath>
#include <cstring>

#include "engine/filters/frame.h"
#include "engine/internal.h"
#include "engine/threads.h"

namespace tex {

namespace {

// The nine neighbours of the byte at p of the row own: reading order, row
// above left, centre, right; own row; row below.
struct Rows {
    const uint8_t* up;
    const uint8_t* own;
    const uint8_t* down;
};

// On 16 bits, so that the loops keep 16-bit lanes.
TEX_ALWAYS_INLINE uint8_t clampByte(int16_t v) { return uint8_t(v < 0 ? int16_t(0) : v > 255 ? int16_t(255) : v); }

// 2 |g| for a 1 2 1 difference g, 255 above 255.
TEX_ALWAYS_INLINE int32_t twiceAbs(int16_t g) {
    const int16_t a = int16_t(g < 0 ? -g : g);
    return a > 127 ? 255 : 2 * a;
}

TEX_ALWAYS_INLINE int32_t edgeHAt(Rows r, size_t i) {
    return twiceAbs(int16_t((r.up[i - 3] + 2 * r.up[i] + r.up[i + 3]) - (r.down[i - 3] + 2 * r.down[i] + r.down[i + 3])));
}

TEX_ALWAYS_INLINE int32_t edgeVAt(Rows r, size_t i) {
    return twiceAbs(
        int16_t((r.up[i - 3] + 2 * r.own[i - 3] + r.down[i - 3]) - (r.up[i + 3] + 2 * r.own[i + 3] + r.down[i + 3])));
}

template <int32_t (*Kernel)(Rows, size_t)>
TEX_ALWAYS_INLINE void eachByte(Rows r, uint8_t* out, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) out[i] = uint8_t(Kernel(r, i));
}

// The emboss: intSqrt(gx*gx + gy*gy), 255 above 255. With s capped at 65536
// (where intSqrt is 256 and beyond which it stays above 255), the truncated
// float root of t = s + 1 is the floor of the root of s except when t is a
// square k*k (float holds these values and their roots exactly, and a root
// just below an integer k <= 257 is at least 1/514 below it, far more than
// half a float step); there intSqrt(k*k - 1) is looked up afterwards, for
// the bytes marked in `square`.
TEX_ALWAYS_INLINE void embossBytes(Rows r, uint8_t* out, uint8_t* square, size_t from, size_t to) {
    // In two passes over chunks, as the blur below: first, for every position
    // from 3 bytes before the chunk to 3 after, the column sum (up + own +
    // down, at most 765) and the column difference (down - up); then gx is
    // the difference of the column sums 3 to the right and 3 to the left, and
    // gy the sum of three column differences, so that the first pass works
    // on 16-bit values only.
    constexpr size_t CHUNK = 1024;
    uint16_t column[CHUNK + 6];
    int16_t difference[CHUNK + 6];
    for (size_t start = from; start < to; start += CHUNK) {
        const size_t n = to - start < CHUNK ? to - start : CHUNK;
        const uint8_t *u = r.up + start - 3, *o = r.own + start - 3, *d = r.down + start - 3;
        for (size_t k = 0; k < n + 6; ++k) {
            column[k] = uint16_t(u[k] + o[k] + d[k]);
            difference[k] = int16_t(d[k] - u[k]);
        }
        for (size_t k = 0; k < n; ++k) {
            // gx and gy (-637..893), their squares summed on 32 bits.
            const int16_t gx = int16_t(128 + column[k + 6] - column[k]);
            const int16_t gy = int16_t(128 + difference[k] + difference[k + 3] + difference[k + 6]);
            const int32_t s = int32_t(gx) * gx + int32_t(gy) * gy;
            const float t = static_cast<float>(s < 65536 ? s : 65536) + 1.0f;
            // The root k <= 256 on 16 bits, and the test for t = k*k too: k*k
            // and t agree modulo 2^16 only when they are equal, as
            // 0 <= t - k*k <= 2k < 2^16 (on 32 bits, or in float, the test
            // takes twice the vector operations). A root of 256 (t = 65536) is
            // left as 255, which intSqrt(65535) is.
            const uint16_t root = uint16_t(truncSmall(std::sqrt(t)));
            square[start + k] = uint8_t(uint16_t(root * root) == uint16_t(s + 1)) & uint8_t(root < 256);
            out[start + k] = uint8_t(root > 255 ? 255 : root);
        }
    }
}

// Median of nine in two passes, so that each column is sorted once rather
// than once for each of the three bytes that use it: the sorted columns (low,
// middle, high) of every position from 3 bytes before the run to 3 after,
// then the median as the middle of (largest low, middle of middles, smallest
// high) at offsets 0, 3 and 6.
constexpr size_t MEDIAN_CHUNK = 1024;

TEX_ALWAYS_INLINE uint8_t min8(uint8_t a, uint8_t b) { return a < b ? a : b; }
TEX_ALWAYS_INLINE uint8_t max8(uint8_t a, uint8_t b) { return a > b ? a : b; }
TEX_ALWAYS_INLINE uint8_t middle3(uint8_t a, uint8_t b, uint8_t c) { return max8(min8(a, b), min8(max8(a, b), c)); }

TEX_ALWAYS_INLINE void medianBytes(Rows r, uint8_t* out, size_t from, size_t to) {
    uint8_t lo[MEDIAN_CHUNK + 6], mid[MEDIAN_CHUNK + 6], hi[MEDIAN_CHUNK + 6];
    for (size_t start = from; start < to; start += MEDIAN_CHUNK) {
        const size_t n = to - start < MEDIAN_CHUNK ? to - start : MEDIAN_CHUNK;
        const uint8_t* up = r.up + start - 3;
        const uint8_t* own = r.own + start - 3;
        const uint8_t* down = r.down + start - 3;
        for (size_t k = 0; k < n + 6; ++k) {
            const uint8_t a = up[k], b = own[k], c = down[k];
            const uint8_t low = min8(a, b), high = max8(a, b);
            lo[k] = min8(low, c);
            const uint8_t m = max8(low, c);
            mid[k] = min8(m, high);
            hi[k] = max8(m, high);
        }
        uint8_t* o = out + start;
        for (size_t k = 0; k < n; ++k) {
            const uint8_t lows = max8(max8(lo[k], lo[k + 3]), lo[k + 6]);
            const uint8_t highs = min8(min8(hi[k], hi[k + 3]), hi[k + 6]);
            o[k] = middle3(lows, middle3(mid[k], mid[k + 3], mid[k + 6]), highs);
        }
    }
}

// Blur and sharpen in two passes over chunks of a row: first a sum down each
// column (up, own and down at the same byte) for every position from 3 bytes
// before the chunk to 3 after, then each byte from the column sums 3 bytes to
// its left, at it and to its right, and its own row. The same integer sums as
// the nine-neighbour forms, from three or five widened loads per byte
// instead of nine.
constexpr size_t COLUMN_CHUNK = 1024;

template <typename Down, typename Across>
TEX_ALWAYS_INLINE void columnsThenRows(Rows r, uint8_t* out, size_t from, size_t to, Down down, Across across) {
    uint16_t column[COLUMN_CHUNK + 6];
    for (size_t start = from; start < to; start += COLUMN_CHUNK) {
        const size_t n = to - start < COLUMN_CHUNK ? to - start : COLUMN_CHUNK;
        const uint8_t *u = r.up + start - 3, *o = r.own + start - 3, *d = r.down + start - 3;
        for (size_t k = 0; k < n + 6; ++k) column[k] = down(u[k], o[k], d[k]);
        uint8_t* result = out + start;
        for (size_t k = 0; k < n; ++k) result[k] = across(column + k, o + k);
    }
}

// 1 2 1 down, then 1 2 1 across (at most 4080), divided by 16 rounding down.
TEX_ALWAYS_INLINE void blurBytes(Rows r, uint8_t* out, size_t from, size_t to) {
    columnsThenRows(
        r, out, from, to, [](uint8_t u, uint8_t o, uint8_t d) { return uint16_t(u + 2 * o + d); },
        [](const uint16_t* c, const uint8_t*) { return uint8_t(uint16_t(c[0] + 2 * c[3] + c[6]) >> 4); });
}

// Columns of up + down: the corners are the sums 3 bytes to the left and
// right, the edges the sum at the byte and its own row's left and right.
TEX_ALWAYS_INLINE void sharpenBytes(Rows r, uint8_t* out, size_t from, size_t to) {
    columnsThenRows(
        r, out, from, to, [](uint8_t u, uint8_t, uint8_t d) { return uint16_t(u + d); },
        [](const uint16_t* c, const uint8_t* o) {
            const uint16_t corners = uint16_t(c[0] + c[6]), edges = uint16_t(c[3] + o[0] + o[6]);
            const uint16_t centre = uint16_t(5 * o[3]) >> 1;
            return clampByte(int16_t(centre - (corners >> 3) - (edges >> 2)));
        });
}

// Bytes [from, to) of a row whose neighbours at -3 and +3 are in range.
TEX_ALWAYS_INLINE void runKernel(Kernel3x3 kernel, Rows r, uint8_t* out, uint8_t* square, size_t from, size_t to) {
    switch (kernel) {
        case KERNEL_BLUR: blurBytes(r, out, from, to); break;
        case KERNEL_SHARPEN: sharpenBytes(r, out, from, to); break;
        case KERNEL_EMBOSS: embossBytes(r, out, square, from, to); break;
        case KERNEL_EDGE_H: eachByte<edgeHAt>(r, out, from, to); break;
        case KERNEL_EDGE_V: eachByte<edgeVAt>(r, out, from, to); break;
        case KERNEL_MEDIAN: medianBytes(r, out, from, to); break;
        default: break;
    }
}

void runPlain(Kernel3x3 kernel, Rows r, uint8_t* out, uint8_t* square, size_t from, size_t to) {
    runKernel(kernel, r, out, square, from, to);
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION void runAvx2(Kernel3x3 kernel, Rows r, uint8_t* out, uint8_t* square, size_t from, size_t to) {
    runKernel(kernel, r, out, square, from, to);
}
TEX_AVX512_FUNCTION void runAvx512(Kernel3x3 kernel, Rows r, uint8_t* out, uint8_t* square, size_t from, size_t to) {
    runKernel(kernel, r, out, square, from, to);
}
#endif

struct SquareMarks {  // one row's, one per thread
    uint8_t marks[3 * MAX_LAYER_SIDE];
};

}  // namespace

// Bytes 3 .. rowBytes - 4 are computed from the row directly; the three at
// each end, whose neighbours wrap, from 12-byte copies of the bytes around
// them (bytes rowBytes - 6 .. rowBytes + 5 taken modulo rowBytes, which also
// serves rows of one and two pixels: every byte's neighbourhood is the same
// wherever it is met).
void filterRow(Kernel3x3 kernel, VectorUnits units, const uint8_t* up, const uint8_t* own, const uint8_t* down, uint8_t* out,
               size_t rowBytes) {
    uint8_t* squareMarks = perThread<SquareMarks>().marks;
    auto run = runPlain;
#if TEX_X86_VECTORS
    if (units >= VectorUnits::Avx512) run = runAvx512;
    else if (units >= VectorUnits::Avx2) run = runAvx2;
#else
    (void)units;
#endif
    if (rowBytes > 6) run(kernel, {up, own, down}, out, squareMarks, 3, rowBytes - 3);
    // The byte positions of the copies, rowBytes - 6 + k modulo rowBytes
    // (reduced by subtraction: a division per byte would cost more than the
    // row's interior).
    size_t at[12];
    for (size_t k = 0; k < 12; ++k) {
        size_t p = rowBytes * 2 - 6 + k;
        while (p >= rowBytes) p -= rowBytes;
        at[k] = p;
    }
    uint8_t copies[3][12], results[12], square[12];
    const uint8_t* rows[3] = {up, own, down};
    for (int r = 0; r < 3; ++r)
        for (size_t k = 0; k < 12; ++k) copies[r][k] = rows[r][at[k]];
    runPlain(kernel, {copies[0], copies[1], copies[2]}, results, square, 3, 9);
    const uint16_t* roots = rootsBelowSquares();
    for (size_t k = 3; k < 9; ++k) {
        if (kernel == KERNEL_EMBOSS && square[k]) results[k] = uint8_t(roots[results[k]]);
        out[at[k]] = results[k];
    }
    if (kernel == KERNEL_EMBOSS && rowBytes > 6) {
        // The marked bytes hold their root k < 256: intSqrt(k*k - 1) instead.
        // Marks are rare and scattered (a few per row of noise), so they are
        // looked for 32 bytes at a time: a test per byte mispredicts at every
        // mark, which cost more than the row's kernel itself.
        const size_t end = rowBytes - 3;
        for (size_t i = 3; i < end; i += 32) {
            const size_t n = end - i < 32 ? end - i : 32;
            uint64_t words[4] = {};
            std::memcpy(words, squareMarks + i, n);
            if (words[0] | words[1] | words[2] | words[3])
                for (size_t k = i; k < i + n; ++k)
                    if (squareMarks[k]) out[k] = uint8_t(roots[out[k]]);
        }
    }
}

}  // namespace tex
