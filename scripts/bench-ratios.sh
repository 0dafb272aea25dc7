#!/usr/bin/env bash
# Runs every benchmark once and prints, for each operation at 256x256 and
# 2048x2048, its CPU time as a multiple of a memcpy of one layer and, where
# OpenCV has a near equivalent, of OpenCV's single-threaded time, with the
# target each ratio is held to. Extra arguments go to the benchmark program
# (e.g. --benchmark_filter=Blur). TEX_VECTORS=avx2 (or sse2, plain) holds the
# engine to those vector units, as on a processor without wider ones.
#   [TEX_VECTORS=avx2] scripts/bench-ratios.sh [benchmark options]
set -euo pipefail
cd "$(dirname "$0")/.."
# One thread, as memcpy and OpenCV (cv::setNumThreads(1)) run: the ratios
# then compare the work itself. TEX_THREADS=0 uses every core instead.
export TEX_THREADS=${TEX_THREADS:-1}
scripts/setup.sh --bench
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target engine_bench >/dev/null
out=build/bench-results.json
build/bench/engine_bench --benchmark_filter=-Extremes --benchmark_min_time=0.2 \
  --benchmark_format=json --benchmark_out="$out" --benchmark_out_format=json "$@" >/dev/null
python3 - "$out" <<'PY'
import json, os, re, sys

print(f"vector units capped at: {os.environ.get('TEX_VECTORS', 'none (what the processor has)')}; "
      f"engine threads: {os.environ.get('TEX_THREADS')}")

results = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    m = re.match(r"BM_(\w+)/(\d+)$", b["name"])
    if m and b.get("run_type", "iteration") == "iteration":
        results[(m.group(1).lower(), int(m.group(2)))] = b["cpu_time"] * {"ns": 1e-3, "us": 1, "ms": 1e3}[b["time_unit"]]

# operation -> (OpenCV equivalent, target)
PER_BYTE = "memcpy<=2"
rules = {
    "invertlayer": ("opencv_bitwisenot", PER_BYTE), "woodlayer": (None, PER_BYTE),
    "addlayers": ("opencv_addweighted", PER_BYTE), "mullayers": ("opencv_multiply", PER_BYTE),
    "randcombinelayers": (None, PER_BYTE), "mincombinelayers": (None, PER_BYTE),
    "maxcombinelayers": (None, PER_BYTE), "xorlayers": (None, PER_BYTE), "orlayers": (None, PER_BYTE),
    "andlayers": (None, PER_BYTE), "scalelayerrgb": ("opencv_lut", PER_BYTE),
    "adjustlayerrgb": ("opencv_lut", PER_BYTE), "sinelayerrgb": ("opencv_lut", PER_BYTE),
    "equalizergb": ("opencv_equalizehist", PER_BYTE), "stretchrgb": ("opencv_lut", None),
    "blurlayer": ("opencv_gaussianblur3", "opencv<=1"), "sharpenlayer": ("opencv_filter2d3", "opencv<=1"),
    "embosslayer": ("opencv_filter2d3", "opencv<=1"), "edgehlayer": ("opencv_filter2d3", "opencv<=1"),
    "edgevlayer": ("opencv_filter2d3", "opencv<=1"), "medianlayer": ("opencv_medianblur3", "opencv<=1"),
    "erodelayer": ("opencv_erode3", "opencv<=1"), "dilatelayer": ("opencv_dilate3", "opencv<=1"),
    "sinedistort": ("opencv_remapcubic", "opencv<=1"), "mapdistort": ("opencv_remapcubic", "opencv<=1"),
    "twirllayer": ("opencv_remapcubic", "opencv<=1"), "tunneldistort": ("opencv_remapcubic", "opencv<=1"),
    "logpollayer": ("opencv_remapcubic", "opencv<=1"),
    "particle": (None, "memcpy<=10"), "perlinnoise": (None, "memcpy<=10"),
    "scalelayerhsv": ("opencv_hsvroundtrip", "opencv<=2"), "adjustlayerhsv": ("opencv_hsvroundtrip", "opencv<=2"),
}
names = sorted({n for n, _ in results if not n.startswith("opencv_") and n != "memcpylayer"})
print(f"{'operation':<26}{'size':>6}{'time us':>12}{'x memcpy':>10}{'x OpenCV':>10}  target")
misses = 0
for name in names:
    for size in (256, 2048):
        t = results.get((name, size))
        if t is None:
            continue
        base = results.get(("memcpylayer", size))
        cv_name, target = rules.get(name, (None, None))
        cv = results.get((cv_name, size)) if cv_name else None
        vs_mem = t / base if base else float("nan")
        vs_cv = t / cv if cv else None
        verdict = ""
        if target and size == 2048:
            kind, limit = target.split("<=")
            ratio = vs_mem if kind == "memcpy" else vs_cv
            if ratio is not None:
                ok = ratio <= float(limit)
                misses += not ok
                verdict = f"{target} {'ok' if ok else 'MISSED'}"
        cv_text = f"{vs_cv:10.2f}" if vs_cv is not None else f"{'':>10}"
        print(f"{name:<26}{size:>6}{t:12.1f}{vs_mem:10.1f}{cv_text}  {verdict}")
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b["name"] == "BM_Testin3Texture":
        t = b["cpu_time"] * {"ns": 1e-3, "us": 1, "ms": 1e3}[b["time_unit"]]
        ok = t < 1000
        misses += not ok
        print(f"\nTestin3 texture (22 calls) at 256x256: {t:.0f} us  target under 1000 us {'ok' if ok else 'MISSED'}")
print(f"\n{misses} target(s) missed" if misses else "\nevery target met")
PY
