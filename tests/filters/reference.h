// Plain, literal renderings of the filters, written for clarity only. The
// engine's fast paths are compared with these byte for byte.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/internal.h"
#include "engine/neighbourhood.h"

namespace reference {

using namespace tex;

inline void blur(int32_t src, int32_t dst) {
    filterNeighbourhood(src, dst, [](const int32_t* n) {
        const int32_t sum = n[0] + 2 * n[3] + n[6] + n[2] + 2 * n[5] + n[8] + 2 * n[1] + 4 * n[4] + 2 * n[7];
        return uint8_t(sum >> 4);
    });
}

inline uint8_t clamp(int32_t v) { return uint8_t(v > 255 ? 255 : v < 0 ? 0 : v); }

inline void sharpen(int32_t src, int32_t dst) {
    filterNeighbourhood(src, dst, [](const int32_t* n) {
        return clamp((5 * n[4] >> 1) - ((n[0] + n[2] + n[6] + n[8]) >> 3) - ((n[3] + n[5] + n[1] + n[7]) >> 2));
    });
}

inline void edgeH(int32_t src, int32_t dst) {
    filterNeighbourhood(src, dst, [](const int32_t* n) {
        return clamp(2 * std::abs((n[0] + 2 * n[1] + n[2]) - (n[6] + 2 * n[7] + n[8])));
    });
}

inline void edgeV(int32_t src, int32_t dst) {
    filterNeighbourhood(src, dst, [](const int32_t* n) {
        return clamp(2 * std::abs((n[0] + 2 * n[3] + n[6]) - (n[2] + 2 * n[5] + n[8])));
    });
}

inline void emboss(int32_t src, int32_t dst) {
    filterNeighbourhood(src, dst, [](const int32_t* n) {
        const int32_t gx = 128 + (n[2] + n[5] + n[8]) - (n[0] + n[3] + n[6]);
        const int32_t gy = 128 + (n[6] + n[7] + n[8]) - (n[0] + n[1] + n[2]);
        return clamp(int32_t(intSqrt(uint32_t(gx * gx + gy * gy))));
    });
}

// Offers one byte to the descending list of the five largest seen so far.
inline void insertTopFive(int32_t (&topFive)[5], int32_t value) {
    if (topFive[4] >= value) return;
    if (topFive[3] >= value) {
        topFive[4] = value;
        return;
    }
    for (int i = 0; i < 3; ++i)
        if (value > topFive[i]) {
            for (int k = 4; k > i; --k) topFive[k] = topFive[k - 1];
            topFive[i] = value;
            return;
        }
    topFive[4] = topFive[3];
    topFive[3] = value;
}

inline void median(int32_t src, int32_t dst) {
    filterNeighbourhood(src, dst, [](const int32_t* n) {
        int32_t topFive[5] = {n[0], 0, 0, 0, 0};
        for (int k = 1; k < 9; ++k) insertTopFive(topFive, n[k]);
        return uint8_t(topFive[4]);
    });
}

// The literal window sum, on 64 bits so that it stays exact for any radius
// the test can afford; radius -1 acts like 0.
inline void motionBlur(int32_t src, int32_t dst, int32_t radius) {
    if (radius == -1) radius = 0;
    copyLayer(src, SCRATCH_LAYER);
    const int64_t divisor = (int64_t(radius) + 1) * (int64_t(radius) + 1);
    for (int32_t y = 0; y < layerHeight; ++y)
        for (int32_t x = 0; x < layerWidth; ++x) {
            int64_t sum[3] = {0, 0, 0};
            for (int64_t k = -int64_t(radius); k <= radius; ++k) {
                const Pixel p = pixelAt(SCRATCH_LAYER, int32_t((x + k) & widthMask), y);
                const int64_t weight = radius + 1 - (k < 0 ? -k : k);
                sum[0] += p.red * weight;
                sum[1] += p.green * weight;
                sum[2] += p.blue * weight;
            }
            pixelAt(dst, x, y) = {uint8_t(sum[0] / divisor), uint8_t(sum[1] / divisor), uint8_t(sum[2] / divisor)};
        }
}

// The same blur with the weights of all window positions that fall on one
// column added up first (on 128 bits): feasible for any radius.
inline void motionBlurFolded(int32_t src, int32_t dst, int32_t radius) {
    using Wide = unsigned __int128;
    copyLayer(src, SCRATCH_LAYER);
    const int64_t w = layerWidth, r = radius, length = r + 1;
    Wide weight[64] = {};  // by column offset d, for layers up to 64 wide
    for (int64_t d = 0; d < w; ++d) {
        // k = d + j*w for j >= 0, and k = d - j*w for j >= 1, with |k| <= r.
        const int64_t up = d <= r ? (r - d) / w + 1 : 0, down = (r + d) / w;
        weight[d] = Wide(up) * length - Wide(up) * d - Wide(w) * (Wide(up) * (up - 1) / 2);
        weight[d] += Wide(down) * (length + d) - Wide(w) * (Wide(down) * (down + 1) / 2);
    }
    const Wide divisor = Wide(length) * length;
    for (int32_t y = 0; y < layerHeight; ++y)
        for (int32_t x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k) {
                Wide sum = 0;
                for (int64_t d = 0; d < w; ++d)
                    sum += weight[d] * reinterpret_cast<const uint8_t*>(&pixelAt(SCRATCH_LAYER, int32_t((x + d) % w), y))[k];
                reinterpret_cast<uint8_t*>(&pixelAt(dst, x, y))[k] = uint8_t(sum / divisor);
            }
}

// The seam blend exactly as stated: every pixel's weights from its own t.
inline void makeTilable(int32_t src, int32_t dst, int32_t border) {
    copyLayer(src, SCRATCH_LAYER);
    const int64_t w = layerWidth, h = layerHeight, halfW = w / 2, halfH = h / 2;
    const int64_t r = halfW - int64_t(border);
    const float r2 = static_cast<float>(r * r);
    const float denominator = static_cast<float>(ext(halfW * halfH) - r2);
    const float factor = denominator == 0.0f ? 75000.0f : static_cast<float>(ext(0.75) / denominator);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const int64_t dx = x - halfW, dy = y - halfH;
            float t = static_cast<float>(ext(dx * dx + dy * dy) - r2);
            if (t <= 0.0f) continue;
            float a, b;
            if (ext(t) * factor > ext(0.75)) {
                a = 0.25f;
                b = 0.25f;
            } else {
                t = static_cast<float>(ext(t) * factor);
                b = static_cast<float>(ext(1.0) - t);
                a = static_cast<float>(ext(t) * THIRD);
            }
            const auto* own = reinterpret_cast<const uint8_t*>(&pixelAt(SCRATCH_LAYER, x, y));
            const auto* lr = reinterpret_cast<const uint8_t*>(&pixelAt(SCRATCH_LAYER, int32_t(w - 1 - x), y));
            const auto* both = reinterpret_cast<const uint8_t*>(&pixelAt(SCRATCH_LAYER, int32_t(w - 1 - x), int32_t(h - 1 - y)));
            const auto* tb = reinterpret_cast<const uint8_t*>(&pixelAt(SCRATCH_LAYER, x, int32_t(h - 1 - y)));
            auto* out = reinterpret_cast<uint8_t*>(&pixelAt(dst, x, y));
            for (int k = 0; k < 3; ++k) {
                const int32_t m = lr[k] + both[k] + tb[k];
                out[k] = saturateByte(ext(m) * a + ext(own[k]) * b);
            }
        }
}

}  // namespace reference
