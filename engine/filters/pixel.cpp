// Pixel and smear filters: inversion, bit rotation, motion blur, seam removal.
//
// invertLayer and woodLayer map each byte on its own and so work in place.
// motionBlur and makeTilable read the source as it was before the call: a
// separate source is read directly, and when the destination is the source
// the rows (motion blur) or the whole layer (seam removal) are first staged in
// the scratch layer.
#include <emmintrin.h>

#include "engine/internal.h"

namespace tex {

namespace {

// out[i] = (in[i] shifted left by left, within the byte) | (in[i] shifted
// right by right), sixteen bytes at a time; 16-bit shifts with byte masks
// keep each byte's bits from spilling into its neighbour.
void rotateBytes(const uint8_t* in, uint8_t* out, size_t count, int left, int right) {
    const __m128i leftCount = _mm_cvtsi32_si128(left), rightCount = _mm_cvtsi32_si128(right);
    const __m128i leftMask = _mm_set1_epi8(char(0xFF << left)), rightMask = _mm_set1_epi8(char(0xFF >> right));
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i high = _mm_and_si128(_mm_sll_epi16(v, leftCount), leftMask);
        const __m128i low = _mm_and_si128(_mm_srl_epi16(v, rightCount), rightMask);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_or_si128(high, low));
    }
    for (; i < count; ++i) out[i] = uint8_t((in[i] << left) | (in[i] >> right));
}

}  // namespace

void invertLayer(int32_t src, int32_t dst) {
    if (!validLayers(src, dst)) return;
    const auto* in = reinterpret_cast<const uint8_t*>(layers[src]);
    auto* out = reinterpret_cast<uint8_t*>(layers[dst]);
    const size_t count = layerBytes();
    const __m128i ones = _mm_set1_epi8(char(0xFF));
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_xor_si128(v, ones));
    }
    for (; i < count; ++i) out[i] = uint8_t(255 - in[i]);
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
        rotateBytes(in, out, layerBytes(), n, 8 - n);
}

namespace {

// Motion blur of one channel of one row of `width` pixels (stride 3), with
// window length L = radius + 1 >= 2 and divisor L*L. The triangle weights
// L - |k| for |k| < L are the overlaps of two boxes of length L, so
//   T(x) = sum over a in 0..L-1 of B(x + a),  B(y) = sum over b in 0..L-1 of p(y - b),
// with positions taken modulo the width. A box of length L = q*width + m holds
// q whole rows and m further pixels, so B(y) = q*total + (m pixels ending at
// y), and T(x) = q*L*total + (m values of B starting at x). Both windows
// slide by one pixel per step, so the cost is linear in the width whatever
// the radius, and the sums are exact (Acc holds 255*L*L).
template <typename Acc, typename Divide>
void blurChannel(const uint8_t* p, uint8_t* out, int32_t width, uint64_t length, Divide divide) {
    const size_t w = size_t(width);
    const Acc q = Acc(length / w);
    const size_t m = size_t(length % w);
    auto at = [&](size_t x) { return Acc(p[x * 3]); };
    auto next = [&](size_t x) { return x + 1 == w ? 0 : x + 1; };
    Acc total = 0;
    for (size_t x = 0; x < w; ++x) total += at(x);
    const Acc whole = q * total;
    // A box over the columns (newest - m, newest]; sliding it one column adds
    // the next column and drops the oldest (for m = 0 the two are the same).
    struct Box {
        Acc value;
        size_t newest, oldest;
    };
    auto slide = [&](Box& box) {
        box.newest = next(box.newest);
        box.value += at(box.newest) - at(box.oldest);
        box.oldest = next(box.oldest);
    };
    Box trail{whole, 0, (w + 1 - m) % w};  // B(x), from B(0)
    for (size_t b = 0; b < m; ++b) trail.value += at(b == 0 ? 0 : w - b);
    Box lead = trail;  // B(x + m)
    Acc sum = whole * Acc(length);
    for (size_t a = 0; a < m; ++a) {
        sum += lead.value;
        slide(lead);
    }
    for (size_t x = 0; x < w; ++x) {
        out[x * 3] = uint8_t(divide(sum));
        sum += lead.value - trail.value;
        slide(lead);
        slide(trail);
    }
}

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
    const uint64_t length = uint64_t(radius) + 1;
    const size_t rowBytes = size_t(layerWidth) * 3;
    for (int32_t y = 0; y < layerHeight; ++y) {
        const size_t offset = size_t(y) * rowBytes;
        const uint8_t* in = reinterpret_cast<const uint8_t*>(layers[src]) + offset;
        uint8_t* out = reinterpret_cast<uint8_t*>(layers[dst]) + offset;
        if (src == dst) {
            uint8_t* staged = reinterpret_cast<uint8_t*>(layers[SCRATCH_LAYER]) + offset;
            std::memcpy(staged, in, rowBytes);
            in = staged;
        }
        for (int channel = 0; channel < 3; ++channel) {
            if (length <= (uint64_t(1) << 27)) {
                // 255 * L * L < 2^63. The quotient is at most 255: estimate it
                // in double and correct it by one step either way.
                const int64_t divisor = int64_t(length * length);
                const double inverse = 1.0 / double(divisor);
                blurChannel<int64_t>(in + channel, out + channel, layerWidth, length, [&](int64_t sum) {
                    int64_t quotient = int64_t(double(sum) * inverse);
                    if (quotient * divisor > sum)
                        --quotient;
                    else if ((quotient + 1) * divisor <= sum)
                        ++quotient;
                    return quotient;
                });
            } else {
                const unsigned __int128 divisor = (unsigned __int128)length * length;
                blurChannel<unsigned __int128>(in + channel, out + channel, layerWidth, length,
                                               [&](unsigned __int128 sum) { return sum / divisor; });
            }
        }
    }
}

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
    const float r2 = static_cast<float>(r * r);
    const float denominator = static_cast<float>(static_cast<long double>(halfW * halfH) - r2);
    const float factor = denominator == 0.0f ? 75000.0f : static_cast<float>(0.75L / denominator);
    for (int64_t y = 0; y < h; ++y) {
        const int64_t dy = y - halfH;
        const Pixel* own = s + y * w;
        const Pixel* mirrored = s + (h - 1 - y) * w;
        for (int64_t x = 0; x < w; ++x) {
            const int64_t dx = x - halfW;
            const float t = static_cast<float>(static_cast<long double>(dx * dx + dy * dy) - r2);
            if (t <= 0.0f) continue;  // inside the circle: the destination keeps its pixel
            // The product of two floats is exact in extended precision.
            const long double product = static_cast<long double>(t) * factor;
            float a = 0.25f, b = 0.25f;
            if (!(product > 0.75L)) {
                const float scaled = static_cast<float>(product);
                b = static_cast<float>(1.0L - scaled);
                a = static_cast<float>(static_cast<long double>(scaled) * 0.333333L);
            }
            const Pixel p = own[x], lr = own[w - 1 - x], both = mirrored[w - 1 - x], tb = mirrored[x];
            auto blend = [&](uint8_t self, int32_t m) {
                return saturateByte(static_cast<long double>(m) * a + static_cast<long double>(self) * b);
            };
            out[y * w + x] = {blend(p.red, lr.red + both.red + tb.red), blend(p.green, lr.green + both.green + tb.green),
                              blend(p.blue, lr.blue + both.blue + tb.blue)};
        }
    }
}

}  // namespace tex
