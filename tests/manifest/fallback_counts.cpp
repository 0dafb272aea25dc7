// How often the engine's double evaluations leave a result to the extended
// form, per operation: over the hash manifest's ordinary documents (the
// shipped one and the examples), over its random documents and fuzz seeds
// (which hold extreme values on purpose), and over every operation with
// hostile values in each slot in turn (the extreme-argument set), which must
// also return in bounded time.
// Built against the counting copy of the engine (TEX_COUNT_FALLBACKS).
//
//   fallback_counts SOURCE_DIR [--limit PERCENT]
//
// Prints one line per operation that decided anything; exits 1 when an
// operation falls back on more than PERCENT (default 1) of its decisions
// over the ordinary documents, or a hostile call takes longer than 5 s.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/numeric/decide.h"
#include "engine/operations.h"
#include "extremes.h"
#include "manifest_documents.h"

using namespace textest;
using tex::numeric::DecisionCount;

namespace {

struct Counts {
    DecisionCount ordinary, random, hostile;
    double slowestCall = 0;  // seconds, hostile
};

enum Kind { ORDINARY, RANDOM, HOSTILE };

void collect(Counts* rows, Kind kind) {
    for (int32_t k = 0; k < tex::operationCount(); ++k) {
        const tex::OperationInfo& row = tex::operationTable()[k];
        const DecisionCount c = tex::numeric::countedDecisions(row.opcode);
        DecisionCount& into = kind == HOSTILE ? rows[k].hostile : kind == RANDOM ? rows[k].random : rows[k].ordinary;
        into.decisions += c.decisions;
        into.fallbacks += c.fallbacks;
    }
    tex::numeric::clearDecisionCounts();
}

double percent(const DecisionCount& c) { return c.decisions ? 100.0 * double(c.fallbacks) / double(c.decisions) : 0.0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--limit") == 0)) {
        std::fprintf(stderr, "usage: fallback_counts SOURCE_DIR [--limit PERCENT]\n");
        return 2;
    }
    const double limit = argc == 4 ? std::atof(argv[3]) : 1.0;
    static Counts rows[256];
    try {
        tex::numeric::clearDecisionCounts();
        // The shipped document and the examples are ordinary documents; the
        // random ones and the fuzz seeds hold extreme values on purpose.
        for (const Entry& entry : manifestEntries(argv[1])) {
            if (entry.keepLook) continue;  // the same operations again, on scaled arguments
            texlisting::replayDocument(loadEntry(argv[1], entry.name), entry.width, entry.height);
            tex::freeLayers();
            const bool ordinary = entry.name.rfind("data/", 0) == 0 || entry.name.rfind("docs/", 0) == 0;
            collect(rows, ordinary ? ORDINARY : RANDOM);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "fallback_counts: %s\n", error.what());
        return 1;
    }
    // Hostile values, one slot at a time, on a 256 by 256 engine.
    tex::initLayers(256, 256);
    for (int32_t k = 0; k < tex::operationCount(); ++k) {
        const tex::OperationInfo& row = tex::operationTable()[k];
        for (int slot = 0; slot < 10; ++slot)
            for (float value : EXTREME_VALUES) {
                float params[10];
                ordinaryRecord(row, params);
                params[slot] = value;
                tex::randomSeed = 0;
                const auto start = std::chrono::steady_clock::now();
                tex::runOperation(row.opcode, params);
                const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                rows[k].slowestCall = std::max(rows[k].slowestCall, seconds);
            }
        collect(rows, HOSTILE);
    }
    tex::freeLayers();

    int failures = 0;
    std::printf("%-20s %11s %9s %8s  %11s %9s %8s  %11s %9s %8s %9s\n", "operation", "ordinary", "fallbacks",
                "rate", "random", "fallbacks", "rate", "hostile", "fallbacks", "rate", "slowest");
    for (int32_t k = 0; k < tex::operationCount(); ++k) {
        const Counts& c = rows[k];
        if (!c.ordinary.decisions && !c.random.decisions && !c.hostile.decisions) continue;
        const bool tooMany = percent(c.ordinary) > limit, tooSlow = c.slowestCall > 5.0;
        failures += tooMany + tooSlow;
        auto columns = [](const DecisionCount& d) {
            std::printf("  %11llu %9llu %7.3f%%", (unsigned long long)d.decisions, (unsigned long long)d.fallbacks,
                        percent(d));
        };
        std::printf("%-20s", tex::operationTable()[k].name);
        columns(c.ordinary);
        columns(c.random);
        columns(c.hostile);
        std::printf(" %7.1fms%s\n", 1e3 * c.slowestCall, tooMany ? "  TOO MANY" : tooSlow ? "  TOO SLOW" : "");
    }
    const DecisionCount outside = tex::numeric::countedDecisions(-1);
    if (outside.decisions)
        std::printf("outside any record: %llu decisions, %llu fallbacks\n", (unsigned long long)outside.decisions,
                    (unsigned long long)outside.fallbacks);
    return failures ? 1 : 0;
}
