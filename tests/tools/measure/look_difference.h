// How far a texture rendered larger strays from its look at the design size:
// render at the design size, render at `factor` times it (exactly, or keeping
// the look), shrink by averaging factor by factor blocks, and take the mean
// absolute difference of each channel, in percent of full scale.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "tools/keep_look.h"

namespace looktest {

struct Difference {
    double channel[3];  // red, green, blue
    double mean() const { return (channel[0] + channel[1] + channel[2]) / 3; }
};

// Layer 4 after the replay, as bytes.
inline std::vector<tex::Pixel> texture(const texlisting::Document& document, int32_t width, int32_t height, bool keepLook) {
    if (keepLook)
        texlisting::replayKeepingLook(document, width, height);
    else
        texlisting::replayDocument(document, width, height);
    std::vector<tex::Pixel> pixels(tex::layers[4], tex::layers[4] + size_t(width) * size_t(height));
    tex::freeLayers();
    return pixels;
}

inline Difference difference(const texlisting::Document& document, int32_t factor, bool keepLook) {
    int32_t width, height;
    texlisting::designSize(document, width, height);
    const std::vector<tex::Pixel> design = texture(document, width, height, false);
    const std::vector<tex::Pixel> large = texture(document, width * factor, height * factor, keepLook);
    Difference result{};
    const size_t wide = size_t(width) * size_t(factor);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            double sum[3] = {};
            for (int32_t j = 0; j < factor; ++j)
                for (int32_t i = 0; i < factor; ++i) {
                    const tex::Pixel& p = large[(size_t(y) * factor + j) * wide + size_t(x) * factor + i];
                    sum[0] += p.red;
                    sum[1] += p.green;
                    sum[2] += p.blue;
                }
            const tex::Pixel& q = design[size_t(y) * size_t(width) + size_t(x)];
            const double own[3] = {double(q.red), double(q.green), double(q.blue)};
            for (int c = 0; c < 3; ++c) result.channel[c] += std::fabs(sum[c] / (factor * factor) - own[c]);
        }
    for (double& c : result.channel) c = c / (double(width) * height) / 255 * 100;
    return result;
}

}  // namespace looktest
