// SoftExt: bit for bit against the x87 on random values of every class (where
// the x87 exists), and the results that must hold on every platform.
#include <gtest/gtest.h>

#include "engine/numeric/ext.h"
#include "tests/numeric/x87_compare.h"

namespace {

using tex::SoftExt;
using textest::Bits;

SoftExt bits(uint16_t se, uint64_t m) { return SoftExt::fromBits(se, m); }
void expectBits(SoftExt v, uint16_t se, uint64_t m) {
    EXPECT_EQ(v.signExponent(), se);
    EXPECT_EQ(v.significand(), m) << std::hex << v.significand() << " vs " << m;
}

// About 10^7 operations in all, spread over the kinds (under a second, and
// not much more under the sanitizers).
TEST(SoftExtAgainstX87, EveryKindOfOperationGivesTheSameBits) {
#if TEX_HAVE_X87
    const uint64_t perKind = 10000000 / std::size(textest::ALL_OP_KINDS);
    for (const textest::OpKind kind : textest::ALL_OP_KINDS) {
        const textest::CompareResult r = textest::compareWithX87(kind, perKind, 1);
        EXPECT_EQ(r.mismatches, 0u) << textest::opName(kind) << ": " << r.first;
    }
#else
    GTEST_SKIP() << "no x87 long double on this platform";
#endif
}

TEST(SoftExt, InvalidOperationsGiveTheDefaultNaN) {
    const SoftExt inf = bits(0x7FFF, 1ull << 63), zero = 0;
    for (const SoftExt v : {inf - inf, -inf + inf, zero * inf, inf * -zero, zero / zero, inf / inf,
                            tex::softSqrt(SoftExt(-1)), tex::softSqrt(-inf)})
        expectBits(v, 0xFFFF, 0xC000000000000000ull);
    expectBits(SoftExt(1) / -zero, 0xFFFF, 1ull << 63);
    expectBits(tex::softSqrt(-zero), 0x8000, 0);
}

TEST(SoftExt, NaNPropagation) {
    const SoftExt quiet = bits(0x7FFF, 0xC000000000000005ull), signalling = bits(0xFFFF, 0x8000000000000009ull);
    expectBits(signalling + 1, 0xFFFF, 0xC000000000000009ull);  // quieted, payload kept
    expectBits(signalling * quiet, 0x7FFF, 0xC000000000000005ull);  // quiet wins
    expectBits(quiet / bits(0xFFFF, 0xC000000000000005ull), 0x7FFF, 0xC000000000000005ull);  // tie: positive
    expectBits(-quiet, 0xFFFF, 0xC000000000000005ull);
    EXPECT_FALSE(quiet == quiet);
    EXPECT_TRUE(quiet != quiet);
    EXPECT_FALSE(quiet < 1 || quiet >= 1);
    // Into float and double: sign and the top payload bits, quiet.
    const float f = static_cast<float>(bits(0xFFFF, 0xA000010000000000ull));
    uint32_t fb;
    std::memcpy(&fb, &f, 4);
    EXPECT_EQ(fb, 0xFFE00001u);
}

TEST(SoftExt, RoundsToNearestTiesToEvenOnce) {
    const SoftExt one = 1, ulp = bits(16383 - 63, 1ull << 63);  // 2^-63
    expectBits(one + ulp / 2, 0x3FFF, 1ull << 63);                 // tie to even: down
    expectBits(one + ulp + ulp / 2, 0x3FFF, (1ull << 63) | 2);     // tie to even: up
    expectBits(one + ulp / 2 + ulp / 4, 0x3FFF, (1ull << 63));     // still below the tie after the first rounding
    // Gradual underflow: half the smallest normal is a subnormal, exactly.
    const SoftExt smallest = bits(1, 1ull << 63);
    expectBits(smallest / 2, 0, 1ull << 62);
    expectBits(bits(0, 1) / 2, 0, 0);          // tie between 0 and the smallest subnormal: to even, 0
    expectBits(bits(0, 3) / 2, 0, 2);          // 1.5 ulps: to even, 2
    expectBits(bits(0, 1ull << 61) * 2, 0, 1ull << 62);  // doubles within the subnormals
    expectBits(bits(0, 1ull << 62) * 2, 1, 1ull << 63);  // and into the normals
    expectBits(bits(0x7FFE, ~0ull) * 2, 0x7FFF, 1ull << 63);  // overflow to infinity
    expectBits(SoftExt(-0.0) + SoftExt(0.0), 0, 0);
    expectBits(SoftExt(-0.0) - SoftExt(0.0), 0x8000, 0);
    expectBits(SoftExt(5) - SoftExt(5), 0, 0);
}

TEST(SoftExt, IntegerConversionsTruncateOrGiveTheIndefinitePattern) {
    EXPECT_EQ(static_cast<int32_t>(SoftExt(-3.9)), -3);
    EXPECT_EQ(static_cast<uint32_t>(SoftExt(-0.9)), 0u);
    EXPECT_EQ(static_cast<int32_t>(SoftExt(2147483648.0)), INT32_MIN);
    EXPECT_EQ(static_cast<int32_t>(SoftExt(-2147483648.5)), INT32_MIN);
    EXPECT_EQ(static_cast<int32_t>(SoftExt(-2147483649.0)), INT32_MIN);
    EXPECT_EQ(static_cast<int64_t>(bits(0x7FFF, 0xC000000000000000ull)), INT64_MIN);
    EXPECT_EQ(static_cast<int64_t>(SoftExt(-9223372036854775807.0 - 1)), INT64_MIN);
    EXPECT_EQ(static_cast<uint64_t>(bits(0x3FFF + 63, ~0ull)), ~0ull);
    EXPECT_EQ(static_cast<uint64_t>(SoftExt(-1)), 1ull << 63);
    EXPECT_EQ(static_cast<uint32_t>(SoftExt(4294967296.0)), 1u << 31);
    EXPECT_EQ(static_cast<uint8_t>(SoftExt(255.9)), 255);
    EXPECT_EQ(static_cast<uint8_t>(SoftExt(256)), 128);
    EXPECT_EQ(static_cast<int16_t>(bits(0xFFFF, 1ull << 63)), INT16_MIN);
    EXPECT_TRUE(static_cast<bool>(SoftExt(0.5)));
    EXPECT_FALSE(static_cast<bool>(SoftExt(-0.0)));
}

// Engine expressions read as they do with long double.
TEST(SoftExt, MixesWithArithmeticTypes) {
    const float f = 0.25f;
    const SoftExt e = SoftExt(f) * 3.14159274101257324f;
    EXPECT_TRUE(3 * e == e * 3u);
    EXPECT_TRUE(e + 1.0 > 1L && e - 1LL < 0ULL);
    EXPECT_TRUE(SoftExt(uint8_t(200)) * 2 >= 255.0);
    EXPECT_EQ(static_cast<double>(SoftExt(0.1)), 0.1);
    EXPECT_EQ(static_cast<float>(SoftExt(0.1f)), 0.1f);
    EXPECT_EQ(static_cast<int64_t>(SoftExt(INT64_MAX)), INT64_MAX);
    EXPECT_EQ(static_cast<uint64_t>(SoftExt(UINT64_MAX)), UINT64_MAX);
    SoftExt sum = 0;
    sum += 2;
    sum *= 3.5;
    sum -= 1.0f;
    sum /= 2;
    EXPECT_EQ(static_cast<double>(sum), 3.0);
}

TEST(Wide, PortableFormsMatchTheCompilers) {
    textest::Random r(7);
    for (int i = 0; i < 200000; ++i) {
        const uint64_t a = r.next() >> r.below(64), b = (r.next() >> r.below(64)) | 1;
        uint64_t h1, l1, h2, l2;
        tex::wide::multiply(a, b, h1, l1);
        tex::wide::portable::multiply(a, b, h2, l2);
        ASSERT_EQ(h1, h2);
        ASSERT_EQ(l1, l2);
        ASSERT_EQ(tex::wide::leadingZeros(b), tex::wide::portable::leadingZeros(b));
        const uint64_t hi = a % b;
        uint64_t r1, r2;
        ASSERT_EQ(tex::wide::divide(hi, l1, b, r1), tex::wide::portable::divide(hi, l1, b, r2)) << a << " " << b;
        ASSERT_EQ(r1, r2);
    }
}

}  // namespace
