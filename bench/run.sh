#!/usr/bin/env bash
# velsor benchmarks: one command, one table.
#
#   bench/run.sh [REPETITIONS]        (default 5; the median of them is reported)
#
# Uses the build in $VELSOR_BUILD_DIR (default build-bench beside this
# folder), building it first if velsor-pack is missing.
# Everything it makes goes to $VELSOR_BUILD_DIR/bench. Needs zstd,
# zip, tar, the mingw-w64 compilers and Wine (all installed by scripts/setup.sh).
# Run it on a quiet machine: every figure is a ratio against a baseline taken
# in the same run, but two busy cores still skew them.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VELSOR_BUILD_DIR:-$repo/build-bench}
reps=${1:-5}
out=$build/bench
raw=$out/raw
pack=$build/bin/velsor-pack

if [ ! -x "$pack" ]; then
  zstd_source=${VELSOR_ZSTD_SOURCE:-$repo/build/_deps/zstd-1.5.4}
  cmake -S "$repo" -B "$build" -G Ninja -DVELSOR_ZSTD_SOURCE="$zstd_source" -DVELSOR_WINEPREFIX="$build/wineprefix"
  cmake --build "$build" -j2 --target velsor-pack
fi
zstd_source=$(sed -n 's/^VELSOR_ZSTD_SOURCE:PATH=//p' "$build/CMakeCache.txt")
rm -rf "$out"
mkdir -p "$out" "$raw" "$out/obj" "$out/obj-asm" "$out/work"

echo "== building the benchmark programs"
wgcc=x86_64-w64-mingw32-gcc-posix
wgxx=x86_64-w64-mingw32-g++-posix
$wgcc -O2 -Wall -shared -o "$out/bench_app.dll" "$repo/bench/programs/bench_app.c" -lpsapi -static-libgcc -s
$wgcc -O2 -Wall -mwindows -municode -o "$out/bench_minimal.exe" "$repo/bench/programs/bench_minimal.c" -s
$wgcc -O2 -Wall -mwindows -municode -o "$out/bench_minimal_shell.exe" "$repo/bench/programs/bench_minimal_shell.c" -lshell32 -s
# One console program three ways: as it is, as a packed program entry
# (the runner starts it) and as an application DLL through velsor/app.h.
$wgcc -O2 -Wall -o "$out/bench_first.exe" "$repo/bench/programs/bench_first.c" -s
$wgcc -O2 -Wall -shared -I"$repo/include" -include velsor/app.h -o "$out/bench_first.dll" -static \
  "$repo/bench/programs/bench_first.c" -s
$wgxx -O2 -Wall -std=c++17 -municode -static -o "$out/bench_baseline.exe" "$repo/bench/programs/bench_baseline.cpp" -s
$wgxx -O2 -Wall -std=c++17 -municode -static -o "$out/bench_timer.exe" "$repo/bench/programs/bench_timer.cpp" -lshell32 -s
# The reader on the host, with zstd built as for the launcher (no assembly)
# and, for comparison, with zstd's x86-64 assembly Huffman decoder.
zstd_files=(common/debug.c common/entropy_common.c common/error_private.c common/fse_decompress.c
            common/xxhash.c common/zstd_common.c decompress/huf_decompress.c decompress/zstd_ddict.c
            decompress/zstd_decompress.c decompress/zstd_decompress_block.c)
for f in "${zstd_files[@]}"; do
  gcc -O3 -c -DZSTD_LEGACY_SUPPORT=0 -DZSTD_DISABLE_ASM -DZSTD_NO_TRACE -I"$zstd_source/lib" \
      "$zstd_source/lib/$f" -o "$out/obj/$(basename "$f" .c).o" &
  gcc -O3 -c -DZSTD_LEGACY_SUPPORT=0 -DZSTD_NO_TRACE -I"$zstd_source/lib" \
      "$zstd_source/lib/$f" -o "$out/obj-asm/$(basename "$f" .c).o" &
  wait
done
gcc -c "$zstd_source/lib/decompress/huf_decompress_amd64.S" -o "$out/obj-asm/huf_decompress_amd64.o"
for variant in "" -asm; do
  g++ -O2 -g -std=c++20 -I"$repo/tests/host/fuzz/shim" -I"$repo" -I"$zstd_source/lib" \
      "$repo/bench/decode_bench.cpp" "$repo/payload/reader.cpp" "$out"/obj$variant/*.o -o "$out/decode_bench$variant"
done

echo "== generating the workloads"
python3 "$repo/bench/workload.py" "$out/bench_app.dll" "$out/workload" | tee "$raw/workload.txt"
python3 "$repo/bench/workload.py" "$out/bench_app.dll" "$out/tiny" --tiny >/dev/null

echo "== packing (velsor-pack at its default level, 1 and 2 threads)"
for threads in 1 2; do
  for i in $(seq 3); do
    /usr/bin/time -f "%e %M" -o "$raw/pack-$threads-$i.txt" \
      "$pack" block "$out/workload/app" --entry app.dll -o "$out/block-$threads.bin" --threads "$threads"
  done
done
cmp "$out/block-1.bin" "$out/block-2.bin"
cp "$out/block-1.bin" "$out/block.bin"
"$pack" link "$out/block.bin" -o "$out/workload.exe"
"$pack" build "$out/tiny/app" --entry app.dll -o "$out/tiny.exe"
for kind in exe dll; do
  mkdir -p "$out/first-$kind"
  cp "$out/bench_first.$kind" "$out/first-$kind/"
  "$pack" build "$out/first-$kind" --entry "bench_first.$kind" -o "$out/first-$kind.exe" --console
done

# Interleaved timing: one run of each command per round, round 0 a warm-up.
# Writes {"results": [{"command", "times", "median"}]} to the JSON file.
interleaved() {
  python3 - "$@" <<'PY'
import json, statistics, subprocess, sys, time
path, rounds, pairs = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
commands = list(zip(pairs[0::2], pairs[1::2]))
times = {name: [] for name, _ in commands}
for round in range(rounds + 1):
    for name, command in commands:
        start = time.perf_counter()
        subprocess.run(command.split(), check=True, stdout=subprocess.DEVNULL)
        if round > 0:
            times[name].append(time.perf_counter() - start)
json.dump({"results": [{"command": n, "times": t, "median": statistics.median(t)} for n, t in times.items()]},
          open(path, "w"))
PY
}

echo "== pack time: velsor-pack build against the zstd program on the same archive"
# The archive is the block's frame decoded; zstd gets velsor-pack's settings:
# level 19, 2 threads, 8 MiB jobs, a 2^27 window, no checksum.
python3 -c 'import sys; b = open(sys.argv[1], "rb").read(); open(sys.argv[2], "wb").write(b[3:-9])' \
  "$out/block.bin" "$out/frame.zst"
zstd -q -d -f "$out/frame.zst" -o "$out/archive.bin"
interleaved "$raw/pack-vs-zstd.json" 3 \
  velsor-pack "$pack build $out/workload/app --entry app.dll -o $out/work/packed.exe --threads 2" \
  zstd "zstd -q -f -19 -T2 -B8MiB --zstd=wlog=27 --no-check $out/archive.bin -o $out/work/archive.zst"
stat -c '%s' "$out/archive.bin" > "$raw/archive-size.txt"

echo "== writing the executable from a ready 40 MB block"
mkdir -p "$out/block40/app"
cp "$out/bench_app.dll" "$out/block40/app/app.dll"
head -c 40000000 /dev/urandom > "$out/block40/app/noise.bin"
"$pack" block "$out/block40/app" --entry app.dll -o "$out/block40.bin" --level 1
stat -c '%s' "$out/block40.bin" > "$raw/block40-size.txt"
interleaved "$raw/link40.json" "$((reps * 2))" link "$pack link $out/block40.bin -o $out/work/block40.exe"

echo "== sizes"
(cd "$out/workload/app" && tar -cf - . | zstd -19 --long=27 -q -c > "$out/tree.tar.zst")
(cd "$out/workload/app" && zip -9 -r -q "$out/tree.zip" .)
stat -c '%n %s' "$out/block.bin" "$out/tree.tar.zst" "$out/tree.zip" > "$raw/sizes.txt"

echo "== decoding on the host"
"$out/decode_bench" "$out/block.bin" 1 > "$raw/decoded-size.txt"
# Interleaved, one run of each per round, so that load changes hit all three.
interleaved "$raw/decode.json" "$((reps * 2))" \
  reader "$out/decode_bench $out/block.bin" \
  reader-asm "$out/decode_bench-asm $out/block.bin" \
  zstd "zstd -d -q -f $out/frame.zst -o /dev/null"

echo "== under Wine (extraction, baseline writer, start-up, bare process, program entry)"
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all
wineserver -p 2>/dev/null || true  # already running is fine
wine cmd /c exit </dev/null >/dev/null 2>&1
win() { echo "Z:${1//\//\\}"; }
# The baseline writes where the launcher extracts: below Wine's TEMP.
wtemp=$(wine cmd /c echo %TEMP% </dev/null 2>/dev/null | tr -d '\r')
work="$wtemp\\velsor_bench_$$"
timer() { wine "$out/bench_timer.exe" 1 "$work\\report.txt" "$work" "$@"; }
# The four series are interleaved, one run of each per round, so that a
# change in the machine's load hits them alike. Round 0 is a warm-up.
for round in $(seq 0 "$reps"); do
  timer "$(win "$out/workload.exe")" "{REPORT}" >> "$raw/extract.txt"
  timer "$(win "$out/bench_baseline.exe")" "$(win "$out/workload/manifest.txt")" "{OUT}" "{REPORT}" >> "$raw/baseline.txt"
  for i in 1 2 3; do
    timer "$(win "$out/tiny.exe")" "{REPORT}" >> "$raw/startup.txt"
    timer "$(win "$out/bench_minimal.exe")" >> "$raw/bare.txt"
    timer "$(win "$out/bench_minimal_shell.exe")" >> "$raw/bare-shell.txt"
    timer "$(win "$out/first-exe.exe")" "{REPORT}" >> "$raw/first-runner.txt"
    timer "$(win "$out/first-dll.exe")" "{REPORT}" >> "$raw/first-adapter.txt"
    timer "$(win "$out/bench_first.exe")" "{REPORT}" >> "$raw/first-direct.txt"
  done
done

wine cmd /c rmdir /s /q "$work" </dev/null >/dev/null 2>&1 || true

echo
python3 "$repo/bench/table.py" "$raw" | tee "$out/table.txt"
echo "(raw figures in $raw; machine: $(nproc) cores, $(uptime | sed 's/.*load/load/'))"
