#!/usr/bin/env bash
# Builds the studio for any browser and the engine as an npm package, with
# Debian's emscripten:
#   build/web/      a static site: the studio's page (the same files as
#                   texgen studio serves), its document session compiled to
#                   WebAssembly in a Web Worker, the operation pictures, a
#                   service worker and an app manifest
#   build/web/js/   the npm package texengine (npm pack works there)
# The WebAssembly is built in build-web/ (TEX_WEB_BUILD to choose another);
# the session once more with threads, for cross-origin isolated pages, in
# build-web-threads/ (TEX_WEB_THREADS_BUILD). The npm package has one thread.
#   scripts/web.sh            set up what is missing, then build
#   scripts/web.sh --no-setup build only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
[[ "${1:-}" == "--no-setup" ]] || scripts/setup.sh --web
jobs=$(nproc 2>/dev/null || echo 2)
wasm=${TEX_WEB_BUILD:-build-web}
threads=${TEX_WEB_THREADS_BUILD:-build-web-threads}
site=build/web

# Debian's emscripten finds its JavaScript parser among Debian's node modules.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
emcmake cmake -S . -B "$wasm" -DCMAKE_BUILD_TYPE=Release -DTEX_BUILD_WEB=ON -DTEX_BUILD_PROGRAMS=OFF \
    -DTEX_BUILD_TESTS=OFF -DTEX_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$wasm" -j"$jobs" --target texengine_js studio_worker
emcmake cmake -S . -B "$threads" -DCMAKE_BUILD_TYPE=Release -DTEX_BUILD_WEB=ON -DTEX_WASM_THREADS=ON \
    -DTEX_BUILD_PROGRAMS=OFF -DTEX_BUILD_TESTS=OFF -DTEX_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$threads" -j"$jobs" --target studio_worker

version=$(sed -n 's/^project(texengine VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# The npm package.
rm -rf "$site/js"
mkdir -p "$site/js"
cp web/js/index.js web/js/index.d.ts "$wasm"/web/texengine_wasm.mjs "$wasm"/web/texengine_wasm.wasm "$site/js/"
sed "s/@PROJECT_VERSION@/$version/" web/js/package.json.in > "$site/js/package.json"
cp web/js/README.md "$site/js/README.md"

# The site: the studio's page files as texgen serves them, marked as the web
# studio and given the app manifest and a policy that loads nothing from
# anywhere else, and the script that reloads a first visit once the service
# worker can make it cross-origin isolated; the session's worker and its
# modules (with threads: the module, its .wasm and its threads' worker
# script); the operation pictures;
# the service worker with the list of what it keeps.
find "$site" -mindepth 1 -maxdepth 1 ! -name js -exec rm -rf {} +
cp tools/studio/page/*.js tools/studio/page/*.css "$site/"
policy="default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; connect-src 'self'; \
worker-src 'self'; manifest-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'"
head='<meta name="texture-studio" content="web">\
<meta http-equiv="Content-Security-Policy" content="'"$policy"'">\
<meta name="theme-color" content="#1d1d1d">\
<link rel="manifest" href="manifest.webmanifest">\
<script src="isolate.js"></script>'
sed "s|^<meta charset=\"utf-8\">\$|&\\
$head|" tools/studio/page/index.html > "$site/index.html"
grep -q 'name="texture-studio"' "$site/index.html" || { echo "web: index.html has no <meta charset> line to mark" >&2; exit 1; }
cp web/worker.js web/png.js web/isolate.js web/manifest.webmanifest "$wasm"/web/studio_wasm.mjs "$wasm"/web/studio_wasm.wasm \
    "$threads"/web/studio_wasm_threads.mjs "$threads"/web/studio_wasm_threads.wasm "$threads"/web/studio_wasm_threads.worker.js \
    "$site/"
mkdir -p "$site/pictures" "$site/gallery" "$site/docs"
cp docs/examples/*.png "$site/pictures/"
cp data/gallery/*.png "$site/gallery/"
cp docs/operations.md "$site/docs/"
node web/make-icon.mjs "$site/js" data/Testin3.tex "$site/icon.png" 256

# The threaded session is kept when an isolated page first loads it, not on
# install, which the first visit (not yet isolated) pays for.
files=$(cd "$site" && find . -maxdepth 1 -type f ! -name sw.js ! -name 'studio_wasm_threads*' -printf '"%f", ' | sort)
stamp=$(cd "$site" && cat $(find . -maxdepth 1 -type f | sort) | sha256sum | cut -c1-16)
sed -e "s|@VERSION@|texture-studio-$stamp|" -e "s|@FILES@|[\"./\", ${files%, }]|" web/sw.js > "$site/sw.js"

echo "web: built $root/$site (serve it, e.g. python3 -m http.server --bind 127.0.0.1 --directory $site 8000)"
echo "web: built $root/$site/js (the npm package texengine $version)"
