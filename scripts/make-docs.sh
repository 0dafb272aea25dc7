#!/usr/bin/env bash
# Regenerates the pictures of docs/operations.md: builds texgen, turns every
# listing docs/examples/NAME.listing into a document and renders its layer 4
# at 128x128 into docs/examples/NAME.png. Stops at the first listing that does
# not build or render and says which one it was.
#   scripts/make-docs.sh            all listings
#   scripts/make-docs.sh NAME ...   only these (e.g. blurLayer twirlLayer)
#   scripts/make-docs.sh --check    only build every listing, write no picture
set -euo pipefail
cd "$(dirname "$0")/.."

check=false
if [[ "${1:-}" == "--check" ]]; then
  check=true
  shift
fi

examples=docs/examples
size=128

if [[ ! -f build/CMakeCache.txt ]]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
if ! cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target texgen >/dev/null; then
  echo "make-docs: texgen does not build (is build/ configured with TEX_BUILD_PROGRAMS=OFF?)" >&2
  exit 1
fi

texgen=""
for candidate in build/tools/texgen build/tools/texgen/texgen; do
  if [[ -f "$candidate" && -x "$candidate" ]]; then
    texgen=$candidate
    break
  fi
done
if [[ -z "$texgen" ]]; then
  echo "make-docs: texgen was built but not found under build/tools" >&2
  exit 1
fi

listings=()
if (($#)); then
  for name in "$@"; do
    name=${name%.listing}
    if [[ ! -f "$examples/$name.listing" ]]; then
      echo "make-docs: no listing $examples/$name.listing" >&2
      exit 1
    fi
    listings+=("$examples/$name.listing")
  done
else
  shopt -s nullglob
  listings=("$examples"/*.listing)
  shopt -u nullglob
  if ((${#listings[@]} == 0)); then
    echo "make-docs: no listings in $examples" >&2
    exit 1
  fi
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for listing in "${listings[@]}"; do
  name=$(basename "$listing" .listing)
  document="$scratch/$name.tex"
  if ! "$texgen" build "$listing" -o "$document"; then
    echo "make-docs: $listing does not build (see the message above)" >&2
    exit 1
  fi
  if $check; then
    continue
  fi
  # Render beside the old picture and move it into place only when it is
  # complete, so a failed render never leaves a broken picture behind.
  picture="$scratch/$name.png"
  if ! "$texgen" render "$document" -o "$picture" --size "$size"; then
    echo "make-docs: $listing builds but does not render (see the message above)" >&2
    exit 1
  fi
  if [[ ! -s "$picture" ]]; then
    echo "make-docs: rendering $listing gave no picture" >&2
    exit 1
  fi
  mv "$picture" "$examples/$name.png"
done

if $check; then
  echo "make-docs: all ${#listings[@]} listings build"
else
  echo "make-docs: rendered ${#listings[@]} pictures into $examples"
fi
