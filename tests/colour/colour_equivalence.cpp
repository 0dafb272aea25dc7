// The colour and combiner operations' double and float32 paths against the
// plain extended formulas (colour_reference.h), under every set of vector
// units this machine can run (the AVX2 and the baseline builds of the x86
// passes, and the plain word passes), over all inputs where that is feasible:
// - combiners: every byte pair (a 256x256 layer pair), for many weight pairs:
//   random of every scale, powers of two, whole numbers, neighbours of each
//   other, far apart in scale, subnormal and non-finite;
// - scaleLayerRGB, adjustLayerRGB, sineLayerRGB: every byte, for many
//   factors, offsets and frequencies;
// - HSV operations: every colour (2^24 pixels) under each of a set of
//   changes, then random pixels under random changes of every scale.
// Each byte compared counts as one input.
//
//   colour_equivalence [--weights N] [--colours K] [--random R]
//
// Defaults: 1600 weight pairs per combiner (10^8 byte pairs each for the sum),
// the whole colour cube under 8 changes, 10^8 random HSV pixels. ctest runs a
// sample. Exits 1 on the first difference, which it prints.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "colour/colour_reference.h"
#include "engine/colour/hsv.h"
#include "engine/engine.h"

namespace {

using namespace colourref;

struct Random {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t(state >> 32);
    }
    double unit() { return next() * 0x1p-32; }
};

// A weight of the kinds that matter to the decisions and the exact forms.
float weight(Random& r) {
    switch (r.next() % 10) {
        case 0: return std::ldexp(1.0f, int(r.next() % 40) - 20) * (r.next() & 1 ? -1.0f : 1.0f);
        case 1: return float(int(r.next() % 9) - 4);
        case 2: return float(r.next() % 1024) / 256.0f;
        case 3: {  // any finite bit pattern
            uint32_t bits = r.next();
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return std::isfinite(f) ? f : 1.5f;
        }
        case 4: return float(r.unit() * 1e-6);
        case 5: return float(r.unit() * 400.0);
        case 6: {
            const float special[] = {INF, -INF, NaN, 1e-40f, -1e-40f, 0.0f, -0.0f, 3e38f, 1e9f};
            return special[r.next() % 9];
        }
        default: return float(r.unit() * 4.0 - 2.0);
    }
}

uint64_t compared = 0;

bool fail(const std::string& what) {
    std::printf("DIFFERENT: %s\n", what.c_str());
    return false;
}

// Layers 0 and 1 hold every byte pair: pixel (x, y) has all channels x in
// layer 0 and y in layer 1.
void fillPairs() {
    for (int32_t y = 0; y < 256; ++y)
        for (int32_t x = 0; x < 256; ++x) {
            tex::layers[0][y * 256 + x] = {uint8_t(x), uint8_t(x), uint8_t(x)};
            tex::layers[1][y * 256 + x] = {uint8_t(y), uint8_t(y), uint8_t(y)};
        }
}

using Pair = std::function<uint8_t(uint8_t, uint8_t, float, float)>;

bool combiner(const char* name, void (*operation)(int32_t, int32_t, int32_t, float, float), Pair reference,
              float w1, float w2) {
    fillPairs();
    operation(0, 1, 2, w1, w2);
    const uint8_t* out = reinterpret_cast<const uint8_t*>(tex::layers[2]);
    for (int32_t i = 0; i < 65536; ++i) {
        const uint8_t a = uint8_t(i & 255), b = uint8_t(i >> 8), want = reference(a, b, w1, w2);
        for (int c = 0; c < 3; ++c)
            if (out[3 * i + c] != want)
                return fail(std::string(name) + " a=" + std::to_string(a) + " b=" + std::to_string(b) +
                            " w1=" + std::to_string(w1) + " w2=" + std::to_string(w2) + " units=" +
                            tex::vectorUnitsName(tex::vectorUnits()));
    }
    compared += 65536 * 3;
    return true;
}

bool combiners(Random& r, int count) {
    tex::initLayers(256, 256);
    for (int k = 0; k < count; ++k) {
        float w1 = weight(r), w2 = weight(r);
        if (k % 4 == 1) w2 = std::nextafter(w1, INF);  // neighbours
        if (k % 4 == 2) w2 = w1 * float(1 << (r.next() % 31));  // one scale apart, far
        const float k1 = mulFactor(w1, w2);
        if (!combiner("addLayers", tex::addLayers, add, w1, w2) ||
            !combiner("mulLayers", tex::mulLayers, [k1](uint8_t a, uint8_t b, float, float) { return mul(a, b, k1); },
                      w1, w2) ||
            !combiner("minCombineLayers", tex::minCombineLayers, colourref::min, w1, w2) ||
            !combiner("maxCombineLayers", tex::maxCombineLayers, colourref::max, w1, w2) ||
            !combiner("xorLayers", tex::xorLayers, bxor, w1, w2) ||
            !combiner("orLayers", tex::orLayers, bor, w1, w2) ||
            !combiner("andLayers", tex::andLayers, band, w1, w2))
            return false;
    }
    tex::freeLayers();
    return true;
}

// Every byte of a 16x16 layer, per channel, through a per-byte operation.
bool perByte(const char* name, const std::function<void()>& operation, const std::function<uint8_t(uint8_t, int)>& want) {
    for (int32_t i = 0; i < 256; ++i) tex::layers[0][i] = {uint8_t(i), uint8_t(i), uint8_t(i)};
    operation();
    const uint8_t* out = reinterpret_cast<const uint8_t*>(tex::layers[2]);
    for (int32_t i = 0; i < 256; ++i)
        for (int c = 0; c < 3; ++c)
            if (out[3 * i + c] != want(uint8_t(i), c))
                return fail(std::string(name) + " byte=" + std::to_string(i) + " channel=" + std::to_string(c));
    compared += 768;
    return true;
}

bool channels(Random& r, int count) {
    tex::initLayers(16, 16);
    for (int k = 0; k < count * 8; ++k) {
        const float f[3] = {weight(r), weight(r), float(r.unit() * 0.25)};
        const int32_t o[3] = {int32_t(r.next() % 600) - 300, int32_t(r.next()), int32_t(r.next() % 20) - 10};
        if (!perByte("scaleLayerRGB", [&] { tex::scaleLayerRGB(0, 2, f[0], f[1], f[2]); },
                     [&](uint8_t v, int c) { return scaleRGB(v, f[c]); }) ||
            !perByte("adjustLayerRGB", [&] { tex::adjustLayerRGB(0, 2, o[0], o[1], o[2]); },
                     [&](uint8_t v, int c) { return adjustRGB(v, o[c]); }) ||
            !perByte("sineLayerRGB", [&] { tex::sineLayerRGB(0, 2, f[2], f[0] / 64, float(k % 50) / 50); },
                     [&](uint8_t v, int c) { return sine(v, c == 0 ? f[2] : c == 1 ? f[0] / 64 : float(k % 50) / 50); }))
            return false;
    }
    tex::freeLayers();
    return true;
}

bool hsvLayer(bool scale, float h, float s, float v, size_t pixels) {
    if (scale)
        tex::scaleLayerHSV(0, 2, h, s, v);
    else
        tex::adjustLayerHSV(0, 2, h, s, v);
    for (size_t i = 0; i < pixels; ++i) {
        const tex::Pixel p = tex::layers[0][i], got = tex::layers[2][i], want = hsvPixel(p, scale, h, s, v);
        if (got.red != want.red || got.green != want.green || got.blue != want.blue)
            return fail(std::string(scale ? "scaleLayerHSV" : "adjustLayerHSV") + " pixel " + std::to_string(p.red) +
                        "," + std::to_string(p.green) + "," + std::to_string(p.blue) + " args " + std::to_string(h) +
                        " " + std::to_string(s) + " " + std::to_string(v));
    }
    compared += pixels * 3;
    return true;
}

bool hsv(Random& r, int changes, uint64_t randomPixels) {
    struct Change {
        bool scale;
        float h, s, v;
    };
    const Change fixed[] = {{true, 1, 1, 1},       {false, 0, 0, 0},     {false, 30, 0.1f, -10}, {true, 1.1f, 0.9f, 1.2f},
                            {true, 0.5f, 2, 0.5f}, {false, -200, -0.3f, 40}, {true, 7.3f, 1, 1},   {false, 1e9f, 0.5f, 0}};
    // The colour cube in four layers of 2048x2048 (blue in four ranges).
    tex::initLayers(2048, 2048);
    for (int k = 0; k < changes; ++k)
        for (int quarter = 0; quarter < 4; ++quarter) {
            for (uint32_t i = 0; i < 2048u * 2048u; ++i)
                tex::layers[0][i] = {uint8_t(i & 255), uint8_t((i >> 8) & 255), uint8_t((i >> 16) + 64 * quarter)};
            const Change& c = fixed[k % 8];
            if (!hsvLayer(c.scale, c.h, c.s, c.v, 2048u * 2048u)) return false;
        }
    tex::freeLayers();
    // Random pixels under random changes, 2^16 pixels a call.
    tex::initLayers(256, 256);
    for (uint64_t done = 0; done < randomPixels; done += 65536) {
        for (int32_t i = 0; i < 65536; ++i) {
            const uint32_t bits = r.next();
            tex::layers[0][i] = {uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16)};
        }
        const bool scale = r.next() & 1;
        if (!hsvLayer(scale, weight(r) * (scale ? 1.0f : 100.0f), weight(r), weight(r) * (scale ? 1.0f : 100.0f), 65536))
            return false;
    }
    tex::freeLayers();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int weights = 1600, colours = 8;
    double randomPixels = 1e8;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--weights") == 0) weights = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--colours") == 0) colours = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--random") == 0) randomPixels = std::atof(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: colour_equivalence [--weights N] [--colours K] [--random R]\n");
            return 2;
        }
    }
    const tex::VectorUnits widest = tex::vectorUnits();
    for (int level = int(widest); level >= 0; --level) {  // plain too: the word passes
        const tex::VectorUnits units = tex::VectorUnits(level);
        tex::setVectorUnits(units);
        for (bool wide : {true, false}) {  // the 512-bit table passes, where there are any
            if (wide && !tex::setWideUnits(true)) continue;
            tex::setWideUnits(wide);
            Random r{uint64_t(units) * 7919 + wide};
            std::printf("units %s%s: ", tex::vectorUnitsName(tex::vectorUnits()), wide ? " with the 512-bit tables" : "");
            std::fflush(stdout);
            if (!combiners(r, weights) || !channels(r, weights) || !hsv(r, colours, uint64_t(randomPixels))) return 1;
            std::printf("same bytes, %llu compared so far\n", (unsigned long long)compared);
        }
    }
    tex::setVectorUnits(widest);
    tex::setWideUnits(true);
    std::printf("every path gives the bytes of the extended formulas: %llu bytes compared\n",
                (unsigned long long)compared);
    return 0;
}
