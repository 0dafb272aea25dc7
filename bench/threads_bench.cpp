// Work on several threads: the shipped texture at each size with 1 and 2
// threads (and more, oversubscribed where the machine has fewer cores), and
// the PNG encoder against libpng's, whose speed texgen render had before;
// and every operation's and the texture's speed-up on 2, 4, 8 and 16
// threads worked out from the durations of their ranges run one after the
// other (a machine with fewer cores, or a loaded one, cannot show them).
// scripts/thread-scaling.sh runs these and the per-operation benchmarks with
// TEX_THREADS=1 and 2 and prints the ratios.
#include <png.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "bench_util.h"
#include "engine/threads.h"
#include "operation_arguments.h"
#include "tools/listing.h"
#include "tools/texgen.h"

namespace {

texlisting::Document shipped() {
    return texlisting::readDocument(std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex");
}

// Arguments: side, threads.
void BM_ShippedTextureThreads(benchmark::State& state) {
    const texlisting::Document document = shipped();
    const int32_t side = int32_t(state.range(0));
    tex::setThreadCount(int32_t(state.range(1)));
    for (auto _ : state) {
        texlisting::replayDocument(document, side, side);
        benchmark::ClobberMemory();
    }
    tex::freeLayers();
    tex::setThreadCount(0);
    texbench::countPixels(state);
}
BENCHMARK(BM_ShippedTextureThreads)
    ->ArgsProduct({{256, 1024, 2048}, {1, 2, 4}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Layer 4 of the shipped texture at a side, rendered once per size.
const tex::Pixel* shippedLayer(int32_t side) {
    static int32_t renderedSide = 0;
    static std::string pixels;
    if (renderedSide != side) {
        texlisting::replayDocument(shipped(), side, side);
        pixels.assign(reinterpret_cast<const char*>(tex::layers[4]), size_t(side) * side * 3);
        tex::freeLayers();
        renderedSide = side;
    }
    return reinterpret_cast<const tex::Pixel*>(pixels.data());
}

// Arguments: side, threads.
void BM_EncodePng(benchmark::State& state) {
    const int32_t side = int32_t(state.range(0));
    const tex::Pixel* pixels = shippedLayer(side);
    tex::setThreadCount(int32_t(state.range(1)));
    size_t bytes = 0;
    for (auto _ : state) bytes = texgen::encodePng(pixels, side, side).size();
    tex::setThreadCount(0);
    state.counters["file_MB"] = double(bytes) / 1e6;
}
BENCHMARK(BM_EncodePng)->ArgsProduct({{1024, 8192}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
}

// libpng with its default filters and compression, row by row, as texgen
// render wrote its files before.
void BM_EncodePngLibpng(benchmark::State& state) {
    const int32_t side = int32_t(state.range(0));
    const tex::Pixel* pixels = shippedLayer(side);
    size_t bytes = 0;
    for (auto _ : state) {
        std::string out;
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        if (setjmp(png_jmpbuf(png))) {
            state.SkipWithError("libpng failed");
            break;
        }
        png_set_write_fn(png, &out, appendBytes, nullptr);
        png_set_IHDR(png, info, png_uint_32(side), png_uint_32(side), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int32_t y = 0; y < side; ++y)
            png_write_row(png, reinterpret_cast<png_const_bytep>(pixels + size_t(y) * size_t(side)));
        png_write_end(png, nullptr);
        png_destroy_write_struct(&png, &info);
        bytes = out.size();
    }
    state.counters["file_MB"] = double(bytes) / 1e6;
}
BENCHMARK(BM_EncodePngLibpng)->Arg(1024)->Arg(8192)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- Scaling worked out from range durations -------------------------------

// The ranges of each split of one call, in order.
std::vector<std::vector<double>> splits;
void collectRange(int32_t piece, int32_t, double seconds) {
    if (piece == 0) splits.emplace_back();
    splits.back().push_back(seconds);
}

double secondsOf(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The time of one split on `threads` threads: its ranges handed out in
// order to whichever thread is free first.
double scheduled(const std::vector<double>& ranges, int32_t threads) {
    std::vector<double> free(size_t(threads), 0.0);
    for (const double r : ranges) *std::min_element(free.begin(), free.end()) += r;
    return *std::max_element(free.begin(), free.end());
}

// Counters x2 .. x16: the speed-up over one thread of `work`, the best of a
// few runs each. A run with ranges timed one by one (rangeClock) counts its
// unsplit part as measured and each split as scheduled.
void reportScaling(benchmark::State& state, const std::function<void()>& work) {
    constexpr int RUNS = 3;
    double one = 1e30;
    tex::setThreadCount(1);
    for (int run = 0; run < RUNS; ++run) one = std::min(one, secondsOf(work));
    for (const int32_t threads : {2, 4, 8, 16}) {
        tex::setThreadCount(threads);
        double best = 1e30;
        tex::rangeClock = collectRange;
        for (int run = 0; run < RUNS; ++run) {
            splits.clear();
            const double total = secondsOf(work);
            double simulated = total;
            for (const auto& ranges : splits) {
                for (const double r : ranges) simulated -= r;
                simulated += scheduled(ranges, threads);
            }
            best = std::min(best, simulated);
        }
        tex::rangeClock = nullptr;
        state.counters["x" + std::to_string(threads)] = one / best;
    }
    state.counters["ms1"] = one * 1e3;
    tex::setThreadCount(0);
}

// Argument: opcode; at 1024x1024, from layers 1 and 2 into layer 3.
void BM_OperationScalingWorkedOut(benchmark::State& state) {
    const tex::OperationInfo* op = tex::findOperation(int32_t(state.range(0)));
    state.SetLabel(op->name);
    const auto p = textest::argumentsFor(*op, 0.5f, 3);
    texbench::prepareLayers(1024);
    for (auto _ : state) reportScaling(state, [&] { tex::runOperation(op->opcode, p.data()); });
    tex::freeLayers();
}
BENCHMARK(BM_OperationScalingWorkedOut)
    ->Apply([](benchmark::internal::Benchmark* b) {
        for (int32_t i = 0; i < tex::operationCount(); ++i) b->Arg(tex::operationTable()[i].opcode);
    })
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Argument: side.
void BM_ShippedTextureScalingWorkedOut(benchmark::State& state) {
    const texlisting::Document document = shipped();
    const int32_t side = int32_t(state.range(0));
    for (auto _ : state)
        reportScaling(state, [&] { texlisting::replayDocument(document, side, side); });
    tex::freeLayers();
}
BENCHMARK(BM_ShippedTextureScalingWorkedOut)->Arg(256)->Arg(1024)->Arg(2048)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
