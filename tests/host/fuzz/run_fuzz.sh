#!/usr/bin/env bash
# Runs the payload fuzzers.
#   run_fuzz.sh replay BIN_DIR CORPUS_DIR REGRESSION_DIR
#       every regression input must end as its name says; the seed corpus
#       (real blocks) must extract completely; both fuzz targets run once over
#       the corpus and the regressions.
#   run_fuzz.sh fuzz BIN_DIR CORPUS_DIR WORK_DIR SECONDS
#       fuzzes both targets, SECONDS in all, from a fresh copy of the corpus;
#       crashing inputs are left in WORK_DIR as crash-*.
set -euo pipefail
mode=$1 bin=$2 corpus=$3

fuzz_options=(-rss_limit_mb=2048 -timeout=10 -print_final_stats=1)

if [ "$mode" = replay ]; then
  regressions=$4
  "$bin/walk_replay" "$regressions"/block/*.bin "$regressions"/archive/*.bin
  "$bin/walk_replay" --expect completed "$corpus"/block/*.bin "$corpus"/archive/*.bin
  "$bin/fuzz_block" "${fuzz_options[@]}" -runs=0 "$corpus/block" "$regressions/block"
  "$bin/fuzz_archive" "${fuzz_options[@]}" -runs=0 "$corpus/archive" "$regressions/archive"
  exit 0
fi

work=$4 seconds=$5
rm -rf "$work"
mkdir -p "$work"
status=0
for target in block archive; do
  cp -r "$corpus/$target" "$work/$target"
  echo "== fuzz_$target for $((seconds / 2)) s"
  "$bin/fuzz_$target" "${fuzz_options[@]}" -max_total_time=$((seconds / 2)) \
      -artifact_prefix="$work/crash-$target-" "$work/$target" 2>&1 \
    | grep -E '^(#[0-9]+ +(INITED|DONE)|stat::|==[0-9]+==|SUMMARY|walk invariant|Done )' || true
  ls "$work"/crash-"$target"-* >/dev/null 2>&1 && { echo "fuzz_$target found a crash:"; ls "$work"/crash-"$target"-*; status=1; }
done
exit $status
