// Pixel and smear filters: inversion, bit rotation, motion blur, seam removal.
//
// invertLayer and woodLayer map each byte on its own and so work in place.
// motionBlur and makeTilable read the source as it was before the call: a
// separate source is read directly, and when the destination is the source
// the rows (motion blur) or the whole layer (seam removal) are first staged in
// the scratch layer.
#include "engine/internal.h"
#include "engine/numeric/decide.h"
#include "engine/threads.h"
#include "engine/numeric/wide.h"

#if TEX_X86_VECTORS
#include <emmintrin.h>
#endif
#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

namespace tex {

namespace {

// out[i] = in[i] rotated left by `left` (1..7) within the byte, four bytes
// to a 32-bit word: the word shifted both ways by one count, with byte masks
// that keep each byte's bits from spilling into its neighbour, which the
// vectorizers take as a few whole-register operations. Through a local
// block, so that they vectorize in place too (out may be in).
//
// WebAssembly's compiler makes a vector shift by a count held in a variable
// into a scalar shift per lane, and the block copies into calls. There each
// 16 bytes are rotated in registers, as two bytes to a 16-bit lane: a byte
// times 2^left, below 2^15, holds the rotation's two parts either side of
// bit 8, which shifts by the constant 8 put together.
void rotateBytes(const uint8_t* in, uint8_t* out, size_t count, int left) {
    const int right = 8 - left;
    size_t i = 0;
#if defined(__wasm_simd128__)
    const v128_t power = wasm_i16x8_splat(int16_t(1 << left)), byte = wasm_i16x8_splat(0xFF);
    for (; i + 16 <= count; i += 16) {
        const v128_t v = wasm_v128_load(in + i);
        const v128_t first = wasm_i16x8_mul(wasm_v128_and(v, byte), power);
        const v128_t second = wasm_i16x8_mul(wasm_u16x8_shr(v, 8), power);
        const v128_t low = wasm_v128_and(wasm_v128_or(first, wasm_u16x8_shr(first, 8)), byte);
        const v128_t high = wasm_i16x8_shl(wasm_v128_or(second, wasm_u16x8_shr(second, 8)), 8);
        wasm_v128_store(out + i, wasm_v128_or(low, high));
    }
#else
    const uint32_t high = 0x01010101u * ((0xFFu << left) & 0xFFu), low = 0x01010101u * (0xFFu >> right);
    uint32_t block[64];
    for (; i + sizeof block <= count; i += sizeof block) {
        std::memcpy(block, in + i, sizeof block);
        for (uint32_t& word : block) word = ((word << left) & high) | ((word >> right) & low);
        std::memcpy(out + i, block, sizeof block);
    }
#endif
    for (; i < count; ++i) out[i] = uint8_t((in[i] << left) | (in[i] >> right));
}

}  // namespace

void invertLayer(int32_t src, int32_t dst) {
    if (!validLayers(src, dst)) return;
    forEachByteRange(layerBytes(), [&](size_t at, size_t count) {
    const auto* in = reinterpret_cast<const uint8_t*>(layers[src]) + at;
    auto* out = reinterpret_cast<uint8_t*>(layers[dst]) + at;
    size_t i = 0;
#if TEX_X86_VECTORS
    const __m128i ones = _mm_set1_epi8(char(0xFF));
    for (; i + 16 <= count; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_xor_si128(v, ones));
    }
#endif
    for (; i < count; ++i) out[i] = uint8_t(255 - in[i]);
    });
}

// Low 8 bits of (b << bits) | (b >> (8 - bits)) on 32-bit values, with both
// counts taken modulo 32 as 32-bit shifts take them: n = bits mod 32 rotates
// left by n for n <= 8 (0 and 8 copy) and clears every byte for n >= 9,
// because then b >> (40 - n) and the low byte of b << n are both 0.
void woodLayer(int32_t src, int32_t dst, int32_t bits) {
    if (!validLayers(src, dst)) return;
    const int n = int(uint32_t(bits) & 31u);
    const auto* in = reinterpret_cast<const uint8_t*>(layers[src]);
    auto* out = reinterpret_cast<uint8_t*>(layers[dst]);
    if (n == 0 || n == 8)
        copyLayer(src, dst);
    else if (n > 8)
        std::memset(out, 0, layerBytes());
    else
        forEachByteRange(layerBytes(), [&](size_t at, size_t count) { rotateBytes(in + at, out + at, count, n); });
}

namespace {

// Motion blur of one row of `width` pixels, all three channels, with window
// length L = radius + 1 >= 2 and divisor L*L. The triangle weights L - |k|
// for |k| < L are the overlaps of two boxes of length L, so
//   T(x) = sum over a in 0..L-1 of B(x + a),  B(y) = sum over b in 0..L-1 of p(y - b),
// with positions taken modulo the width. A box of length L = q*width + m holds
// q whole rows and m further pixels, so B(y) = q*total + (m pixels ending at
// y), and T(x) = q*L*total + (m values of B starting at x). Both windows
// slide by one pixel per step, so the cost is linear in the width whatever
// the radius, and the sums are exact: Acc holds 255*L*L (differences may wrap
// around an unsigned Acc; the sums they update never do).
template <typename Acc, typename Divide>
void blurRow(const uint8_t* p, uint8_t* out, size_t w, uint64_t length, Divide divide) {
    const Acc q = Acc(length / w);
    const size_t m = size_t(length % w);
    auto next = [&](size_t x) { return x + 1 == w ? 0 : x + 1; };
    Acc total[3] = {0, 0, 0};
    for (size_t x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c) total[c] += p[x * 3 + c];
    // A box over the columns (newest - m, newest]; sliding it one column adds
    // the next column and drops the oldest (for m = 0 the two are the same).
    struct Box {
        Acc value[3];
        size_t newest, oldest;
    };
    auto slide = [&](Box& box) {
        box.newest = next(box.newest);
        const uint8_t *in = p + box.newest * 3, *gone = p + box.oldest * 3;
        for (int c = 0; c < 3; ++c) box.value[c] += Acc(in[c]) - Acc(gone[c]);
        box.oldest = next(box.oldest);
    };
    Box trail{{q * total[0], q * total[1], q * total[2]}, 0, (w + 1 - m) % w};  // B(x), from B(0)
    for (size_t b = 0; b < m; ++b)
        for (int c = 0; c < 3; ++c) trail.value[c] += p[(b == 0 ? 0 : w - b) * 3 + c];
    Box lead = trail;  // B(x + m)
    Acc sum[3];
    for (int c = 0; c < 3; ++c) sum[c] = q * total[c] * Acc(length);
    for (size_t a = 0; a < m; ++a) {
        for (int c = 0; c < 3; ++c) sum[c] += lead.value[c];
        slide(lead);
    }
    for (size_t x = 0; x < w; ++x) {
        for (int c = 0; c < 3; ++c) {
            out[x * 3 + c] = uint8_t(divide(sum[c]));
            sum[c] += lead.value[c] - trail.value[c];
        }
        slide(lead);
        slide(trail);
    }
}

// Sums for windows beyond 2^27 pixels, which reach 255 * L * L > 2^64:
// unsigned arithmetic modulo 2^128 on two words, as blurRow needs it.
struct Sum128 {
    uint64_t hi = 0, lo = 0;
    Sum128() = default;
    Sum128(uint64_t v) : lo(v) {}
    Sum128& operator+=(Sum128 b) {
        lo += b.lo;
        hi += b.hi + (lo < b.lo);
        return *this;
    }
    friend Sum128 operator-(Sum128 a, Sum128 b) {
        Sum128 r;
        r.lo = a.lo - b.lo;
        r.hi = a.hi - b.hi - (a.lo < b.lo);
        return r;
    }
    friend Sum128 operator*(Sum128 a, Sum128 b) {
        Sum128 r;
        wide::multiply(a.lo, b.lo, r.hi, r.lo);
        r.hi += a.hi * b.lo + a.lo * b.hi;
        return r;
    }
};

}  // namespace

void motionBlur(int32_t src, int32_t dst, int32_t radius) {
    if (!validLayers(src, dst)) return;
    // Radius -1 would divide by zero; it acts like radius 0, a copy.
    if (radius == -1) radius = 0;
    if (radius == 0) {
        copyLayer(src, dst);
        return;
    }
    // A negative radius leaves the window empty: every sum, so every byte, is 0.
    if (radius < 0) {
        std::memset(layers[dst], 0, layerBytes());
        return;
    }
    const uint64_t length = uint64_t(radius) + 1, divisor = length * length;
    const size_t w = size_t(layerWidth), rowBytes = w * 3;
    // The divisions by L*L, exact for every sum the blur can form (at most
    // 255*L*L): sums below 2^31 by a multiply and shift (with s = 31 + l,
    // 2^l >= L*L and M = ceil(2^s / (L*L)), the error of n*M / 2^s is below
    // 1/(L*L) for n < 2^31, too little to reach the next integer); larger ones
    // from a double estimate corrected by one step, or on two words.
    int shift = 31;
    uint64_t magic = 0;
    if (length <= 2901) {  // 255 * 2902^2 >= 2^31
        while ((uint64_t(1) << (shift - 31)) < divisor) ++shift;
        magic = ((uint64_t(1) << shift) + divisor - 1) / divisor;
    }
    const double inverse = 1.0 / double(divisor);
    forEachRow([&](int64_t y0, int64_t y1) {
    for (int64_t y = y0; y < y1; ++y) {
        const size_t offset = size_t(y) * rowBytes;
        const uint8_t* in = reinterpret_cast<const uint8_t*>(layers[src]) + offset;
        uint8_t* out = reinterpret_cast<uint8_t*>(layers[dst]) + offset;
        if (src == dst) {
            // Staging its own row is enough: each row reads only itself.
            uint8_t* staged = reinterpret_cast<uint8_t*>(layers[SCRATCH_LAYER]) + offset;
            std::memcpy(staged, in, rowBytes);
            in = staged;
        }
        if (magic) {
            blurRow<uint32_t>(in, out, w, length, [&](uint32_t sum) { return (uint64_t(sum) * magic) >> shift; });
        } else if (length <= (uint64_t(1) << 27)) {  // 255 * L * L < 2^63
            const int64_t d = int64_t(divisor);
            blurRow<int64_t>(in, out, w, length, [&](int64_t sum) {
                int64_t quotient = int64_t(double(sum) * inverse);
                if (quotient * d > sum)
                    --quotient;
                else if ((quotient + 1) * d <= sum)
                    ++quotient;
                return quotient;
            });
        } else {  // L * L < 2^62 and the quotient at most 255
            blurRow<Sum128>(in, out, w, length, [&](Sum128 sum) {
                uint64_t remainder;
                return wide::divide(sum.hi, sum.lo, divisor, remainder);
            });
        }
    }
    });
}

// Weights of the seam blend at squared distance d2 from the centre: false
// inside or on the circle (t <= 0), else a for the mirrors and b for the
// pixel itself.
struct TileWeights {
    float r2, factor;
    double third = static_cast<double>(THIRD);
    // True where both weights are 0.25.
    bool equal(int64_t d2) const {
        const float t = static_cast<float>(ext(d2) - r2);
        return t > 0.0f && ext(t) * factor > ext(0.75);
    }
    // The same in double: d2 - r2 (integers below 2^32) and t * factor (24
    // by 24 bits) are exact, so t, the comparison, scaled and b (a float32
    // subtraction) are the ext form's bits; a = single(scaled * THIRD) is
    // decided with THIRD's double (within 2^-54 of it relative) and one
    // rounding, bound 2^-51 |a|.
    bool at(int64_t d2, float& a, float& b) const {
        const float t = static_cast<float>(double(d2) - r2);
        if (t <= 0.0f) return false;
        const double product = double(t) * factor;
        if (product > 0.75) {
            a = b = 0.25f;
        } else {
            const float scaled = static_cast<float>(product);
            b = 1.0f - scaled;
            const double v = double(scaled) * third;
            a = numeric::singleOr(v, std::fabs(v) * 0x1p-51,
                                  [&] { return static_cast<float>(ext(scaled) * THIRD); });
        }
        return true;
    }
};

void makeTilable(int32_t src, int32_t dst, int32_t border) {
    if (!validLayers(src, dst)) return;
    const Pixel* s = layers[src];
    if (src == dst) {
        std::memcpy(layers[SCRATCH_LAYER], layers[src], layerBytes());
        s = layers[SCRATCH_LAYER];
    }
    Pixel* out = layers[dst];
    const int64_t w = layerWidth, h = layerHeight, halfW = w / 2, halfH = h / 2;
    // r*r is exact on 64 bits for every border and is rounded to float once.
    const int64_t r = halfW - int64_t(border);
    TileWeights weights;
    weights.r2 = static_cast<float>(r * r);
    const float denominator = static_cast<float>(ext(halfW * halfH) - weights.r2);
    weights.factor = denominator == 0.0f ? 75000.0f : static_cast<float>(ext(0.75) / denominator);

    // Every squared distance d2 is at most halfW^2 + halfH^2 < 2^31. t is d2 -
    // r2 rounded, which keeps its sign, so a pixel is left alone exactly when
    // d2 <= r2. Beyond, t and with a positive factor t * factor grow with d2,
    // so the weights are both 0.25 from one squared distance on: found once by
    // bisection. There the blend is (m + own) / 4 exactly.
    const int64_t farthest = halfW * halfW + halfH * halfH;
    const int64_t inside = weights.r2 > float(farthest) ? farthest : int64_t(weights.r2);
    int64_t even = farthest + 1;  // first d2 with both weights 0.25
    if (weights.factor > 0.0f) {
        int64_t low = inside, high = farthest + 1;  // equal weights at high, not at low
        while (high - low > 1) {
            const int64_t mid = low + (high - low) / 2;
            (weights.equal(mid) ? high : low) = mid;
        }
        even = high;
    }

    forEachRow([&](int64_t y0, int64_t y1) {
    for (int64_t y = y0; y < y1; ++y) {
        const int64_t dy = y - halfH;
        const Pixel* own = s + y * w;
        const Pixel* mirrored = s + (h - 1 - y) * w;
        // The row's pixels inside the circle, |dx| <= k, are skipped as a run.
        int64_t skipFrom = w, skipTo = w;
        if (dy * dy <= inside) {
            const int64_t room = inside - dy * dy;
            int64_t k = int64_t(std::sqrt(double(room)));
            while (k * k > room) --k;
            while ((k + 1) * (k + 1) <= room) ++k;
            skipFrom = halfW - k < 0 ? 0 : halfW - k;
            skipTo = halfW + k + 1 > w ? w : halfW + k + 1;
        }
        for (int64_t x = 0; x < w; ++x) {
            if (x == skipFrom) x = skipTo;  // the destination keeps these pixels
            if (x >= w) break;
            const int64_t dx = x - halfW, d2 = dx * dx + dy * dy;
            const Pixel p = own[x], lr = own[w - 1 - x], both = mirrored[w - 1 - x], tb = mirrored[x];
            if (d2 >= even) {
                out[y * w + x] = {uint8_t((p.red + lr.red + both.red + tb.red) >> 2),
                                  uint8_t((p.green + lr.green + both.green + tb.green) >> 2),
                                  uint8_t((p.blue + lr.blue + both.blue + tb.blue) >> 2)};
                continue;
            }
            float a = 0.25f, b = 0.25f;
            weights.at(d2, a, b);
            // m * a (10 by 24 bits) and self * b are exact in double; the
            // sum rounds once, by at most 2^-53 of it (ext: 2^-64).
            auto blend = [&](uint8_t self, int32_t m) {
                const double v = double(m) * a + double(self) * b;
                return numeric::saturateOr(v, std::fabs(v) * 0x1p-52,
                                           [&] { return saturateByte(ext(m) * a + ext(self) * b); });
            };
            out[y * w + x] = {blend(p.red, lr.red + both.red + tb.red), blend(p.green, lr.green + both.green + tb.green),
                              blend(p.blue, lr.blue + both.blue + tb.blue)};
        }
    }
    });
}

}  // namespace tex
