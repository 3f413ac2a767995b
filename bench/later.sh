#!/usr/bin/env bash
# Later starts with --cache (the cache already filled), whole runs from
# CreateProcessW to the end of the wait, under Wine:
#   - the tiny application (bench_app.c as the application DLL, --console)
#     against the same code built as a plain console executable;
#   - 7-Zip (7z.exe with 7z.dll, running `7z i`) packed as a program entry
#     against 7z.exe started directly;
#   - a program in a tree shaped like CMake's installation (bench/tree.py:
#     3,854 files, about 7 MB, six folder levels at most, mostly text of a
#     few hundred bytes to a few KB, 8 DLLs) packed as a program entry
#     (bin/prog.exe, bench_bare.c: it returns at once) against the same
#     program started directly from the unpacked tree: the time left over is
#     the launcher's, whose later start checks every file of the cache;
#   - each against a bare process start (a console program that returns);
#   - and each against its floor: the DLL loaded by a minimal loader
#     (bench_loader.c), the program started in a job by a minimal starter
#     (bench_spawn.c), which check and unpack nothing: what a packed start
#     costs beyond its floor is the launcher's own work.
#
#   bench/later.sh [ROUNDS]        (default 9, after a warm-up round)
#   VELSOR_BENCH_BEFORE_PACK=/path/to/other/velsor-pack bench/later.sh [ROUNDS]
#                                  also times that packer's launcher (say,
#                                  the build before a change)
#   VELSOR_BENCH_OUT=/tmp/later bench/later.sh 3
#                                  writes there instead (another build's
#                                  files stay untouched)
#
# Uses $VELSOR_PACK (default build/bin/velsor-pack of the build in
# $VELSOR_BUILD_DIR, default build beside this folder), the 7-Zip that
# scripts/setup.sh fetches into build/_deps and the build's Wine prefix
# (or $WINEPREFIX); writes to $VELSOR_BENCH_OUT, default
# $VELSOR_BUILD_DIR/bench-later (cleared first; a non-empty folder that is
# not an earlier output is refused). Every round runs each series once, the
# order reversed every other round; figures are medians of the ratios taken
# within each round. The first run of each packed executable fills its
# cache.
#
# Series: bare, app, tiny-floor, tiny-now, 7z, 7z-floor, 7z-now, tree,
# tree-floor, tree-now (and tiny-before,
# 7z-before, tree-before); raw/SERIES.txt holds each series' runs
# (bench_rounds.c: one process times all of them, their output in a file).
# The packed executables stay in the output folder: bench/breakdown.sh
# shows where the time of one of their later starts goes.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VELSOR_BUILD_DIR:-$repo/build}
rounds=${1:-9}
out=${VELSOR_BENCH_OUT:-$build/bench-later}
pack=${VELSOR_PACK:-$build/bin/velsor-pack}
before=${VELSOR_BENCH_BEFORE_PACK:-}
sevenzip=$build/_deps/7zip-26.3.1
if [ -e "$out" ] && [ -n "$(ls -A "$out")" ] && [ ! -d "$out/raw" ]; then
  echo "later.sh: $out is neither empty nor an earlier output; not clearing it" >&2
  exit 2
fi
rm -rf "$out"
mkdir -p "$out/raw" "$out/tiny" "$out/7z"

wgcc=x86_64-w64-mingw32-gcc-posix
wgxx=x86_64-w64-mingw32-g++-posix
$wgcc -O2 -Wall -shared -o "$out/tiny/bench_app.dll" "$repo/bench/programs/bench_app.c" -lpsapi -static-libgcc -s
$wgcc -O2 -Wall -municode -o "$out/bench_app.exe" "$repo/bench/programs/bench_app_main.c" -lpsapi -static-libgcc -s
$wgcc -O2 -Wall -o "$out/bench_bare.exe" "$repo/bench/programs/bench_bare.c" -static-libgcc -s
$wgcc -O2 -Wall -municode -o "$out/bench_spawn.exe" "$repo/bench/programs/bench_spawn.c" -static-libgcc -s
$wgcc -O2 -Wall -municode -o "$out/bench_loader.exe" "$repo/bench/programs/bench_loader.c" -static-libgcc -s
$wgcc -O2 -Wall -municode -o "$out/bench_rounds.exe" "$repo/bench/programs/bench_rounds.c" -static-libgcc -s
cp "$sevenzip/7z.exe" "$sevenzip/7z.dll" "$out/7z/"
python3 "$repo/bench/tree.py" "$out/bench_bare.exe" "$out/tiny/bench_app.dll" "$out/tree" | tee "$out/raw/tree.summary"

# pack_all NAME PACKER: the tiny application, 7-Zip and the tree, with --cache.
pack_all() {
  "$2" build "$out/tiny" --entry bench_app.dll --console -o "$out/tiny-$1.exe" --cache \
    --unpack-dir "{TEMP}\\velsor_bench_later_tiny_$1"
  "$2" build "$out/7z" --entry 7z.exe -o "$out/7z-$1.exe" --cache \
    --unpack-dir "{TEMP}\\velsor_bench_later_7z_$1"
  "$2" build "$out/tree" --entry bin/prog.exe -o "$out/tree-$1.exe" --cache \
    --unpack-dir "{TEMP}\\velsor_bench_later_tree_$1"
}
pack_all now "$pack"
series=(bare app tiny-floor tiny-now 7z 7z-floor 7z-now tree tree-floor tree-now)
if [ -n "$before" ]; then
  pack_all before "$before"
  series+=(tiny-before 7z-before tree-before)
fi

export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all
wine cmd /c exit </dev/null >/dev/null 2>&1
win() { echo "Z:${1//\//\\}"; }
wtemp=$(wine cmd /c echo %TEMP% </dev/null 2>/dev/null | tr -d '\r')
caches() { for s in tiny_now 7z_now tree_now tiny_before 7z_before tree_before; do
  wine cmd /c rmdir /s /q "$wtemp\\velsor_bench_later_$s" </dev/null >/dev/null 2>&1 || true; done; }
# The command line of series $1. The tiny application gets no report file
# (it returns at once), the plain executable neither.
command_of() {
  case $1 in
    bare) win "$out/bench_bare.exe" ;;
    app) win "$out/bench_app.exe" ;;
    tiny-floor) echo "$(win "$out/bench_loader.exe") $(win "$out/tiny/bench_app.dll")" ;;
    tiny-*) win "$out/$1.exe" ;;
    7z) echo "$(win "$out/7z/7z.exe") i" ;;
    7z-floor) echo "$(win "$out/bench_spawn.exe") $(win "$out/7z/7z.exe") i" ;;
    7z-*) echo "$(win "$out/$1.exe") i" ;;
    tree) win "$out/tree/bin/prog.exe" ;;
    tree-floor) echo "$(win "$out/bench_spawn.exe") $(win "$out/tree/bin/prog.exe")" ;;
    tree-*) win "$out/$1.exe" ;;
  esac
}
pairs=()
for s in "${series[@]}"; do pairs+=("$s=$(command_of "$s")"); done
caches
mkdir -p "$out/fill"
# One process runs every round (bench_rounds.c): no Wine start-up between
# the runs. The first call fills the caches; in the second, round 0 (a
# warm-up, dropped) is a first start's follow-up, which flushes its files.
wine "$out/bench_rounds.exe" 0 "$(win "$out/fill")" "${pairs[@]}" </dev/null
wine "$out/bench_rounds.exe" "$rounds" "$(win "$out/raw")" "${pairs[@]}" </dev/null
caches

python3 - "$out/raw" "${series[@]}" <<'PY' | tee "$out/table.txt"
import os, statistics, sys
raw, names, tick = sys.argv[1], sys.argv[2:], 1e-7
def runs(name):
    rows = []
    for line in open(os.path.join(raw, name + ".txt")):
        f = line.split()
        if len(f) >= 3 and all(x.isdigit() for x in f[:3]) and int(f[0]) > 10**17:   # the timer's lines
            rows.append(f)
    rows = rows[1:]   # the first is a warm-up
    assert all(r[2] == "0" for r in rows), name
    return [(int(r[1]) - int(r[0])) * tick for r in rows]
t = {n: runs(n) for n in names}
assert len({len(v) for v in t.values()}) == 1, "rounds differ"
med = lambda xs: statistics.median(xs)
def per_round(f):
    return med([f(*r) for r in zip(*(t[n] for n in names))])
ix = {n: i for i, n in enumerate(names)}
def ratio(num, den):
    return per_round(lambda *r: r[ix[num]] / r[ix[den]])
def over_direct(num, direct):   # (packed - direct) in bare starts
    return per_round(lambda *r: (r[ix[num]] - r[ix[direct]]) / r[ix["bare"]])
def vs_target(num, direct):   # packed / (direct + one bare start)
    return per_round(lambda *r: r[ix[num]] / (r[ix[direct]] + r[ix["bare"]]))
def fastest(num, direct):   # (packed - direct) in bare starts, from each series' fastest run
    return (min(t[num]) - min(t[direct])) / min(t["bare"])
print("| series (whole run, later start) | median | fastest | vs plain / direct | packed minus direct, in bare starts | same, fastest runs | vs direct + 1 bare | vs bare | target |")
print("|---|---|---|---|---|---|---|---|---|")
print("| bare process start (console, msvcrt) | %.0f ms | %.0f ms | - | - | - | - | 1.00 | - |" % (med(t["bare"]) * 1e3, min(t["bare"]) * 1e3))
print("| tiny app as a plain console exe | %.0f ms | %.0f ms | 1.00 | - | - | - | %.2f | - |" % (
    med(t["app"]) * 1e3, min(t["app"]) * 1e3, ratio("app", "bare")))
print("| floor: the DLL loaded by a minimal loader (bench_loader.c) | %.0f ms | %.0f ms | %.2f | %.2f | - | - | %.2f | - |" % (
    med(t["tiny-floor"]) * 1e3, min(t["tiny-floor"]) * 1e3, ratio("tiny-floor", "app"), over_direct("tiny-floor", "app"),
    ratio("tiny-floor", "bare")))
for tag, label in (("now", "after"), ("before", "before")):
    if "tiny-" + tag in t:
        n = "tiny-" + tag
        print("| tiny DLL app, --cache (%s) | %.0f ms | %.0f ms | **%.2f** (fastest %.2f) | %.2f | %.2f | - | %.2f | <= 1.2 x plain |" % (
            label, med(t[n]) * 1e3, min(t[n]) * 1e3, ratio(n, "app"), min(t[n]) / min(t["app"]), over_direct(n, "app"),
            fastest(n, "app"), ratio(n, "bare")))
for direct, direct_label, packed_label in (
        ("7z", "7z.exe i, started directly", "7z i, --cache program entry"),
        ("tree", "CMake-like tree (3,854 files), program started directly",
         "CMake-like tree, --cache program entry")):
    print("| %s | %.0f ms | %.0f ms | 1.00 | - | - | - | %.2f | - |" % (
        direct_label, med(t[direct]) * 1e3, min(t[direct]) * 1e3, ratio(direct, "bare")))
    n = direct + "-floor"
    print("| floor: started by a minimal starter in a job (bench_spawn.c) | %.0f ms | %.0f ms | %.2f | %.2f | %.2f | %.2f | %.2f | - |" % (
        med(t[n]) * 1e3, min(t[n]) * 1e3, ratio(n, direct), over_direct(n, direct), fastest(n, direct),
        vs_target(n, direct), ratio(n, "bare")))
    for tag, label in (("now", "after"), ("before", "before")):
        n = direct + "-" + tag
        if n in t:
            print("| %s (%s) | %.0f ms | %.0f ms | %.2f | **%.2f** | %.2f | %.2f | %.2f | <= direct + 1 bare |" % (
                packed_label, label, med(t[n]) * 1e3, min(t[n]) * 1e3, ratio(n, direct), over_direct(n, direct),
                fastest(n, direct), vs_target(n, direct), ratio(n, "bare")))
print()
retries = os.path.join(raw, "retries.txt")
retried = len(open(retries).readlines()) if os.path.exists(retries) else 0   # bench_rounds counts them
print("%d paired rounds after a warm-up round; %d start(s) Wine failed to create, tried again" % (len(t["bare"]), retried))
PY
echo "(machine: $(nproc) cores, $(uptime | sed 's/.*load/load/'))"
