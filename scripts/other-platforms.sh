#!/usr/bin/env bash
# Builds the engine for its other platforms and checks that they render the
# same pixels as this machine (the hash manifest and the golden hashes):
#   x86-64 with -mlong-double-64  long double as double (as with MSVC and on
#                                 Apple's arm64), the engine from ISO C++17
#                                 alone (TEX_PLAIN_CXX: no vector code, GNU
#                                 built-ins or 128-bit integers, -pedantic-errors)
#   AArch64                       Debian's cross compiler, run under qemu-user
#   WebAssembly                   Debian's emscripten, run under node; once more
#                                 with pthreads (-DTEX_WASM_THREADS=ON): the
#                                 hash manifest on 2 and 3 threads, and the
#                                 engine when the workers cannot start
# A pass whose tools are missing says so and is skipped (scripts/setup.sh
# installs them). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
common=(-DCMAKE_BUILD_TYPE=Release -DTEX_BUILD_PROGRAMS=OFF -DTEX_BUILD_BENCH=OFF)

run_pass() {  # name, build dir, then cmake's configure command
    local name=$1 dir=$2
    shift 2
    echo "== $name ($((SECONDS / 60)) min in this script)"
    "$@" -S . -B "$dir" "${common[@]}" >/dev/null
    cmake --build "$dir" -j"$jobs" ${targets:+--target $targets}
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" ${tests:+-R "$tests"}
}

run_pass "x86-64, long double of 64 bits, ISO C++ only" build-ld64 \
    cmake -DCMAKE_CXX_FLAGS=-mlong-double-64 -DTEX_PLAIN_CXX=ON

if command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null; then
    run_pass "AArch64 under qemu-user" build-aarch64 \
        cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
else
    echo "== AArch64: SKIPPED (needs g++-aarch64-linux-gnu and qemu-user)"
fi

if command -v emcmake >/dev/null && command -v node >/dev/null; then
    # Debian's emscripten finds its JavaScript parser among Debian's node
    # modules, and would run the tests with a flag today's node refuses.
    NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH} run_pass "WebAssembly under node" build-wasm \
        emcmake cmake -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v node)"
    NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH} targets="hash_manifest thread_fallback" \
        tests="hashes.manifest|threads.fallback" run_pass "WebAssembly with pthreads under node" build-wasm-threads \
        emcmake cmake -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v node)" -DTEX_WASM_THREADS=ON
else
    echo "== WebAssembly: SKIPPED (needs emscripten and node)"
fi
