#!/usr/bin/env bash
# How the engine's work scales with threads, on this machine, in one run:
#   - every operation's benchmark at 256 and 2048 with TEX_THREADS=1 and 2,
#     and the speed-up of 2 threads over 1;
#   - the shipped texture at 256 to 2048 with 1, 2 and 4 threads, its
#     speed-up on 2 to 16 threads worked out from the durations of its
#     ranges, and the PNG encoder against libpng's (bench/threads_bench.cpp);
#   - texgen hash and texgen render of the shipped document at 8192 with 1
#     and 2 threads, and the ratio render / hash.
# Needs a release build in build/ (engine_bench and texgen). Timings on a
# loaded machine understate the speed-ups; each figure is the minimum of
# the repetitions.
set -euo pipefail
cd "$(dirname "$0")/.."
bench=build/bench/engine_bench
texgen=build/tools/texgen
repetitions=${TEX_REPETITIONS:-3}
# TEX_SCALING_SIZES='2048' (sizes joined by |) limits the operations' sizes;
# TEX_SCALING_QUICK=1 leaves out the PNG encoder and texgen at 8192.
quick=${TEX_SCALING_QUICK:-0}

minimum_times() {  # benchmark output (console) -> "name time" per benchmark, minimum over repetitions
    awk '/^BM_/ && $1 !~ /_(mean|median|stddev|cv)$/ && $3 ~ /^(ns|us|ms)$/ { t = $2; if ($3 == "us") t *= 1e3; if ($3 == "ms") t *= 1e6;
         n = $1; if (!(n in best) || t < best[n]) best[n] = t } END { for (n in best) print n, best[n] }' | sort
}

sizes=${TEX_SCALING_SIZES:-256|2048}
echo "== operations at sizes $sizes, 1 and 2 threads (ns per call, speed-up)"
filter="^BM_[A-Za-z0-9]+/($sizes)\$"  # the per-operation benchmarks
# The sweeps with 1 and 2 threads alternate, so that a machine whose speed
# drifts (other work, a shared host) slows both alike.
rm -f build/scaling-runs-1.txt build/scaling-runs-2.txt
for ((run = 0; run < repetitions; ++run)); do
    for threads in 1 2; do
        TEX_THREADS=$threads "$bench" --benchmark_filter="$filter" 2>/dev/null |
            grep -v -E '^BM_(OpenCV|Studio|Memcpy|InitLayers)' >>"build/scaling-runs-$threads.txt"
    done
done
for threads in 1 2; do minimum_times <"build/scaling-runs-$threads.txt" >"build/scaling-$threads.txt"; done
join build/scaling-1.txt build/scaling-2.txt | awk '{ printf "%-50s %14.0f %14.0f %6.2fx\n", $1, $2, $3, $2 / $3 }'

echo "== the shipped texture and the PNG encoder"
textures='BM_(ShippedTextureThreads|EncodePng|ShippedTextureScalingWorkedOut)'
[[ $quick == 1 ]] && textures='BM_ShippedTextureThreads'
"$bench" --benchmark_filter="$textures" --benchmark_repetitions="$repetitions" \
    --benchmark_report_aggregates_only=false 2>/dev/null | grep -E '^BM_' | grep -v -E '_(mean|median|stddev|cv) '

[[ $quick == 1 ]] && exit 0
echo "== texgen at 8192 (seconds, wall clock)"
seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); echo "$end - $start" | bc; }
for threads in 1 2; do
    hash=$(seconds "$texgen" hash data/Testin3.tex --size 8192 --threads "$threads")
    render=$(seconds "$texgen" render data/Testin3.tex --size 8192 -o build/scaling-8192.png --threads "$threads")
    echo "threads $threads: hash ${hash} s, render ${render} s, render / hash $(echo "scale=2; $render / $hash" | bc)"
done
ls -l build/scaling-8192.png
