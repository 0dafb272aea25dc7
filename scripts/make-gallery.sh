#!/usr/bin/env bash
# Regenerates the pictures of the starting documents: builds texgen, renders
# layer 4 of every data/gallery/NAME.listing at 256x256 into
# data/gallery/NAME.png, and puts them side by side, each labelled with the
# title from its listing's first line, into the contact sheet docs/gallery.png
# (ImageMagick's montage). Stops at the first listing without a title or that
# does not render, and says which one it was.
#   scripts/make-gallery.sh            every listing and the contact sheet
#   scripts/make-gallery.sh NAME ...   only these pictures, then the sheet again
set -euo pipefail
cd "$(dirname "$0")/.."

gallery=data/gallery
sheet=docs/gallery.png
size=256
thumbnail=160
columns=8

if ! command -v montage >/dev/null; then
  echo "make-gallery: ImageMagick's montage is missing (scripts/setup.sh installs it)" >&2
  exit 1
fi
if [[ ! -f build/CMakeCache.txt ]]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
if ! cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target texgen >/dev/null; then
  echo "make-gallery: texgen does not build (is build/ configured with TEX_BUILD_PROGRAMS=OFF?)" >&2
  exit 1
fi
texgen=build/tools/texgen
if [[ ! -x "$texgen" ]]; then
  echo "make-gallery: texgen was built but not found at $texgen" >&2
  exit 1
fi

# The title of a listing: its first line, "// Title: TEXT".
title_of() {
  local first
  IFS= read -r first <"$1" || true
  first=${first%$'\r'}
  if [[ "$first" =~ ^//[[:space:]]*Title:[[:space:]]*(.*[^[:space:]])[[:space:]]*$ ]]; then
    printf '%s' "${BASH_REMATCH[1]}"
  else
    return 1
  fi
}

shopt -s nullglob
all=("$gallery"/*.listing)
shopt -u nullglob
if ((${#all[@]} == 0)); then
  echo "make-gallery: no listings in $gallery" >&2
  exit 1
fi
render=("${all[@]}")
if (($#)); then
  render=()
  for name in "$@"; do
    name=${name%.listing}
    if [[ ! -f "$gallery/$name.listing" ]]; then
      echo "make-gallery: no listing $gallery/$name.listing" >&2
      exit 1
    fi
    render+=("$gallery/$name.listing")
  done
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for listing in "${render[@]}"; do
  name=$(basename "$listing" .listing)
  if ! title_of "$listing" >/dev/null; then
    echo "make-gallery: $listing does not begin with a line \"// Title: ...\"" >&2
    exit 1
  fi
  # Render beside the old picture and move it into place only when it is
  # complete, so a failed render never leaves a broken picture behind.
  if ! "$texgen" render "$listing" -o "$scratch/$name.png" --size "$size" >/dev/null; then
    echo "make-gallery: $listing does not render (see the message above)" >&2
    exit 1
  fi
  mv "$scratch/$name.png" "$gallery/$name.png"
done

# The contact sheet, in the order of the file names.
arguments=()
for listing in "${all[@]}"; do
  name=$(basename "$listing" .listing)
  if ! title=$(title_of "$listing"); then
    echo "make-gallery: $listing does not begin with a line \"// Title: ...\"" >&2
    exit 1
  fi
  if [[ ! -f "$gallery/$name.png" ]]; then
    echo "make-gallery: $gallery/$name.png is missing (run scripts/make-gallery.sh $name)" >&2
    exit 1
  fi
  arguments+=(-label "$title" "$gallery/$name.png")
done
# DejaVu Sans where ImageMagick knows it (fonts-dejavu), its default font otherwise.
font=()
if convert -list font 2>/dev/null | grep -q 'Font: DejaVu-Sans$'; then
  font=(-font DejaVu-Sans)
fi
montage "${arguments[@]}" "${font[@]}" -tile "${columns}x" -geometry "${thumbnail}x${thumbnail}+6+6" \
  -background "#202020" -fill "#e8e8e8" -pointsize 14 -depth 8 -define png:compression-level=9 "$scratch/sheet.png"
mv "$scratch/sheet.png" "$sheet"
echo "make-gallery: rendered ${#render[@]} pictures into $gallery and the contact sheet $sheet (${#all[@]} documents)"
