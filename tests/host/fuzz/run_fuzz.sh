#!/usr/bin/env bash
# Runs the payload fuzzers and the PE reader's fuzzer.
#   run_fuzz.sh replay BIN_DIR CORPUS_DIR REGRESSION_DIR
#       every regression input must end as its name says; the seed corpus
#       (real blocks) must extract completely; both fuzz targets run once over
#       the corpus and the regressions.
#   run_fuzz.sh fuzz BIN_DIR CORPUS_DIR WORK_DIR SECONDS
#       fuzzes both targets, SECONDS in all, from a fresh copy of the corpus;
#       crashing inputs are left in WORK_DIR as crash-*.
#   run_fuzz.sh pe-replay BIN_DIR REGRESSION_DIR SEED...
#       fuzz_pe runs once over the regression inputs and the seeds (real
#       programs, DLLs and packed executables).
#   run_fuzz.sh pe-fuzz BIN_DIR WORK_DIR SECONDS SEED...
#       fuzzes fuzz_pe for SECONDS from a fresh copy of the seeds.
set -euo pipefail
mode=$1 bin=$2 corpus=$3

fuzz_options=(-rss_limit_mb=2048 -timeout=10 -print_final_stats=1)
# A PE file of a few MiB gives no reason to allocate more than this.
pe_options=(-rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=10 -print_final_stats=1)
summary='^(#[0-9]+ +(INITED|DONE)|stat::|==[0-9]+==|SUMMARY|walk invariant|Done )'

if [ "$mode" = pe-replay ]; then
  seeds=$(mktemp -d)
  trap 'rm -rf "$seeds"' EXIT
  cp "${@:4}" "$seeds"/
  "$bin/fuzz_pe" "${pe_options[@]}" -runs=0 "$corpus" "$seeds" 2>&1 | grep -E "$summary"
  exit "${PIPESTATUS[0]}"
fi

if [ "$mode" = pe-fuzz ]; then
  work=$3 seconds=$4
  rm -rf "$work"
  mkdir -p "$work/pe"
  cp "${@:5}" "$work/pe"/
  "$bin/fuzz_pe" "${pe_options[@]}" -max_total_time="$seconds" -artifact_prefix="$work/crash-pe-" \
      "$work/pe" 2>&1 | grep -E "$summary" || true
  if ls "$work"/crash-pe-* >/dev/null 2>&1; then
    echo "fuzz_pe found a crash:"; ls "$work"/crash-pe-*; exit 1
  fi
  exit 0
fi

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
    | grep -E "$summary" || true
  ls "$work"/crash-"$target"-* >/dev/null 2>&1 && { echo "fuzz_$target found a crash:"; ls "$work"/crash-"$target"-*; status=1; }
done
exit $status
