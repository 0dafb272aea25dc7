// Relief and morphology: gradient-direction relief, erosion and dilation.
// Each destination byte comes from the 3x3 wrapped neighbourhood of the same
// channel in a staged copy of the source, so the destination may be the
// source.
#include "engine/neighbourhood.h"

namespace tex {

// The direction of the channel's Sobel gradient as a byte around the circle:
// (127.5 + angle * 127.5 / pi) modulo 256. A zero horizontal gradient is coded
// 196, 128 or 64 by the sign of the vertical one (196, not 192: stored
// documents depend on it).
static uint8_t gradientDirection(const int32_t n[9]) {
    const int32_t gx = n[0] + 2 * n[3] + n[6] - n[2] - 2 * n[5] - n[8];
    const int32_t gy = n[0] + 2 * n[1] + n[2] - n[6] - 2 * n[7] - n[8];
    if (gx == 0) return gy > 0 ? 196 : gy == 0 ? 128 : 64;
    const long double K = 40.584510803222656L;
    const float a = static_cast<float>(atanl(static_cast<long double>(gy) / gx));
    if (gx > 0) return static_cast<uint8_t>(static_cast<int32_t>(a * K + 127.5L));
    return static_cast<uint8_t>(static_cast<int32_t>(a * K));
}

void sculptureLayer(int32_t src, int32_t dst) { filterNeighbourhood(src, dst, gradientDirection); }

void erodeLayer(int32_t src, int32_t dst) {
    filterNeighbourhood(src, dst, [](const int32_t n[9]) {
        int32_t m = n[0];
        for (int i = 1; i < 9; ++i) m = n[i] < m ? n[i] : m;
        return uint8_t(m);
    });
}

void dilateLayer(int32_t src, int32_t dst) {
    filterNeighbourhood(src, dst, [](const int32_t n[9]) {
        int32_t m = n[0];
        for (int i = 1; i < 9; ++i) m = n[i] > m ? n[i] : m;
        return uint8_t(m);
    });
}

}  // namespace tex
