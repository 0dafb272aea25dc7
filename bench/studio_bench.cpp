// The studio's edit-to-pixels path on the shipped texture: one argument
// changed through the document session (undo snapshot and recovery file
// included) and the document rendered again through the incremental cache,
// as a slider drag does. Layer 4's last record replays only layer 4's
// program; layer 0's first record replays everything.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tools/studio/folder_storage.h"
#include "tools/studio/render_cache.h"
#include "tools/studio/session.h"

namespace {

namespace fs = std::filesystem;

void editToPixels(benchmark::State& state, int layer, int index, int argument, const char* a, const char* b,
                  bool focused = false) {
    std::string folder = (fs::temp_directory_path() / "texstudio-bench-XXXXXX").string();
    if (!mkdtemp(folder.data())) {
        state.SkipWithError("no temporary folder");
        return;
    }
    fs::copy_file(std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex", folder + "/Testin3.tex");
    {
        studio::FolderStorage storage(folder);
        studio::Session session(storage, "Testin3.tex");
        studio::RenderCache cache;
        const int32_t side = int32_t(state.range(0));
        // Focused: the program is the one the author works in, whose states
        // after its records are kept, as the studio's preview does.
        studio::Replay replay;
        replay.focusLayer = focused ? layer : -1;
        cache.render(session.document(), side, side, {}, replay);
        bool flip = false;
        for (auto _ : state) {
            session.setArgument(session.revision(), layer, index, argument, (flip = !flip) ? a : b, "drag");
            cache.render(session.document(), side, side, {}, replay);
            benchmark::DoNotOptimize(tex::layers[4][0]);
        }
        tex::freeLayers();
    }
    fs::remove_all(folder);
}

// mulLayers(4,3,4,1,1): its first weight.
void BM_StudioEditLayer4Last(benchmark::State& state) { editToPixels(state, 4, 3, 3, "0.9", "1"); }
// perlinNoise(0,64,694787904,...): its persistence.
void BM_StudioEditLayer0First(benchmark::State& state) { editToPixels(state, 0, 0, 4, "120", "121"); }

// twirlLayer(2,2,133,338.98306): its strength, late in layer 2's program.
void BM_StudioEditLayer2Twirl(benchmark::State& state) { editToPixels(state, 2, 4, 2, "120", "133"); }
void BM_StudioEditLayer2TwirlFocused(benchmark::State& state) { editToPixels(state, 2, 4, 2, "120", "133", true); }

// Moving the selection up and down layer 2's program in the view "after
// selected record": each step replays from the nearest kept state.
void BM_StudioStepThroughLayer2(benchmark::State& state) {
    const texlisting::Document document = texlisting::readDocument(std::string(TEX_SOURCE_DIR) + "/data/Testin3.tex");
    studio::RenderCache cache;
    const int32_t side = int32_t(state.range(0));
    studio::Replay replay;
    replay.stopLayer = 2;
    int record = 0, step = 1;
    for (auto _ : state) {
        replay.stopRecord = record;
        cache.render(document, side, side, {}, replay);
        benchmark::DoNotOptimize(tex::layers[2][0]);
        if (record + step < 0 || record + step > 5) step = -step;
        record += step;
    }
    tex::freeLayers();
}

}  // namespace

BENCHMARK(BM_StudioEditLayer2Twirl)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StudioEditLayer2TwirlFocused)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StudioStepThroughLayer2)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StudioEditLayer4Last)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StudioEditLayer0First)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond);
