#!/usr/bin/env bash
# Builds the studio for any browser and the engine as an npm package, with
# Debian's emscripten:
#   build/web/      a static site: the studio's page (the same files as
#                   texgen studio serves), its document session compiled to
#                   WebAssembly in a Web Worker, the operation pictures, a
#                   service worker and an app manifest
#   build/web/js/   the npm package texengine (npm pack works there)
# The WebAssembly is built in build-web/ (TEX_WEB_BUILD to choose another).
#   scripts/web.sh            set up what is missing, then build
#   scripts/web.sh --no-setup build only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
[[ "${1:-}" == "--no-setup" ]] || scripts/setup.sh --web
jobs=$(nproc 2>/dev/null || echo 2)
wasm=${TEX_WEB_BUILD:-build-web}
site=build/web

# Debian's emscripten finds its JavaScript parser among Debian's node modules.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
emcmake cmake -S . -B "$wasm" -DCMAKE_BUILD_TYPE=Release -DTEX_BUILD_WEB=ON -DTEX_BUILD_PROGRAMS=OFF \
    -DTEX_BUILD_TESTS=OFF -DTEX_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$wasm" -j"$jobs" --target texengine_js

version=$(sed -n 's/^project(texengine VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# The npm package.
rm -rf "$site/js"
mkdir -p "$site/js"
cp web/js/index.js web/js/index.d.ts "$wasm"/web/texengine_wasm.mjs "$wasm"/web/texengine_wasm.wasm "$site/js/"
sed "s/@PROJECT_VERSION@/$version/" web/js/package.json.in > "$site/js/package.json"
cp web/js/README.md "$site/js/README.md"

echo "web: built $root/$site/js (the npm package texengine $version)"
