#!/usr/bin/env bash
# Sets up the machine, builds everything and shows the texture of
# data/Testin3.tex. Without a display it renders texture.png instead.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"

if [[ -x build/viewer/fileview && -f data/Testin3.tex ]]; then
  if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
    cd data && exec ../build/viewer/fileview
  fi
  if [[ -x build/tools/texgen/texgen ]]; then
    build/tools/texgen/texgen render data/Testin3.tex -o texture.png
    echo "No display found: wrote the texture to $(pwd)/texture.png"
    exit 0
  fi
fi
echo "Built the engine library (build/engine/libtexengine.a), its tests (build/tests/engine_tests)" \
     "and benchmarks (build/bench/engine_bench); the viewers are not built yet."
