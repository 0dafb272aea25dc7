#!/usr/bin/env bash
# The engine's speed in each of its builds on this machine, in one run: the
# shipped texture at 256 and 1024 and the colour operations
# (bench/texture_timing), for
#   default     this machine's vector units, ext = the x87
#   avx2        the same build held to AVX2 (TEX_VECTORS=avx2), what most PCs
#               have; the same as default on a processor without AVX-512
#   sse2        the same build held to SSE2 (TEX_VECTORS=sse2)
#   portable    -mlong-double-64 -DTEX_PLAIN_CXX=ON, as MSVC and Apple arm64 build it
#   wasm        WebAssembly with its 128-bit vectors, under node
#   wasm-novec  WebAssembly without them (-DTEX_WASM_SIMD=OFF)
# and the ratio of each to the default build, all on one thread. The builds take turns, round
# after round, and each figure is the minimum over the rounds, so that a
# machine whose speed drifts slows them alike.
#   scripts/speed-table.sh [rounds]
# BEFORE=DIR adds the default and portable builds of another checkout whose
# build/bench/ and build-ld64-bench/bench/ hold texture_timing (an older
# commit, say, with this texture_timing.cpp copied in).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
jobs=$(nproc 2>/dev/null || echo 2)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
common=(-DCMAKE_BUILD_TYPE=Release -DTEX_BUILD_PROGRAMS=OFF -DTEX_BUILD_TESTS=OFF -DTEX_BUILD_BENCH=ON "${launcher[@]}")

build() {  # dir, then configure command
    local dir=$1
    shift
    mkdir -p "$dir"
    if ! { "$@" -S . -B "$dir" "${common[@]}" && cmake --build "$dir" -j"$jobs" --target texture_timing; } \
        >"$dir/speed-table.log" 2>&1; then
        tail -n 20 "$dir/speed-table.log" >&2
        echo "speed-table: building $dir failed (the whole log is $dir/speed-table.log)" >&2
        exit 1
    fi
}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null  # the usual build, its options kept
cmake --build build -j"$jobs" --target texture_timing >/dev/null
build build-ld64-bench cmake -DCMAKE_CXX_FLAGS=-mlong-double-64 -DTEX_PLAIN_CXX=ON
runs=(default "build/bench/texture_timing" avx2 "env TEX_VECTORS=avx2 build/bench/texture_timing"
      sse2 "env TEX_VECTORS=sse2 build/bench/texture_timing"
      portable "build-ld64-bench/bench/texture_timing")
if command -v emcmake >/dev/null && command -v node >/dev/null; then
    export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
    build build-wasm-bench emcmake cmake
    build build-wasm-novec-bench emcmake cmake -DTEX_WASM_SIMD=OFF
    runs+=(wasm "node build-wasm-bench/bench/texture_timing.js" wasm-novec "node build-wasm-novec-bench/bench/texture_timing.js")
fi
if [[ -n "${BEFORE:-}" ]]; then
    runs+=(before "$BEFORE/build/bench/texture_timing" before-portable "$BEFORE/build-ld64-bench/bench/texture_timing")
fi

# One thread everywhere: the builds compare on equal terms (WebAssembly
# without pthreads has one), and processor time is the time of one core.
export TEX_THREADS=1
out=build/speed-table
rm -rf "$out" && mkdir -p "$out"
for ((round = 0; round < rounds; ++round)); do
    for ((i = 0; i < ${#runs[@]}; i += 2)); do
        ${runs[i + 1]} >>"$out/${runs[i]}.txt"
    done
done

names=()
for ((i = 0; i < ${#runs[@]}; i += 2)); do names+=("${runs[i]}"); done
python3 - "$out" "${names[@]}" <<'PY'
import sys
out, names = sys.argv[1], sys.argv[2:]
best = {}
for name in names:
    for line in open(f"{out}/{name}.txt"):
        what, size, ms = line.split()
        key = (what, int(size))
        best.setdefault(name, {})
        best[name][key] = min(best[name].get(key, 1e30), float(ms))
keys = sorted(best["default"], key=lambda k: (k[0] != "texture", k[1], k[0]))
print(f"{'measurement':<24}" + "".join(f"{n:>16}" for n in names) + "   (ms, and x default)")
for key in keys:
    base = best["default"][key]
    cells = []
    for n in names:
        t = best[n].get(key)
        cells.append(f"{'':>16}" if t is None else f"{t:9.2f} {t / base:5.2f}x")
    print(f"{key[0] + ' ' + str(key[1]):<24}" + "".join(f"{c:>16}" for c in cells))
PY
