// Work on several threads: the shipped texture at each size with 1 and 2
// threads (and more, oversubscribed where the machine has fewer cores), and
// the PNG encoder against libpng's, whose speed texgen render had before.
// scripts/thread-scaling.sh runs these and the per-operation benchmarks with
// TEX_THREADS=1 and 2 and prints the ratios.
#include <png.h>

#include <string>

#include "bench_util.h"
#include "engine/threads.h"
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

}  // namespace
