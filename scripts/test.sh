#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: the web studio
# and the npm package (scripts/web.sh, tested by the normal build's suite),
# the normal build, then the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the engine's tests and the hash manifest
# under ThreadSanitizer with the work split over several threads, then the
# engine built for its other platforms
# (long double as double, AArch64 under qemu, WebAssembly under node) against
# the same hashes, then each fuzz target for a bounded time
# (TEX_FUZZ_SECONDS, default 60). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
# Each step says how long the command has run, to keep its whole time in view.
step() { echo "== $1 ($((SECONDS / 60)) min in)"; }

scripts/setup.sh

step "build (WebAssembly: the web studio and the npm package)"
scripts/web.sh --no-setup

step "build (release)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
step "tests (release)"
ctest --test-dir build --output-on-failure -j"$jobs"

step "build (sanitizers)"
# Without the Windows programs: they are built by mingw without the
# sanitizers, so the release pass has already built and run them under wine.
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEX_SANITIZE=ON -DTEX_BUILD_BENCH=OFF \
  -DTEX_BUILD_WINDOWS=OFF
cmake --build build-sanitize -j"$jobs"
step "tests (sanitizers)"
ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

step "build (ThreadSanitizer: the engine's tests and the hash manifest)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEX_SANITIZE_THREAD=ON -DTEX_BUILD_BENCH=OFF \
  -DTEX_BUILD_PROGRAMS=OFF
cmake --build build-tsan -j"$jobs" --target engine_tests hash_manifest
step "tests (ThreadSanitizer, 3 threads: more than the cores, on purpose)"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
# Without the formula checks that sweep millions of arguments on one thread
# (they make no threads and take long under ThreadSanitizer).
single_threaded='PlasmaCells.CellRowBlendEqualsTheExtendedFormula:FastTranscendentals.*:BlendWeights.*'
single_threaded+=':NeighbourhoodFilters.VectorKernelsEqualTheLiteralFormulas:FastTwist.*:AllPairs.*:SoftExt*:ExtMath*'
single_threaded+=':SinePlasma.EqualsTheExtendedFormulaOnRandomArguments:Blobs.ShareSumEqualsTheExtendedFormula'
single_threaded+=':FastWeight.*:SampleRowTest.*:HsvConversion.*:HsvBlock.EveryColour*:EveryOperation/ExtremeArguments.*:Numeric*'
TEX_THREADS=3 build-tsan/tests/engine_tests --gtest_brief=1 --gtest_filter="-$single_threaded"
TEX_THREADS=3 build-tsan/tests/manifest/hash_manifest . tests/manifest/hashes.txt
unset TSAN_OPTIONS

scripts/other-platforms.sh

step "fuzzing (about a minute per target)"
scripts/fuzz.sh "${TEX_FUZZ_SECONDS:-60}"

step "all tests passed"
