// Generators at 256x256 and 2048x2048, beside BM_MemcpyLayer in core_bench.
#include "bench_util.h"

using namespace texbench;


TEX_OPERATION_BENCH(BM_SubPlasma, tex::subPlasma(1, 64, 12345, 256, true));
TEX_OPERATION_BENCH(BM_SubPlasmaStep4, tex::subPlasma(1, 4, 12345, 256, true));
TEX_OPERATION_BENCH(BM_SubPlasmaStep2, tex::subPlasma(1, 2, 12345, 256, true));
TEX_OPERATION_BENCH(BM_SubPlasmaStep16, tex::subPlasma(1, 16, 12345, 256, true));
TEX_OPERATION_BENCH(BM_SinePlasma, tex::sinePlasma(1, 0.05f, 0.11f, 256));
TEX_OPERATION_BENCH(BM_PerlinNoise, tex::perlinNoise(1, 64, 12345, 256, 128, 6, true));
TEX_OPERATION_BENCH(BM_BlobsLayer, tex::blobsLayer(1, 7, 16, true));
TEX_OPERATION_BENCH(BM_CellMachine, tex::cellMachine(1, 5, 30));
TEX_OPERATION_BENCH(BM_MandelBrot, tex::mandelBrot(1, -2.1f, 3.0f, -1.3f, 2.6f, 16.0f));
