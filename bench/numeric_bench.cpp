// The numeric layer: the engine's sine, cosine, arc tangent and exponential
// in both forms of the extended type, beside the C library's long double ones
// (where long double is the x87's), and SoftExt's basic operations. Each
// benchmark runs over 256 arguments of the ranges the engine uses.
#include <benchmark/benchmark.h>

#include <cmath>

#include "engine/numeric/atan.h"
#include "engine/numeric/exp.h"
#include "engine/numeric/sincos.h"

namespace {

using tex::SoftExt;

// Arguments: sines and cosines of angles up to a few thousand, arc tangents
// of gradient ratios, exponentials of a few units.
template <typename T>
const T* arguments(int function) {
    static T values[4][256];
    static bool ready = false;
    if (!ready) {
        for (int i = 0; i < 256; ++i) {
            const double u = (i * 0.6180339887498949) - int(i * 0.6180339887498949);
            values[0][i] = values[1][i] = T((u - 0.5) * 8000.0);
            values[2][i] = T(double(i - 128) / double((i * 37) % 255 + 1));
            values[3][i] = T(u * 12.0 - 2.0);
        }
        ready = true;
    }
    return values[function];
}

template <typename T, T (*F)(T), int Function>
void BM_Function(benchmark::State& state) {
    const T* x = arguments<T>(Function);
    for (auto _ : state) {
        for (int i = 0; i < 256; ++i) {
            T v = F(x[i]);
            benchmark::DoNotOptimize(v);
        }
    }
    state.SetItemsProcessed(state.iterations() * 256);
}

#define TEX_FUNCTION_BENCH(T, name, f, k) \
    BENCHMARK_TEMPLATE(BM_Function, T, f<T>, k)->Name("BM_Numeric" #name "/" #T)

TEX_FUNCTION_BENCH(SoftExt, Sin, tex::numeric::sine, 0);
TEX_FUNCTION_BENCH(SoftExt, Cos, tex::numeric::cosine, 1);
TEX_FUNCTION_BENCH(SoftExt, Atan, tex::numeric::arcTangent, 2);
TEX_FUNCTION_BENCH(SoftExt, Exp, tex::numeric::exponential, 3);

#if TEX_HAVE_X87
using LongDouble = long double;
long double librarySin(long double x) { return sinl(x); }
long double libraryCos(long double x) { return cosl(x); }
long double libraryAtan(long double x) { return atanl(x); }
long double libraryExp(long double x) { return expl(x); }
TEX_FUNCTION_BENCH(LongDouble, Sin, tex::numeric::sine, 0);
TEX_FUNCTION_BENCH(LongDouble, Cos, tex::numeric::cosine, 1);
TEX_FUNCTION_BENCH(LongDouble, Atan, tex::numeric::arcTangent, 2);
TEX_FUNCTION_BENCH(LongDouble, Exp, tex::numeric::exponential, 3);
BENCHMARK_TEMPLATE(BM_Function, long double, librarySin, 0)->Name("BM_NumericSin/library");
BENCHMARK_TEMPLATE(BM_Function, long double, libraryCos, 1)->Name("BM_NumericCos/library");
BENCHMARK_TEMPLATE(BM_Function, long double, libraryAtan, 2)->Name("BM_NumericAtan/library");
BENCHMARK_TEMPLATE(BM_Function, long double, libraryExp, 3)->Name("BM_NumericExp/library");
#endif

// SoftExt's operations on pairs of the arguments above.
template <int Op>
void BM_SoftExtOperation(benchmark::State& state) {
    const SoftExt* x = arguments<SoftExt>(0);
    const SoftExt* y = arguments<SoftExt>(2);
    for (auto _ : state) {
        for (int i = 0; i < 256; ++i) {
            SoftExt v;
            switch (Op) {
                case 0: v = x[i] + y[i]; break;
                case 1: v = x[i] * y[i]; break;
                case 2: v = x[i] / y[i]; break;
                case 3: v = tex::softSqrt(x[i]); break;
                case 4: v = SoftExt(static_cast<float>(x[i])); break;
                default: v = SoftExt(static_cast<int32_t>(y[i]) + (x[i] < y[i])); break;
            }
            benchmark::DoNotOptimize(v);
        }
    }
    state.SetItemsProcessed(state.iterations() * 256);
}
BENCHMARK_TEMPLATE(BM_SoftExtOperation, 0)->Name("BM_NumericSoftExt/add");
BENCHMARK_TEMPLATE(BM_SoftExtOperation, 1)->Name("BM_NumericSoftExt/multiply");
BENCHMARK_TEMPLATE(BM_SoftExtOperation, 2)->Name("BM_NumericSoftExt/divide");
BENCHMARK_TEMPLATE(BM_SoftExtOperation, 3)->Name("BM_NumericSoftExt/sqrt");
BENCHMARK_TEMPLATE(BM_SoftExtOperation, 4)->Name("BM_NumericSoftExt/to_float_and_back");
BENCHMARK_TEMPLATE(BM_SoftExtOperation, 5)->Name("BM_NumericSoftExt/to_int_compare_from_int");

}  // namespace
