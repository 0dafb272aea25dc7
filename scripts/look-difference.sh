#!/usr/bin/env bash
# How far textures rendered at 4x and 8x their design size stray from their
# look at the design size, exactly and with --keep-look: each is shrunk back
# by averaging 4x4 (8x8) blocks and compared with the design-size render; the
# figure is the mean absolute difference per channel in percent of full
# scale, averaged over red, green and blue. Prints a Markdown table for the
# shipped texture, the docs examples and the gallery (or the files given),
# the averages, and whether keeping the look stays within 5% on average at
# 4x and at most half the exact render's difference for every document.
#   scripts/look-difference.sh              every document (some minutes)
#   scripts/look-difference.sh FILE ...     only these
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ ! -f build/CMakeCache.txt ]]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target look_difference >/dev/null

if [[ $# -eq 0 ]]; then
  set -- data/Testin3.tex docs/examples/*.listing data/gallery/*.listing
fi
build/tests/look_difference "$@" | awk -F'|' '
  { print }
  NR > 2 {
    n++; e4 += $3; k4 += $4; e8 += $5; k8 += $6
    if ($4 > $3 / 2 && $4 > 0.5) { over++; worst = worst " " $2 }
  }
  END {
    if (!n) exit 1
    printf "| average of %d | %.1f | %.1f | %.1f | %.1f |\n", n, e4 / n, k4 / n, e8 / n, k8 / n
    printf "\n4x keep-look average %.1f%% (target at most 5%%): %s\n", k4 / n, k4 / n <= 5 ? "met" : "NOT met"
    if (over) printf "more than half the exact difference (and above 0.5%%):%s\n", worst
    else print "every document at most half the exact difference (or below 0.5%)"
  }'
