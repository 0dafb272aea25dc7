// fast_paths_compare: the double-first forms of particle, sinePlasma,
// subPlasma's weights, makeTilable, sineDistort, mapDistort, twirlLayer, tunnelDistort and logPolLayer
// against their plain ext formulas, byte for byte, over random arguments and
// arguments placed next to the roundings' boundaries.
//   fast_paths_compare [--evaluations N]   (default 1e8 per operation)
// Each operation counts one evaluation per pixel it computes. Exits non-zero
// at the first difference, naming the operation and its arguments.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "distort/reference.h"
#include "engine/generators/plasma.h"
#include "filters/reference.h"
#include "test_util.h"

using namespace tex;

namespace {

// particle's plain formula, pixel by pixel.
void plainParticle(int32_t dst, float falloff) {
    const int32_t halfWidth = layerWidth / 2, halfHeight = layerHeight / 2;
    const float invHalfWidth = halfWidth ? static_cast<float>(ext(1.0) / halfWidth) : 0.0f;
    const float invHalfHeight = halfHeight ? static_cast<float>(ext(1.0) / halfHeight) : 0.0f;
    const float scale = static_cast<float>(ext(falloff) * ext(180.0));
    Pixel* out = layers[dst];
    for (int32_t y = 0; y < layerHeight; ++y) {
        const float dy = static_cast<float>(ext(y - halfHeight) * invHalfHeight);
        for (int32_t x = 0; x < layerWidth; ++x) {
            const float dx = static_cast<float>(ext(x - halfWidth) * invHalfWidth);
            const float d = fastSqrt(static_cast<float>(ext(dx) * dx + ext(dy) * dy));
            const uint8_t grey = saturateByte(static_cast<float>(ext(255.0) - ext(scale) * d));
            *out++ = {grey, grey, grey};
        }
    }
}

bool sameLayers(int32_t a, int32_t b) { return std::memcmp(layers[a], layers[b], layerBytes()) == 0; }

// Falloffs: random magnitudes over the whole float range, signs, zero, NaN
// and infinities, and ones that put some pixel's value within a few float
// steps of an integer or of a float32 midpoint.
float falloffFor(std::mt19937_64& random) {
    switch (random() % 4) {
        case 0: {
            uint32_t bits = uint32_t(random());
            float f;
            std::memcpy(&f, &bits, 4);
            return f;
        }
        case 1: return std::ldexp(float(random() % 100000) / 100000.0f, int(random() % 20) - 12);
        default: {
            // Pixel (x, y) lands near 255 - k - e with a tiny e either side.
            const int32_t halfWidth = layerWidth / 2, halfHeight = layerHeight / 2;
            const int32_t x = int32_t(random() % uint64_t(layerWidth)), y = int32_t(random() % uint64_t(layerHeight));
            const float dx = halfWidth ? static_cast<float>(double(x - halfWidth) / halfWidth) : 0.0f;
            const float dy = halfHeight ? static_cast<float>(double(y - halfHeight) / halfHeight) : 0.0f;
            const double d = fastSqrt(static_cast<float>(double(dx) * dx + double(dy) * dy));
            if (d == 0.0) return 1.0f;
            const double k = double(random() % 256) + (random() % 2 ? 0.5 : 0.0);
            float f = static_cast<float>((255.0 - k) / (180.0 * d));
            for (int steps = int(random() % 7) - 3; steps != 0; steps += steps < 0 ? 1 : -1)
                f = std::nextafter(f, steps < 0 ? -INFINITY : INFINITY);
            return f;
        }
    }
}

bool compareParticle(double evaluations, std::mt19937_64& random) {
    for (double done = 0; done < evaluations;) {
        // Powers of two 1 .. 512, and any side up to 300 half the time: odd
        // and even sides place the spot's centre and its mirrored columns and
        // rows differently.
        const auto side = [&] {
            return random() % 2 ? int32_t(1) << (random() % 10) : int32_t(1 + random() % 300);
        };
        const int32_t width = side();
        initLayers(width, side());
        for (int k = 0; k < 16 && done < evaluations; ++k) {
            const float falloff = falloffFor(random);
            plainParticle(1, falloff);
            particle(2, falloff);
            if (!sameLayers(1, 2)) {
                std::fprintf(stderr, "particle differs: %dx%d falloff %a\n", layerWidth, layerHeight, falloff);
                return false;
            }
            done += double(layerPixels());
        }
        freeLayers();
    }
    return true;
}

// sinePlasma's plain formula, pixel by pixel.
void plainSinePlasma(int32_t dst, float xFrequency, float yFrequency, float amplitude) {
    const float scale = static_cast<float>(ext(amplitude) * ext(0.00390625));
    static ext column[1024];
    for (int32_t x = 0; x < layerWidth; ++x) column[x] = extSin(ext(x) * xFrequency) * ext(63.5);
    Pixel* out = layers[dst];
    for (int32_t y = 0; y < layerHeight; ++y) {
        const float rowTerm = static_cast<float>(extSin(ext(y) * yFrequency) * ext(63.5) + ext(127.0));
        for (int32_t x = 0; x < layerWidth; ++x) {
            const uint8_t grey = uint8_t(truncInt32((column[x] + rowTerm) * scale));
            *out++ = {grey, grey, grey};
        }
    }
}

// A float32 of random bits: every magnitude, both signs, zeros, subnormals,
// infinities and NaN.
float anyFloat(std::mt19937_64& random) {
    const uint32_t bits = uint32_t(random());
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// Frequencies of every size (and zero, NaN), amplitudes random or chosen so
// that one pixel's value lies a few float steps from a whole number.
bool compareSinePlasma(double evaluations, std::mt19937_64& random) {
    for (double done = 0; done < evaluations;) {
        initLayers(int32_t(1) << (random() % 11), int32_t(1) << (random() % 11));
        for (int k = 0; k < 8 && done < evaluations; ++k) {
            const auto frequency = [&]() -> float {
                switch (random() % 8) {
                    case 0: return 0.0f;
                    case 1: return anyFloat(random);
                    default: return std::ldexp(float(random() % 1000000) / 1e6f - 0.5f, int(random() % 30) - 12);
                }
            };
            const float xf = frequency(), yf = frequency();
            float amplitude = random() % 2 ? anyFloat(random) : float(random() % 100000) / 100.0f - 500.0f;
            if (random() % 2) {
                // Pixel (x, y) at k + e, e a few float steps of the scale away from 0.
                const int32_t x = int32_t(random() % uint64_t(layerWidth)), y = int32_t(random() % uint64_t(layerHeight));
                const double rowTerm = double(static_cast<float>(extSin(ext(y) * yf) * ext(63.5) + ext(127.0)));
                const double v = double(extSin(ext(x) * xf) * ext(63.5)) + rowTerm;
                const double whole = double(int64_t(random() % 600) - 300);
                if (std::isfinite(v) && v != 0.0) {
                    float scale = static_cast<float>(whole / v);
                    for (int steps = int(random() % 9) - 4; steps != 0; steps += steps < 0 ? 1 : -1)
                        scale = std::nextafter(scale, steps < 0 ? -INFINITY : INFINITY);
                    amplitude = scale * 256.0f;
                }
            }
            plainSinePlasma(1, xf, yf, amplitude);
            sinePlasma(2, xf, yf, amplitude);
            if (!sameLayers(1, 2)) {
                std::fprintf(stderr, "sinePlasma differs: %dx%d frequencies %a %a amplitude %a\n", layerWidth,
                             layerHeight, xf, yf, amplitude);
                return false;
            }
            done += double(layerPixels());
        }
        freeLayers();
    }
    return true;
}

// subPlasma's weight table: every fraction k * single(1 / step) of every
// step from 1 up, with the weight formula as written.
bool compareCosineWeights(double evaluations) {
    double done = 0;
    for (int32_t step = 1; done < evaluations; ++step) {
        const float inv = static_cast<float>(ext(1.0) / step);
        for (int32_t k = 0; k < step; ++k) {
            const float f = static_cast<float>(ext(k) * inv);
            const float plain = static_cast<float>((ext(1.0) - extCos(ext(f) * PI_F)) * ext(0.5));
            const float fast = cosineWeight(f);
            if (std::memcmp(&plain, &fast, 4) != 0) {
                std::fprintf(stderr, "subPlasma weight differs: step %d position %d\n", step, k);
                return false;
            }
        }
        done += step;
    }
    return true;
}

bool compareMakeTilable(double evaluations, std::mt19937_64& random) {
    for (double done = 0; done < evaluations;) {
        initLayers(int32_t(1) << (random() % 10), int32_t(1) << (random() % 10));
        for (int k = 0; k < 8 && done < evaluations; ++k) {
            const int32_t halfW = layerWidth / 2;
            const int32_t border =
                random() % 4 ? int32_t(random() % uint64_t(halfW + 2)) : int32_t(uint32_t(random()));
            textest::fillNoise(0, uint32_t(random()));
            reference::makeTilable(0, 1, border);
            makeTilable(0, 2, border);
            if (!sameLayers(1, 2)) {
                std::fprintf(stderr, "makeTilable differs: %dx%d border %d\n", layerWidth, layerHeight, border);
                return false;
            }
            done += double(layerPixels());
        }
        freeLayers();
    }
    return true;
}

// Steps f by up to three float32 units either way.
float jitter(float f, std::mt19937_64& random) {
    for (int steps = int(random() % 7) - 3; steps != 0; steps += steps < 0 ? 1 : -1)
        f = std::nextafter(f, steps < 0 ? -INFINITY : INFINITY);
    return f;
}

// An amplitude that puts base + amplitude * sin(frequency * n) next to the
// midpoint between two float32 values (a rounding boundary of the sum), or
// an ordinary one when the sine is 0.
float amplitudeNearMidpoint(float frequency, int32_t n, double base, std::mt19937_64& random) {
    const double sine = std::sin(double(frequency) * n);
    if (sine == 0.0) return float(random() % 64);
    const float target = static_cast<float>(base + std::ldexp(double(random() % 4096) - 2048.0, int(random() % 8)));
    const double midpoint = (double(target) + double(std::nextafter(target, INFINITY))) / 2.0;
    return jitter(static_cast<float>((midpoint - base) / sine), random);
}

bool compareSineDistort(double evaluations, std::mt19937_64& random) {
    for (double done = 0; done < evaluations;) {
        initLayers(int32_t(1) << (random() % 10), int32_t(1) << (random() % 10));
        textest::fillNoise(0, uint32_t(random()));
        for (int k = 0; k < 16 && done < evaluations; ++k) {
            float hFreq = std::ldexp(float(random() % 10000) / 10000.0f, int(random() % 8) - 5);
            float vFreq = std::ldexp(float(random() % 10000) / 10000.0f, int(random() % 8) - 5);
            if (random() % 2) hFreq = -hFreq;
            if (random() % 2) vFreq = -vFreq;
            float hAmp = float(int32_t(random() % 64) - 32) / 4.0f, vAmp = float(int32_t(random() % 64) - 32) / 4.0f;
            switch (random() % 6) {
                case 0:  // hostile values, any of the four
                    (random() % 2 ? hFreq : vFreq) = anyFloat(random);
                    (random() % 2 ? hAmp : vAmp) = anyFloat(random);
                    break;
                case 1:  // frequencies whose arguments pass the double sine's range
                    vFreq = 4096.0f / float(1 + random() % uint64_t(layerWidth)) * (random() % 2 ? 1.0f : 0.999f);
                    hFreq = 4096.0f / float(1 + random() % uint64_t(layerHeight)) * (random() % 2 ? 1.0f : 1.001f);
                    break;
                case 2: case 3: {  // one column's sum next to a rounding boundary
                    const int32_t x = int32_t(random() % uint64_t(layerWidth)), y = int32_t(random() % uint64_t(layerHeight));
                    vAmp = amplitudeNearMidpoint(vFreq, x, double(y), random);
                    break;
                }
                default: {  // one row's offset next to a rounding boundary
                    const int32_t y = int32_t(random() % uint64_t(layerHeight));
                    hAmp = amplitudeNearMidpoint(hFreq, y, 0.0, random);
                    break;
                }
            }
            distortref::sineDistort(0, 1, hFreq, hAmp, vFreq, vAmp);
            sineDistort(0, 2, hFreq, hAmp, vFreq, vAmp);
            if (!sameLayers(1, 2)) {
                std::fprintf(stderr, "sineDistort differs: %dx%d arguments %a %a %a %a\n", layerWidth, layerHeight,
                             hFreq, hAmp, vFreq, vAmp);
                return false;
            }
            done += double(layerPixels());
        }
        freeLayers();
    }
    return true;
}

// mapDistort's offsets are exact in double for finite scales: random and
// hostile scales on random maps.
bool compareMapDistort(double evaluations, std::mt19937_64& random) {
    for (double done = 0; done < evaluations;) {
        initLayers(int32_t(1) << (random() % 10), int32_t(1) << (random() % 10));
        textest::fillNoise(0, uint32_t(random()));
        textest::fillNoise(3, uint32_t(random()));
        for (int k = 0; k < 16 && done < evaluations; ++k) {
            float scaleX = std::ldexp(float(int32_t(random() % 20000) - 10000) / 10000.0f, int(random() % 12) - 6);
            float scaleY = std::ldexp(float(int32_t(random() % 20000) - 10000) / 10000.0f, int(random() % 12) - 6);
            if (random() % 4 == 0) (random() % 2 ? scaleX : scaleY) = anyFloat(random);
            distortref::mapDistort(0, 3, 1, scaleX, scaleY);
            mapDistort(0, 3, 2, scaleX, scaleY);
            if (!sameLayers(1, 2)) {
                std::fprintf(stderr, "mapDistort differs: %dx%d scales %a %a\n", layerWidth, layerHeight, scaleX, scaleY);
                return false;
            }
            done += double(layerPixels());
        }
        freeLayers();
    }
    return true;
}

// logPolLayer has no arguments but the layer's shape: every shape from 1x1 to
// 1024x1024 (the coordinates of larger ones are the same formulas at more
// angles and radii).
bool compareLogPol() {
    for (int32_t w = 1; w <= 1024; w *= 2)
        for (int32_t h = 1; h <= 1024; h *= 2) {
            initLayers(w, h);
            textest::fillNoise(0, uint32_t(w * 7 + h));
            distortref::logPolLayer(0, 1);
            logPolLayer(0, 2);
            if (!sameLayers(1, 2)) {
                std::fprintf(stderr, "logPolLayer differs: %dx%d\n", w, h);
                return false;
            }
            freeLayers();
        }
    return true;
}

// twirlLayer over random shapes and twists: ordinary ones, hostile values, and
// strengths that turn one pixel by nearly a multiple of pi/2, where the
// rotated coordinates land a hair from whole numbers.
bool compareTwirl(double evaluations, std::mt19937_64& random) {
    for (double done = 0; done < evaluations;) {
        initLayers(int32_t(1) << (random() % 10), int32_t(1) << (random() % 10));
        textest::fillNoise(0, uint32_t(random()));
        const int32_t cx = layerWidth / 2, cy = layerHeight / 2;
        for (int k = 0; k < 16 && done < evaluations; ++k) {
            float strength = std::ldexp(float(int32_t(random() % 20000) - 10000) / 100.0f, int(random() % 8) - 4);
            float scale = std::ldexp(float(1 + random() % 10000) / 100.0f, int(random() % 8) - 4);
            switch (random() % 4) {
                case 0: (random() % 2 ? strength : scale) = anyFloat(random); break;
                case 1: {
                    const double dx = double(int64_t(random() % uint64_t(layerWidth)) - cx);
                    const double dy = double(int64_t(random() % uint64_t(layerHeight)) - cy);
                    const double d = double(cx) - std::sqrt(dx * dx + dy * dy);
                    const double twist = 1.0 / (std::sqrt(2.0 * layerWidth * layerHeight) * scale);
                    if (d > 0.5) strength = jitter(float(1.5707963267948966 * double(1 + random() % 8) / (d * d * twist)), random);
                    break;
                }
                default: break;
            }
            distortref::twirlLayer(0, 1, strength, scale);
            twirlLayer(0, 2, strength, scale);
            if (!sameLayers(1, 2)) {
                std::fprintf(stderr, "twirlLayer differs: %dx%d arguments %a %a\n", layerWidth, layerHeight, strength,
                             scale);
                return false;
            }
            done += double(layerPixels());
        }
        freeLayers();
    }
    return true;
}

// tunnelDistort over random shapes (odd sides too) and depths: ordinary
// ones, hostile values, and whole numbers and powers of two, whose source
// rows |cos(angle) * depth / dx| land on or next to float32 values.
bool compareTunnel(double evaluations, std::mt19937_64& random) {
    for (double done = 0; done < evaluations;) {
        const auto side = [&] { return random() % 2 ? int32_t(1) << (random() % 11) : int32_t(1 + random() % 1024); };
        initLayers(side(), side());
        textest::fillNoise(0, uint32_t(random()));
        for (int k = 0; k < 8 && done < evaluations; ++k) {
            float depth = std::ldexp(float(int32_t(random() % 20000) - 10000) / 100.0f, int(random() % 24) - 6);
            switch (random() % 5) {
                case 0: depth = anyFloat(random); break;
                case 1: depth = random() % 2 ? float(1 + random() % 65536) : std::ldexp(1.0f, int(random() % 40) - 10); break;
                default: break;
            }
            distortref::tunnelDistort(0, 1, depth);
            tunnelDistort(0, 2, depth);
            if (!sameLayers(1, 2)) {
                std::fprintf(stderr, "tunnelDistort differs: %dx%d depth %a\n", layerWidth, layerHeight, depth);
                return false;
            }
            done += double(layerPixels());
        }
        freeLayers();
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    double evaluations = 1e8;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--evaluations" && i + 1 < argc) {
            evaluations = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: fast_paths_compare [--evaluations N]\n");
            return 2;
        }
    }
    std::mt19937_64 random(20261209);
    const bool ok = compareParticle(evaluations, random) && compareSinePlasma(evaluations, random) &&
                    compareCosineWeights(evaluations) && compareMakeTilable(evaluations, random) &&
                    compareSineDistort(evaluations, random) && compareMapDistort(evaluations, random) &&
                    compareTwirl(evaluations, random) && compareTunnel(evaluations, random) &&
                    (evaluations < 1e7 || compareLogPol());
    if (ok)
        std::printf("particle, sinePlasma, subPlasma's weights, makeTilable, sineDistort, mapDistort, twirlLayer and "
                    "tunnelDistort: "
                    "%.3g evaluations each%s, no difference\n",
                    evaluations,
                    evaluations < 1e7 ? "" : "; logPolLayer: every shape up to 1024x1024");
    return ok ? 0 : 1;
}
