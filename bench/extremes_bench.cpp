// Bounded time under hostile arguments: for every operation, each slot in
// turn takes each extreme value (see tests/extremes.h) on a 256 by 256
// engine; the benchmark then times the slowest of those records and reports
// how many times the ordinary record's cost it is ("ratio").
#include <chrono>
#include <cstring>
#include <string>

#include "bench_util.h"
#include "extremes.h"

using namespace texbench;

namespace {

double secondsOf(int32_t opcode, const float params[10], int repeats) {
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < repeats; ++r) tex::runOperation(opcode, params);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / repeats;
}

void slowestExtreme(benchmark::State& state, int32_t index) {
    const tex::OperationInfo& row = tex::operationTable()[index];
    prepareLayers(256);
    float ordinary[10], slowest[10];
    textest::ordinaryRecord(row, ordinary);
    const double ordinaryTime = secondsOf(row.opcode, ordinary, 5);
    double worst = -1.0;
    for (int slot = 0; slot < 10; ++slot) {
        for (float value : textest::EXTREME_VALUES) {
            float params[10];
            textest::ordinaryRecord(row, params);
            params[slot] = value;
            const double t = secondsOf(row.opcode, params, 1);
            if (t > worst) {
                worst = t;
                std::memcpy(slowest, params, sizeof slowest);
            }
        }
    }
    for (auto _ : state) {
        tex::runOperation(row.opcode, slowest);
        benchmark::ClobberMemory();
    }
    state.counters["ordinary_us"] = ordinaryTime * 1e6;
    // time per iteration / ordinary time, as Google Benchmark computes rates
    state.counters["ratio"] = benchmark::Counter(
        ordinaryTime, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    tex::freeLayers();
}

// Registered at start-up, one benchmark per row of the opcode table.
const bool registered = [] {
    for (int32_t i = 0; i < tex::operationCount(); ++i) {
        const std::string name = std::string("BM_Extremes/") + tex::operationTable()[i].name;
        benchmark::RegisterBenchmark(name.c_str(), slowestExtreme, i)->Unit(benchmark::kMicrosecond);
    }
    return true;
}();

}  // namespace
