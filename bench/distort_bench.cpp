// The distortions at 256x256 and 2048x2048 on fixed noise, reading layer 0
// (map 1) and writing layer 2; compare with BM_MemcpyLayer of the same run.
#include "bench_util.h"

using namespace texbench;


TEX_OPERATION_BENCH(BM_SineDistort, tex::sineDistort(0, 2, 0.05f, 6.0f, 0.08f, 4.0f));
TEX_OPERATION_BENCH(BM_MapDistort, tex::mapDistort(0, 1, 2, 0.05f, -0.03f));
TEX_OPERATION_BENCH(BM_TileLayer, tex::tileLayer(0, 2));
TEX_OPERATION_BENCH(BM_NoiseDistort, tex::noiseDistort(0, 2, 58340664, 7));
TEX_OPERATION_BENCH(BM_MoveDistort, tex::moveDistort(0, 2, 17, -5));
TEX_OPERATION_BENCH(BM_TwirlLayer, tex::twirlLayer(0, 2, 133.0f, 338.98306f));
TEX_OPERATION_BENCH(BM_KaleidLayer, tex::kaleidLayer(0, 2, 3));
TEX_OPERATION_BENCH(BM_TunnelDistort, tex::tunnelDistort(0, 2, 8192.0f));
TEX_OPERATION_BENCH(BM_LogPolLayer, tex::logPolLayer(0, 2));
TEX_OPERATION_BENCH(BM_SculptureLayer, tex::sculptureLayer(0, 2));
TEX_OPERATION_BENCH(BM_ErodeLayer, tex::erodeLayer(0, 2));
TEX_OPERATION_BENCH(BM_DilateLayer, tex::dilateLayer(0, 2));
