#!/usr/bin/env bash
# Start-up cost of the runner's sweep (program/sweep.cpp) under Wine: the time
# one sweep_killed_runs call takes on a %TEMP% holding nothing but 1,000
# unrelated entries (500 files, 500 directories), against an empty one, and
# with 20 directories of runs that are not the runner's on top.
#
#   bench/sweep.sh [ROUNDS]        (default 50; medians are reported)
#
# Links the sweep with the launcher library of the Windows build in
# $VELSOR_BUILD_DIR (default build beside this folder); writes to
# $VELSOR_BUILD_DIR/bench-sweep.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VELSOR_BUILD_DIR:-$repo/build}
rounds=${1:-50}
out=$build/bench-sweep
rm -rf "$out"
mkdir -p "$out/empty" "$out/busy" "$out/runs"

wgxx=x86_64-w64-mingw32-g++-posix
zstd_lib=$(sed -n 's/^VELSOR_ZSTD_SOURCE:PATH=//p' "$build/CMakeCache.txt")/lib
$wgxx -O2 -Wall -std=c++20 -municode -static -D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00 -I"$repo" -I"$zstd_lib" \
  -o "$out/bench_sweep.exe" "$repo/bench/programs/bench_sweep.cpp" "$build/windows/libvelsor_program.a" \
  "$build/windows/libvelsor_paths.a" "$build/windows/libvelsor_files.a" "$build/windows/libvelsor_base.a" \
  -ladvapi32 -lshell32 -s

for i in $(seq 1 500); do
  : > "$out/busy/file_$i.tmp"
  mkdir "$out/busy/dir_$i"
  : > "$out/runs/file_$i.tmp"
  mkdir "$out/runs/dir_$i"
done
for i in $(seq 1 20); do   # runs of application DLLs: no .velsor/runner.dll
  mkdir -p "$out/runs/onefile_${i}_000000_bench$i/.velsor"
done

export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all
wine cmd /c exit </dev/null >/dev/null 2>&1
win() { echo "Z:${1//\//\\}"; }
for series in empty busy runs; do
  wine "$out/bench_sweep.exe" "$(win "$out/$series")" "$rounds" | tr -d '\r' > "$out/$series.txt"
done
python3 - "$out" <<'PY'
import statistics, sys
out = sys.argv[1]
labels = {"empty": "empty %TEMP%", "busy": "1,000 unrelated entries",
          "runs": "1,000 unrelated entries + 20 onefile_ directories without the runner"}
print("| %TEMP% holds | median per sweep | max |")
print("|---|---|---|")
for series, label in labels.items():
    times = [int(l) for l in open("%s/%s.txt" % (out, series))][1:]   # the first is a warm-up
    print("| %s | %.2f ms | %.2f ms |" % (label, statistics.median(times) / 1000, max(times) / 1000))
PY
echo "(machine: $(nproc) cores, $(uptime | sed 's/.*load/load/'))"
