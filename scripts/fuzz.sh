#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, ASan and UBSan and runs each
# for a bounded time (default 60 s, or the first argument) from the seed
# corpus under tests/fuzz/corpus, with the engine's work split over 2 threads. Exits non-zero on any finding; the input
# that triggered it is left in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

# The programs' libraries are configured for the studio's target; only the
# fuzz targets and what they need are built.
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DTEX_FUZZ=ON \
  -DTEX_BUILD_PROGRAMS=ON -DTEX_BUILD_WINDOWS=OFF -DTEX_BUILD_BENCH=OFF >/dev/null
targets=(document authoring)
help=$(cmake --build build-fuzz --target help 2>/dev/null || true)
if grep -q ' http_fuzz$' <<<"$help"; then
  targets+=(http)
fi
cmake --build build-fuzz -j"$(nproc 2>/dev/null || echo 2)" --target "${targets[@]/%/_fuzz}"

mkdir -p build-fuzz/findings
for target in "${targets[@]}"; do
  # Work on a copy so that what the fuzzer adds never dirties the repository.
  work=build-fuzz/corpus-$target
  rm -rf "$work" && mkdir -p "$work"
  cp tests/fuzz/corpus/$target/* "$work"/
  if [[ $target == document && -f data/Testin3.tex ]]; then cp data/Testin3.tex "$work"/; fi
  echo "== fuzz $target (${seconds} s)"
  log=build-fuzz/fuzz-$target.log
  status=0
  # The studio prints a line per save: its standard output is closed.
  quiet=(); [[ $target == http ]] && quiet=(-close_fd_mask=1)
  TEX_THREADS=2 build-fuzz/tests/fuzz/${target}_fuzz "$work" "${quiet[@]}" -max_total_time="$seconds" -max_len=23000 \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build-fuzz/findings/$target- \
    >"$log" 2>&1 || status=$?
  grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|SUMMARY)" "$log" || true
  if [[ $status -ne 0 ]]; then
    tail -40 "$log" >&2
    echo "fuzz: $target found a problem (exit $status); the input is in build-fuzz/findings/, the log in $log" >&2
    exit 1
  fi
done
echo "== fuzzing found nothing"
