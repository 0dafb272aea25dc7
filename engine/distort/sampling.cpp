// Storage shared by the distortions' row sampler, and its weight pass.
#include "engine/distort/sampling.h"
#include "engine/numeric/decide.h"

namespace tex::distort {

Pixel blendChannels(const Pixel& t0, const Pixel& t1, const Pixel& t2, const Pixel& t3, float w0, float w1, float w2,
                    float w3) {
    return {blendChannel(t0.red, t1.red, t2.red, t3.red, w0, w1, w2, w3),
            blendChannel(t0.green, t1.green, t2.green, t3.green, w0, w1, w2, w3),
            blendChannel(t0.blue, t1.blue, t2.blue, t3.blue, w0, w1, w2, w3)};
}

namespace {

// The weight pass in three loops, each on one width of lanes (the compilers
// vectorise a loop mixing double and float comparisons poorly or not at all):
// whole parts and fractions; fastWeight's series in double; its rounding
// test. The same series, reflection and bound as fastWeight, so a settled
// weight is fastWeight's, and so the plain weight's. Coordinates beyond the
// int32 range or NaN get the whole part 0 and the fraction 0 here and are
// left open, so that no weight is computed from garbage.
// (fraction, series and open are this thread's, in RowSamples.)

TEX_ALWAYS_INLINE void splitLoop(const float* c, int32_t* whole, float* f, int32_t* left, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const bool inRange = std::fabs(c[i]) < 2147483648.0f;  // false for NaN
        whole[i] = static_cast<int32_t>(inRange ? c[i] : 0.0f);
        const float difference = c[i] - static_cast<float>(whole[i]);
        f[i] = inRange ? difference : 0.0f;
        left[i] = !inRange;
    }
}

TEX_ALWAYS_INLINE void seriesLoop(RowSamples& row, int32_t count) {
    const float* fraction = row.fraction;
    double* series = row.series;
    for (int32_t i = 0; i < count; ++i) {
        const double t = std::fabs(static_cast<double>(fraction[i])) * static_cast<double>(PI_F);
        series[i] = weightSeries(t);
    }
}

TEX_ALWAYS_INLINE void testLoop(RowSamples& row, float* weight, int32_t from, int32_t count) {
    const float* fraction = row.fraction;
    const double* series = row.series;
    int32_t* open = row.open;
    for (int32_t i = 0; i < count; ++i) {
        const double w = series[from + i];
        const double bound = weightBound(w);
        const float lo = static_cast<float>(w - bound), hi = static_cast<float>(w + bound);
        const bool zero = fraction[from + i] == 0.0f;  // cos 0 is exactly 1: weight 0
        weight[i] = zero ? 0.0f : lo;
        open[from + i] |= int32_t(!(zero | (lo == hi)));
    }
}

TEX_ALWAYS_INLINE void weighLoops(RowSamples& row, const float* c, int32_t* whole, float* weight, int32_t count) {
    splitLoop(c, whole, row.fraction, row.open, count);
    seriesLoop(row, count);
    testLoop(row, weight, 0, count);
}

TEX_ALWAYS_INLINE void sumLoop(double offset, const double* term, const double* error, float* out, int32_t* open,
                               int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const double v = offset + term[i];
        float f;
        open[i] = !numeric::decideSingle(v, error[i] + std::fabs(v) * 0x1p-52, f);
        out[i] = f;
    }
}

void sumPlain(double offset, const double* term, const double* error, float* out, int32_t* open, int32_t count) {
    sumLoop(offset, term, error, out, open, count);
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION void sumAvx2(double offset, const double* term, const double* error, float* out, int32_t* open,
                               int32_t count) {
    sumLoop(offset, term, error, out, open, count);
}
TEX_AVX512_FUNCTION void sumAvx512(double offset, const double* term, const double* error, float* out,
                                   int32_t* open, int32_t count) {
    sumLoop(offset, term, error, out, open, count);
}
#endif

// The weights' series in double gain most from 64-byte vectors: built for
// AVX-512 too.
void weighPlain(RowSamples& row, const float* c, int32_t* whole, float* weight, int32_t count) {
    weighLoops(row, c, whole, weight, count);
}
#if TEX_X86_VECTORS
TEX_AVX2_FUNCTION void weighAvx2(RowSamples& row, const float* c, int32_t* whole, float* weight, int32_t count) {
    weighLoops(row, c, whole, weight, count);
}
TEX_AVX512_FUNCTION void weighAvx512(RowSamples& row, const float* c, int32_t* whole, float* weight, int32_t count) {
    weighLoops(row, c, whole, weight, count);
}
#endif

}  // namespace

uint32_t decideSums(double offset, const double* term, const double* error, float* out, int32_t* open, int32_t count) {
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx512)
        sumAvx512(offset, term, error, out, open, count);
    else if (vectorUnits() >= VectorUnits::Avx2)
        sumAvx2(offset, term, error, out, open, count);
    else
#endif
        sumPlain(offset, term, error, out, open, count);
    uint32_t left = 0;
    for (int32_t i = 0; i < count; ++i) left += uint32_t(open[i]);
    numeric::countDecisions(uint64_t(count), left);
    return left;
}

void weighCoordinates(RowSamples& row, const float* c, int32_t* whole, float* weight, int32_t from, int32_t count) {
    c += from, whole += from, weight += from;
#if TEX_X86_VECTORS
    if (vectorUnits() >= VectorUnits::Avx512)
        weighAvx512(row, c, whole, weight, count);
    else if (vectorUnits() >= VectorUnits::Avx2)
        weighAvx2(row, c, whole, weight, count);
    else
#endif
        weighPlain(row, c, whole, weight, count);
    const int32_t* open = row.open;
    uint32_t left = 0;
    for (int32_t i = 0; i < count; ++i) left += uint32_t(open[i]);
    numeric::countDecisions(uint64_t(count), left);
    if (!left) return;
    for (int32_t i = 0; i < count; ++i)
        if (open[i]) weighOne(c[i], whole[i], weight[i]);
}

}  // namespace tex::distort
