#!/usr/bin/env bash
# The default mode's whole run, this build's launcher against another
# build's (say, the one before a change), in the same rounds.
#
#   VELSOR_BENCH_BEFORE_PACK=/path/to/other/velsor-pack bench/handles.sh [ROUNDS]
#                                  (default 9 rounds after a warm-up round)
#
# "after" is build/bin/velsor-pack of the build in $VELSOR_BUILD_DIR (default
# build beside this folder), "before" the packer named by
# VELSOR_BENCH_BEFORE_PACK; each carries its own default launcher. Both pack
# the same two trees at the same level (velsor-pack's default, 19), and the
# script checks that the two payload sections are byte for byte the same, so
# only the launchers differ:
#   - workload: bench/workload.py's 40 MB tree (950 files);
#   - small: the application DLL and 4,000 small files (workload.py --small).
# The application returns at once (bench/programs/bench_app.c writes its
# report and returns). Per round, for each tree, one run of each launcher,
# the order turned round every round. Each run is timed by bench_timer.exe
# from just before CreateProcessW to the end of the wait (the whole run:
# unpack, child, clean-up), and split at the child's creation (unpack) and
# at run_code (after it: the child's end, the clean-up and the parent's end).
# After every run the unpack directory must be gone. Writes to
# $VELSOR_BUILD_DIR/bench-handles; the table reports medians and the median
# of the per-round ratios after/before. Last, bench_entry_calls.exe removes
# 2,000 files the way the clean-up does and prints each call's mean cost.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VELSOR_BUILD_DIR:-$repo/build}
rounds=${1:-9}
out=$build/bench-handles
after=$build/bin/velsor-pack
before=${VELSOR_BENCH_BEFORE_PACK:?set VELSOR_BENCH_BEFORE_PACK to the other build\'s velsor-pack}
small_files=4000
rm -rf "$out"
mkdir -p "$out/raw"

wgcc=x86_64-w64-mingw32-gcc-posix
wgxx=x86_64-w64-mingw32-g++-posix
$wgcc -O2 -Wall -shared -o "$out/bench_app.dll" "$repo/bench/programs/bench_app.c" -lpsapi -static-libgcc -s
$wgxx -O2 -Wall -std=c++17 -municode -static -o "$out/bench_timer.exe" "$repo/bench/programs/bench_timer.cpp" -lshell32 -s
$wgxx -O2 -Wall -std=c++17 -municode -static -o "$out/bench_entry_calls.exe" "$repo/bench/programs/bench_entry_calls.cpp" \
  -lntdll -s
python3 "$repo/bench/workload.py" "$out/bench_app.dll" "$out/workload" | tee "$out/raw/workload.txt"
python3 "$repo/bench/workload.py" "$out/bench_app.dll" "$out/small" --small "$small_files" | tee "$out/raw/small.txt"

trees=(workload small)
for tree in "${trees[@]}"; do
  "$before" build "$out/$tree/app" --entry app.dll -o "$out/$tree-before.exe"
  "$after" build "$out/$tree/app" --entry app.dll -o "$out/$tree-after.exe"
  for side in before after; do
    x86_64-w64-mingw32-objcopy -O binary --only-section=.qzv "$out/$tree-$side.exe" "$out/$tree-$side.qzv"
  done
  cmp "$out/$tree-before.qzv" "$out/$tree-after.qzv"   # the same payload: only the launcher differs
  rm "$out/$tree-before.qzv" "$out/$tree-after.qzv"
done

export VELSOR_BUILD_DIR=$build
source "$repo/scripts/wine-env.sh"   # this build's Wine prefix, a quiet Wine
wine_start
win() { echo "Z:${1//\//\\}"; }
wtemp=$(wine cmd /c echo %TEMP% </dev/null 2>/dev/null | tr -d '\r')
host_temp=$(winepath -u "$wtemp" 2>/dev/null)
test -d "$host_temp"
work="$wtemp\\velsor_bench_handles_work"
runs_left() { find "$host_temp" -maxdepth 1 -name 'onefile_*' | wc -l; }
left_before=$(runs_left)
run_one() {   # tree side
  wine "$out/bench_timer.exe" 1 "$work\\report.txt" "$work" "$(win "$out/$1-$2.exe")" "{REPORT}" \
    | tr -d '\r' >> "$out/raw/$1-$2.txt"
  if [ "$(runs_left)" != "$left_before" ]; then
    echo "handles.sh: the $2 launcher left its unpack directory of $1 behind" >&2
    exit 1
  fi
}
for round in $(seq 0 "$rounds"); do   # round 0 is a warm-up
  for tree in "${trees[@]}"; do
    if [ $((round % 2)) = 0 ]; then
      run_one "$tree" before; run_one "$tree" after
    else
      run_one "$tree" after; run_one "$tree" before
    fi
  done
done
wine cmd /c rmdir /s /q "$work" </dev/null >/dev/null 2>&1 || true

python3 - "$out/raw" "$small_files" <<'PY' | tee "$out/table.txt"
import os, statistics, sys
raw, small_files, tick = sys.argv[1], sys.argv[2], 1e-7
def runs(name):
    rows = [l.split() for l in open(os.path.join(raw, name))][1:]   # the first is a warm-up
    assert all(r[2] == "0" and r[3] != "-" for r in rows), name
    # start, end, code, child created, run_code entered, ...
    return [{"run": (int(r[1]) - int(r[0])) * tick, "unpack": (int(r[3]) - int(r[0])) * tick,
             "tail": (int(r[1]) - int(r[4])) * tick} for r in rows]
labels = {"workload": "40 MB workload (950 files)", "small": "%s small files" % small_files}
print("| tree | rounds | part | before | after | after/before (medians) | median of per-round ratios |")
print("|---|---|---|---|---|---|---|")
for tree, label in labels.items():
    b, a = runs(tree + "-before.txt"), runs(tree + "-after.txt")
    for part, name in (("run", "whole run (start to exit)"), ("unpack", "start to child start"),
                       ("tail", "run_code to exit (mostly clean-up)")):
        mb = statistics.median(r[part] for r in b)
        ma = statistics.median(r[part] for r in a)
        per_round = statistics.median(y[part] / x[part] for x, y in zip(b, a))
        print("| %s | %d | %s | %.0f ms | %.0f ms | %.3f | %.3f |"
              % (label, len(b), name, mb * 1e3, ma * 1e3, ma / mb, per_round))
PY

echo
echo "Removing one file the clean-up's way, mean per file of 2,000 (ms):"
calls_dir=$host_temp/velsor_bench_entry_calls
rm -rf "$calls_dir"
mkdir "$calls_dir"
wine "$out/bench_entry_calls.exe" "$wtemp\\velsor_bench_entry_calls" 2000 | tr -d '\r' | tee "$out/raw/entry-calls.txt"
rmdir "$calls_dir"   # every file went
echo "(machine: $(nproc) cores, $(uptime | sed 's/.*load/load/'))"
