#!/usr/bin/env bash
# Start-up with the unpack cache (velsor-pack --cache) on the 40 MB workload.
#
#   bench/cache.sh [ROUNDS]        (default 7; medians are reported)
#   VELSOR_BENCH_BEFORE_PACK=/path/to/other/velsor-pack bench/cache.sh [ROUNDS]
#                                  also times the cache of that packer's
#                                  launcher (say, the build before a change)
#
# Uses build/bin/velsor-pack of the build in $VELSOR_BUILD_DIR (default
# build beside this folder) and writes to $VELSOR_BUILD_DIR/bench-cache.
# Per round, interleaved: the default executable on the workload, a first
# run of the cached one (its directory removed before), three later runs of
# it, and three runs of the tiny application (its DLL alone, default mode).
# The times are from the start to the child's creation, and to run_code.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VELSOR_BUILD_DIR:-$repo/build}
rounds=${1:-7}
out=$build/bench-cache
pack=$build/bin/velsor-pack
rm -rf "$out"
mkdir -p "$out/raw"

wgcc=x86_64-w64-mingw32-gcc-posix
wgxx=x86_64-w64-mingw32-g++-posix
$wgcc -O2 -Wall -shared -o "$out/bench_app.dll" "$repo/bench/programs/bench_app.c" -lpsapi -static-libgcc -s
$wgxx -O2 -Wall -std=c++17 -municode -static -o "$out/bench_timer.exe" "$repo/bench/programs/bench_timer.cpp" -lshell32 -s
python3 "$repo/bench/workload.py" "$out/bench_app.dll" "$out/workload" | tee "$out/raw/workload.txt"
python3 "$repo/bench/workload.py" "$out/bench_app.dll" "$out/tiny" --tiny >/dev/null
"$pack" build "$out/workload/app" --entry app.dll -o "$out/workload.exe"
"$pack" build "$out/workload/app" --entry app.dll -o "$out/cached.exe" --cache --unpack-dir '{TEMP}\velsor_bench_cache'
"$pack" build "$out/tiny/app" --entry app.dll -o "$out/tiny.exe"
before=${VELSOR_BENCH_BEFORE_PACK:-}
if [ -n "$before" ]; then
  "$before" build "$out/workload/app" --entry app.dll -o "$out/cached_before.exe" --cache \
    --unpack-dir '{TEMP}\velsor_bench_cache_before'
fi

export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all
wine cmd /c exit </dev/null >/dev/null 2>&1
win() { echo "Z:${1//\//\\}"; }
wtemp=$(wine cmd /c echo %TEMP% </dev/null 2>/dev/null | tr -d '\r')
work="$wtemp\\velsor_bench_cache_work"
timer() { wine "$out/bench_timer.exe" 1 "$work\\report.txt" "$work" "$@"; }
for round in $(seq 0 "$rounds"); do   # round 0 is a warm-up
  timer "$(win "$out/workload.exe")" "{REPORT}" >> "$out/raw/default.txt"
  wine cmd /c rmdir /s /q "$wtemp\\velsor_bench_cache" </dev/null >/dev/null 2>&1 || true
  timer "$(win "$out/cached.exe")" "{REPORT}" >> "$out/raw/first.txt"
  if [ -n "$before" ]; then
    wine cmd /c rmdir /s /q "$wtemp\\velsor_bench_cache_before" </dev/null >/dev/null 2>&1 || true
    timer "$(win "$out/cached_before.exe")" "{REPORT}" >> "$out/raw/first_before.txt"
  fi
  for i in 1 2 3; do
    timer "$(win "$out/cached.exe")" "{REPORT}" >> "$out/raw/later.txt"
    timer "$(win "$out/tiny.exe")" "{REPORT}" >> "$out/raw/tiny.txt"
    if [ -n "$before" ]; then
      timer "$(win "$out/cached_before.exe")" "{REPORT}" >> "$out/raw/later_before.txt"
    fi
  done
done
wine cmd /c rmdir /s /q "$wtemp\\velsor_bench_cache" </dev/null >/dev/null 2>&1 || true
wine cmd /c rmdir /s /q "$wtemp\\velsor_bench_cache_before" </dev/null >/dev/null 2>&1 || true
wine cmd /c rmdir /s /q "$work" </dev/null >/dev/null 2>&1 || true

python3 - "$out/raw" <<'PY' | tee "$out/table.txt"
import os, statistics, sys
raw, tick = sys.argv[1], 1e-7
def runs(name):
    rows = [l.split() for l in open(os.path.join(raw, name))][1:]   # the first is a warm-up
    assert all(r[2] == "0" for r in rows), name
    return rows
def median(name, field):
    return statistics.median((int(r[field]) - int(r[0])) * tick for r in runs(name))
tiny_child, tiny_code = median("tiny.txt", 3), median("tiny.txt", 4)
print("| series (40 MB workload unless tiny) | to child start | to run_code | vs tiny (child start) | vs tiny (run_code) |")
print("|---|---|---|---|---|")
series = [("default mode", "default.txt"), ("--cache, first run", "first.txt"),
          ("--cache, later runs", "later.txt"), ("tiny application, default mode", "tiny.txt")]
if os.path.exists(os.path.join(raw, "later_before.txt")):
    series[3:3] = [("--cache, first run, before", "first_before.txt"),
                   ("--cache, later runs, before", "later_before.txt")]
for label, name in series:
    child, code = median(name, 3), median(name, 4)
    print("| %s | %.0f ms | %.0f ms | %.2f | %.2f |" % (label, child * 1e3, code * 1e3, child / tiny_child, code / tiny_code))
# The first cached run against the default mode, both to run_code and timed
# in the same round: the median of the per-round ratios.
def to_code(name):
    return [(int(r[4]) - int(r[0])) * tick for r in runs(name)]
for first_name, label in (("first.txt", "first run"), ("first_before.txt", "first run, before")):
    if os.path.exists(os.path.join(raw, first_name)):
        ratios = [f / d for f, d in zip(to_code(first_name), to_code("default.txt"))]
        print("--cache %s against the default mode, to run_code, median of per-round ratios: %.2f (target <= 1.1)"
              % (label, statistics.median(ratios)))
PY
echo "(machine: $(nproc) cores, $(uptime | sed 's/.*load/load/'))"
