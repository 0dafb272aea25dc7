// The byte-pixel HSV conversions of the HSV operations against rgbToHsv,
// hsvToRgb and wrapHue: every colour, every hue quotient, and more than ten
// million hues and HSV triples of every scale; the block form and its parts
// against the one-pixel form.
#include "engine/colour/hsv.h"
#include "engine/colour/hsv_block.h"
#include "engine/colour/kernels.h"
#include "engine/vectors.h"

#include <cstring>
#include <limits>
#include <random>

#include "colour/colour_reference.h"
#include "test_util.h"

using namespace tex;

namespace {

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A float of any sign and scale, or one of the values where rules change.
float anyFloat(std::mt19937& random) {
    static const float special[] = {0.0f,
                                    -0.0f,
                                    360.0f,
                                    -360.0f,
                                    720.0f,
                                    -1.0f,
                                    359.99997f,
                                    -1e-30f,
                                    1e-45f,
                                    std::numeric_limits<float>::infinity(),
                                    -std::numeric_limits<float>::infinity(),
                                    std::numeric_limits<float>::quiet_NaN(),
                                    134217728.0f,
                                    3e38f};
    switch (random() % 4) {
        case 0:
            return special[random() % (sizeof special / sizeof *special)];
        case 1:
            return std::uniform_real_distribution<float>(-1500.0f, 1500.0f)(random);
        case 2: {
            const float magnitude = std::exp2(std::uniform_real_distribution<float>(-40.0f, 40.0f)(random));
            return random() % 2 ? magnitude : -magnitude;
        }
        default: {
            uint32_t bits = random();
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
    }
}

}  // namespace

TEST(HsvConversion, EveryColourConvertsLikeRgbToHsv) {
    for (uint32_t c = 0; c < (1u << 24); ++c) {
        const Pixel p{uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)};
        float h1, s1, v1, h2, s2, v2;
        rgbToHsv(p.red, p.green, p.blue, h1, s1, v1);
        hsvOfBytes(p, h2, s2, v2);
        ASSERT_TRUE(sameBits(h1, h2) && sameBits(s1, s2) && sameBits(v1, v2)) << p;
    }
}

// The green and blue hue quotients in one float32 division.
TEST(HsvConversion, HueQuotientsWithAnOffsetNeedNoExtendedStep) {
    for (int d = 1; d < 256; ++d)
        for (int x = -d; x <= d; ++x)
            for (int offset : {2, 4}) {
                const float delta = float(d), num = float(x);
                const float extended = float(colourref::LD(num) / delta + offset);
                ASSERT_TRUE(sameBits(extended, (num + float(offset) * delta) / delta)) << x << "/" << d;
            }
}

TEST(HsvConversion, FastWrapEqualsWrapHue) {
    std::mt19937 random(360);
    for (int i = 0; i < 12000000; ++i) {
        const float h = anyFloat(random);
        ASSERT_TRUE(sameBits(wrapHueFast(h), wrapHue(h))) << h;
    }
    for (float h = -721.0f; h < 721.0f; h += 0.015625f) ASSERT_TRUE(sameBits(wrapHueFast(h), wrapHue(h))) << h;
}

// Any triple, as the operations pass it after scaling or offsets: clamps,
// the conversion back and the truncation.
TEST(HsvConversion, BackToBytesEqualsHsvToRgb) {
    std::mt19937 random(255);
    auto plain = [](float h, float s, float v) {
        if (s > 1.0f) s = 1.0f;
        if (s < 0.0f) s = 0.0f;
        if (v > 255.0f) v = 255.0f;
        if (v < 0.0f) v = 0.0f;
        float r, g, b;
        hsvToRgb(h, s, v, r, g, b);
        return Pixel{uint8_t(colourref::trunc32(r)), uint8_t(colourref::trunc32(g)), uint8_t(colourref::trunc32(b))};
    };
    for (int i = 0; i < 12000000; ++i) {
        const float h = anyFloat(random);
        float s = std::uniform_real_distribution<float>(-0.2f, 1.2f)(random);
        float v = std::uniform_real_distribution<float>(-10.0f, 265.0f)(random);
        if (i % 8 == 0) s = anyFloat(random);
        if (i % 8 == 1) v = anyFloat(random);
        if (i % 8 == 2) s = float(random() % 256) / float(1 + random() % 255);  // the quotients rgbToHsv makes
        if (i % 8 == 3) v = float(random() % 256);
        ASSERT_EQ(bytesOfHsv(h, s, v), plain(h, s, v)) << h << "," << s << "," << v;
    }
}

namespace {

Pixel onePixel(Pixel p, bool scale, float h, float s, float v) {
    float hue, sat, val;
    hsvOfBytes(p, hue, sat, val);
    if (scale)
        hue *= h, sat *= s, val *= v;
    else
        hue += h, sat += s, val += v;
    return bytesOfHsv(hue, sat, val);
}

}  // namespace

// ---- The block form ----------------------------------------------------------

namespace {

// The block forms this machine can run: the baseline one, the pixel-by-pixel
// one, and AVX2 where the processor has it.
std::vector<HsvBlock> blockForms() {
    std::vector<HsvBlock> forms{hsvBlockBaseline(), hsvPixelByPixel()};
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx2) forms.push_back(hsvBlockAvx2());
#endif
    return forms;
}

// Pixels through a block form in blocks of `step` (<= HSV_BLOCK), the lanes
// it leaves through the one-pixel form, as the HSV operations run it.
std::vector<Pixel> throughBlocks(HsvBlock block, const std::vector<Pixel>& in, bool scale, float h, float s, float v,
                                 size_t step = HSV_BLOCK) {
    const HsvChange change{scale, h, s, v, static_cast<double>(SIXTIETH)};
    std::vector<Pixel> out(in.size());
    uint8_t redo[HSV_BLOCK];
    for (size_t i = 0; i < in.size(); i += step) {
        const size_t count = std::min(step, in.size() - i);
        block(reinterpret_cast<const uint8_t*>(&in[i]), reinterpret_cast<uint8_t*>(&out[i]), count, change, redo);
        for (size_t j = 0; j < count; ++j)
            if (redo[j]) out[i + j] = onePixel(in[i + j], scale, h, s, v);
    }
    return out;
}

// One call's random pixels and change of the random-argument tests: pixels
// with a fully saturated blue now and then, a change of any scale (NaN,
// infinities and hues of several turns) or, mostly, of ordinary ones.
struct RandomChange {
    bool scale;
    float h, s, v;
};
RandomChange randomCall(std::mt19937& random, int call, std::vector<Pixel>& in) {
    for (auto& p : in) p = {uint8_t(random()), uint8_t(random()), uint8_t(random() % 3 ? random() : 255)};
    const float h = anyFloat(random),
                s = call % 5 ? std::uniform_real_distribution<float>(-1.5f, 1.5f)(random) : anyFloat(random);
    const float v = call % 7 ? std::uniform_real_distribution<float>(-300.0f, 300.0f)(random) : anyFloat(random);
    return {call % 2 == 0, h, s, v};
}

double asDouble(uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

}  // namespace

// The block form on 512-bit units against the one-pixel form (itself
// checked above) for every colour under several arguments, and against the
// plain conversion through rgbToHsv and hsvToRgb for every colour under
// neutral ones.
TEST(HsvWide, EveryColourMatchesTheOnePixelConversion) {
    colourref::WideUnitsReset reset;
    if (!setWideUnits(true)) GTEST_SKIP() << "no wide units";
    std::vector<Pixel> in(1u << 24);
    for (uint32_t c = 0; c < (1u << 24); ++c) in[c] = {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)};
    const HsvBlock wide = hsvBlockInUse();
    std::vector<Pixel> out = throughBlocks(wide, in, true, 1.0f, 1.0f, 1.0f);
    for (uint32_t c = 0; c < (1u << 24); ++c)
        ASSERT_EQ(out[c], colourref::hsvPixel(in[c], true, 1.0f, 1.0f, 1.0f)) << in[c];
    const float args[][4] = {{1, 1.1f, 0.9f, 1.2f}, {0, 30.0f, 0.1f, -10.0f}, {0, -200.0f, -0.3f, 40.0f},
                             {1, 2.5f, 1.7f, 0.6f}, {0, 359.5f, 0.6f, 0.0f},  {1, 1e-30f, 1e20f, 1.0f}};
    for (const auto& a : args) {
        out = throughBlocks(wide, in, a[0] == 1, a[1], a[2], a[3]);
        for (uint32_t c = 0; c < (1u << 24); ++c)
            ASSERT_EQ(out[c], onePixel(in[c], a[0] == 1, a[1], a[2], a[3]))
                << in[c] << " args " << a[1] << "," << a[2] << "," << a[3];
    }
}

// Over ten million random pixels under random arguments of every scale,
// including NaN, infinities and hues that need several turns.
TEST(HsvWide, RandomArgumentsMatchTheOnePixelConversion) {
    colourref::WideUnitsReset reset;
    if (!setWideUnits(true)) GTEST_SKIP() << "no wide units";
    const HsvBlock wide = hsvBlockInUse();
    std::mt19937 random(77);
    std::vector<Pixel> in(65536);
    for (int call = 0; call < 160; ++call) {
        const auto [scale, h, s, v] = randomCall(random, call, in);
        const std::vector<Pixel> out = throughBlocks(wide, in, scale, h, s, v);
        for (size_t i = 0; i < in.size(); ++i)
            ASSERT_EQ(out[i], onePixel(in[i], scale, h, s, v))
                << in[i] << " " << scale << " " << h << "," << s << "," << v;
    }
}

// The short significand test against the bits themselves.
TEST(HsvBlockParts, ShortSignificandsAreFoundByTheirBits) {
    std::mt19937_64 random(24);
    for (int i = 0; i < 2000000; ++i) {
        const double c = std::uniform_real_distribution<double>(0.0, 1.0)(random);
        uint64_t bits;
        std::memcpy(&bits, &c, sizeof bits);
        const uint64_t cut = bits & ~((uint64_t(1) << (random() % 30)) - 1);  // some of the low bits cleared
        const double shortened = asDouble(cut);
        ASSERT_EQ(shortSignificand(shortened), (cut & 0xFFFFFF) == 0) << shortened;
    }
}

TEST(HsvBlockParts, WrappedHueEqualsWrapHue) {
    std::mt19937 random(720);
    auto check = [](float h) {
        int32_t inRange;
        const float w = wrappedHue<false>(h, inRange);
        const bool expected = std::fabs(h) < 0x1p26f;
        ASSERT_EQ(inRange != 0, expected) << h;
        if (expected) {
            ASSERT_EQ(w, wrapHue(h)) << h;  // the sign of a zero is not kept
        }
        if (h >= -360.0f && h < 720.0f) {
            ASSERT_EQ(wrappedHue<true>(h, inRange), wrapHue(h)) << h;
            ASSERT_EQ(inRange, 1);
        }
    };
    for (int i = 0; i < 8000000; ++i) check(anyFloat(random));
    for (float h = -2000.0f; h < 2000.0f; h += 0.0078125f) check(h);
    for (float edge : {-360.0f, 0.0f, 360.0f, 720.0f}) {
        float below = edge, above = edge;
        for (int step = 0; step < 1000; ++step) {
            check(below = std::nextafter(below, -1e30f));
            check(above = std::nextafter(above, 1e30f));
        }
    }
    for (int k = -200000; k <= 200000; k += k > -30 && k < 30 ? 1 : 997)
        for (int n = -3; n <= 3; ++n) {
            float h = float(360.0 * k);
            for (int step = 0; step < std::abs(n); ++step) h = std::nextafter(h, n < 0 ? -1e30f : 1e30f);
            check(h);
        }
}

// Every colour through each block form under changes that keep s and v
// (p, q and t fall on whole numbers and float midpoints), scale them, and
// wrap the hue across turns; blocks of every length.
TEST(HsvBlock, EveryColourMatchesTheOnePixelConversion) {
    std::vector<Pixel> in(1u << 24);
    for (uint32_t c = 0; c < (1u << 24); ++c) in[c] = {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)};
    // The last three: changes of hue at the ends of those the block wraps in
    // its short form, which take hues to -360 and near 720.
    const float args[][4] = {{0, 30.0f, 0.0f, 0.0f},   {1, 1.1f, 0.9f, 1.2f},     {1, 2.5f, 1.7f, 0.6f},
                             {0, -359.0f, 0.1f, 7.0f}, {0, 359.0f, -0.2f, -3.0f}, {1, -1.0f, 1.0f, 1.0f}};
    std::vector<Pixel> expected(in.size());
    for (size_t a = 0; a < sizeof args / sizeof *args; ++a) {
        const auto& c = args[a];
        for (uint32_t i = 0; i < (1u << 24); ++i) expected[i] = onePixel(in[i], c[0] == 1, c[1], c[2], c[3]);
        for (HsvBlock block : blockForms()) {
            const std::vector<Pixel> out = throughBlocks(block, in, c[0] == 1, c[1], c[2], c[3], HSV_BLOCK - 7 * a);
            for (uint32_t i = 0; i < (1u << 24); ++i)
                ASSERT_EQ(out[i], expected[i]) << in[i] << " args " << c[1] << "," << c[2] << "," << c[3];
        }
    }
}

// Random pixels under random changes of every scale, NaN, infinities and
// hues beyond the block's range included.
TEST(HsvBlock, RandomArgumentsMatchTheOnePixelConversion) {
    std::mt19937 random(64);
    std::vector<Pixel> in(65536);
    for (int call = 0; call < 120; ++call) {
        const auto [scale, h, s, v] = randomCall(random, call, in);
        for (HsvBlock block : blockForms()) {
            const std::vector<Pixel> out = throughBlocks(block, in, scale, h, s, v, 1 + call % HSV_BLOCK);
            for (size_t i = 0; i < in.size(); ++i)
                ASSERT_EQ(out[i], onePixel(in[i], scale, h, s, v))
                    << in[i] << " " << scale << " " << h << "," << s << "," << v;
        }
    }
}
