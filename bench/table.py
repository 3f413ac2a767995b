#!/usr/bin/env python3
"""Turns bench/run.sh's raw measurements into the results table.

Every figure is the median of its repetitions; the first run under Wine of
each series is a warm-up and is dropped."""
import json
import os
import statistics
import sys

raw = sys.argv[1]
TICK = 1e-7  # FILETIME ticks of 100 ns


def lines(name):
    with open(os.path.join(raw, name)) as f:
        return [l.split() for l in f if l.strip()]


def wine_runs(name):
    runs = lines(name)[1:]  # the first is a warm-up
    for r in runs:
        if r[2] != "0":
            sys.exit("%s: a run exited with %s" % (name, r[2]))
    return runs


decode = {r["command"]: r for r in json.load(open(os.path.join(raw, "decode.json")))["results"]}
decoded_bytes = int(lines("decoded-size.txt")[0][0])
reader_s = decode["reader"]["median"]
reader_asm_s = decode["reader-asm"]["median"]
zstd_s = decode["zstd"]["median"]

extract = wine_runs("extract.txt")
extract_s = statistics.median((int(r[3]) - int(r[0])) * TICK for r in extract)      # to the child's creation
parent_ws = statistics.median(int(r[5]) for r in extract)
parent_private = statistics.median(int(r[6]) for r in extract)
baseline_s = statistics.median((int(r[3]) - int(r[0])) * TICK for r in wine_runs("baseline.txt"))
startup_s = statistics.median((int(r[4]) - int(r[0])) * TICK for r in wine_runs("startup.txt"))   # to run_code
bare_s = statistics.median((int(r[1]) - int(r[0])) * TICK for r in wine_runs("bare.txt"))
bare_shell_s = statistics.median((int(r[1]) - int(r[0])) * TICK for r in wine_runs("bare-shell.txt"))

# The same ratios taken round by round (the series are interleaved), which
# is steadier when the machine's load changes during the run.
extract_paired = statistics.median(
    (int(e[3]) - int(e[0])) / ((int(b[3]) - int(b[0])) + reader_s / TICK)
    for e, b in zip(extract, wine_runs("baseline.txt")))
startup_paired = statistics.median(
    (int(s[4]) - int(s[0])) / (2 * (int(b[1]) - int(b[0])))
    for s, b in zip(wine_runs("startup.txt"), wine_runs("bare.txt")))

# To a console program's first statement: packed as a program entry (the
# runner starts it), as an application DLL through velsor/app.h, started
# directly. The entry's target: the adapter's time plus 1.2 bare starts.
first = {kind: wine_runs("first-%s.txt" % kind) for kind in ("runner", "adapter", "direct")}
first_s = {kind: statistics.median((int(r[4]) - int(r[0])) * TICK for r in runs) for kind, runs in first.items()}
runner_paired = statistics.median(
    ((int(e[4]) - int(e[0])) - (int(a[4]) - int(a[0]))) / (int(b[1]) - int(b[0]))
    for e, a, b in zip(first["runner"], first["adapter"], wine_runs("bare.txt")))

sizes = {os.path.basename(p): int(s) for p, s in lines("sizes.txt")}
block, tarzst, zipped = sizes["block.bin"], sizes["tree.tar.zst"], sizes["tree.zip"]

pack = {}
for threads in (1, 2):
    runs = [lines("pack-%d-%d.txt" % (threads, i))[0] for i in (1, 2, 3)]
    pack[threads] = (statistics.median(float(r[0]) for r in runs), statistics.median(int(r[1]) for r in runs))

def medians(name):
    return {r["command"]: r["median"] for r in json.load(open(os.path.join(raw, name)))["results"]}


pack_vs_zstd = medians("pack-vs-zstd.json")
archive_bytes = int(lines("archive-size.txt")[0][0])
link40_s = medians("link40.json")["link"]
block40_bytes = int(lines("block40-size.txt")[0][0])

MB = 1e6
rows = [
    ("decode: reader vs zstd -d (host)", "%.1f MB/s vs %.1f MB/s" % (decoded_bytes / reader_s / MB, decoded_bytes / zstd_s / MB),
     reader_s / zstd_s, "-"),
    ("  same, zstd built with its asm decoder", "%.1f MB/s" % (decoded_bytes / reader_asm_s / MB), reader_asm_s / zstd_s, "-"),
    ("extraction: start to child start", "%.0f ms vs %.0f + %.0f ms" % (extract_s * 1e3, baseline_s * 1e3, reader_s * 1e3),
     extract_s / (baseline_s + reader_s), "<= 1.20"),
    ("  same, median of per-round ratios", "", extract_paired, "<= 1.20"),
    ("start-up: start to run_code (tiny)", "%.0f ms vs 2 x %.0f ms" % (startup_s * 1e3, bare_s * 1e3),
     startup_s / (2 * bare_s), "<= 1.30"),
    ("  same, median of per-round ratios", "", startup_paired, "<= 1.30"),
    ("  start-up against 2 starts of a program importing SHELL32", "%.0f ms vs 2 x %.0f ms" % (startup_s * 1e3, bare_shell_s * 1e3),
     startup_s / (2 * bare_shell_s), "-"),
    ("start-up to main: program entry (runner) vs adapter header vs direct",
     "%.0f vs %.0f vs %.0f ms" % (first_s["runner"] * 1e3, first_s["adapter"] * 1e3, first_s["direct"] * 1e3), None, "-"),
    ("  program entry minus adapter, in bare process starts", "%.0f ms vs %.0f ms" % (
        (first_s["runner"] - first_s["adapter"]) * 1e3, bare_s * 1e3), (first_s["runner"] - first_s["adapter"]) / bare_s,
     "<= 1.20"),
    ("  same, median of per-round ratios", "", runner_paired, "<= 1.20"),
    ("size: block vs tar piped into zstd -19 --long=27", "%d vs %d bytes" % (block, tarzst), block / tarzst, "<= 1.02"),
    ("size: block vs zip -9", "%d vs %d bytes" % (block, zipped), block / zipped, "well under 1"),
    ("pack time: velsor-pack build vs zstd -19 -T2 on the %.1f MB archive" % (archive_bytes / MB),
     "%.1f s vs %.1f s" % (pack_vs_zstd["velsor-pack"], pack_vs_zstd["zstd"]),
     pack_vs_zstd["velsor-pack"] / pack_vs_zstd["zstd"], "<= 1.05"),
    ("write the executable from a ready %.1f MB block (link)" % (block40_bytes / MB), "%.3f s" % link40_s, None,
     "< 0.2 s"),
    ("pack time, 2 threads vs 1", "%.1f s vs %.1f s" % (pack[2][0], pack[1][0]), pack[2][0] / pack[1][0], "-"),
    ("pack peak memory, 1 / 2 threads", "%.0f / %.0f MB" % (pack[1][1] / 1024, pack[2][1] / 1024), None, "-"),
    ("parent peak memory while extracting", "%.0f MB working set, %.0f MB private" % (parent_ws / MB, parent_private / MB),
     None, "-"),
]
print("workload: " + open(os.path.join(raw, "workload.txt")).read().strip().split(": ", 1)[1])
print("decompressed archive: %d bytes" % decoded_bytes)
print()
print("| figure | measured | ratio | target |")
print("|---|---|---|---|")
for name, measured, ratio, target in rows:
    print("| %s | %s | %s | %s |" % (name, measured, "-" if ratio is None else "%.3f" % ratio, target))
