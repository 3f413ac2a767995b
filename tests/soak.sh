#!/usr/bin/env bash
# Runs chosen tests of an existing build again and again, to bring out
# failures that show only now and then.
#
#   tests/soak.sh N [REGEX...]
#
# Every ctest test whose name matches one of the regular expressions (all
# tests when none is given) runs N times, one test at a time, with ctest in
# the build directory (VELSOR_BUILD_DIR, default build/) and Wine started as
# scripts/test.sh starts it. The output of every failing run is kept in a
# file of its own under SOAK_LOG_DIR (default build/soak/<date>), and the
# summary at the end gives, for each test, its runs and failures and lists
# those files. Exit status: 0 when nothing failed, 1 otherwise, 2 for a
# usage error. Does not build; run scripts/build.sh first.
set -euo pipefail
if [[ $# -lt 1 || ! $1 =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: tests/soak.sh N [REGEX...]" >&2
  exit 2
fi
repetitions=$1
shift
repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/scripts/wine-env.sh"
cd "$VELSOR_BUILD_DIR"

# The names of the tests chosen, each once, in ctest's order.
patterns=("$@")
[[ ${#patterns[@]} -gt 0 ]] || patterns=(".")
mapfile -t tests < <(for p in "${patterns[@]}"; do
  ctest -N -R "$p" | sed -n 's/^ *Test *#[0-9]*: //p'
done | awk '!seen[$0]++')
if [[ ${#tests[@]} -eq 0 ]]; then
  echo "soak: no test matches: ${patterns[*]}" >&2
  exit 2
fi

logs=${SOAK_LOG_DIR:-$VELSOR_BUILD_DIR/soak/$(date -u +%Y%m%dT%H%M%SZ)}
mkdir -p "$logs"
# Started here, the Wine server is ended here; one that was already running
# (another soak or test run on the same prefix) is left to its owner.
if wineserver -p 2>/dev/null; then
  trap wine_stop EXIT
fi
wine_start

declare -A runs failures
kept=()
# The summary, also when the soak is interrupted: the runs completed so far.
summary() {
  echo
  echo "soak: summary"
  local t total=0
  for t in "${tests[@]}"; do
    printf '  %-32s %d runs, %d failed\n' "$t" "${runs[$t]:-0}" "${failures[$t]:-0}"
    total=$((total + ${failures[$t]:-0}))
  done
  for f in "${kept[@]}"; do
    echo "  failing output: $f"
  done
  [[ $total -eq 0 ]]
}
trap 'summary; exit 1' INT TERM

echo "soak: ${tests[*]}, $repetitions times; failing outputs go to $logs"
for ((rep = 1; rep <= repetitions; rep++)); do
  for t in "${tests[@]}"; do
    out=$logs/$t.$rep.log
    started=$SECONDS
    if ctest -R "^$t\$" --output-on-failure --timeout 1800 >"$out" 2>&1; then
      rm -f "$out"
      echo "soak: $rep/$repetitions $t passed ($((SECONDS - started)) s)"
    else
      failures[$t]=$((${failures[$t]:-0} + 1))
      kept+=("$out")
      echo "soak: $rep/$repetitions $t FAILED ($((SECONDS - started)) s), output in $out"
      cat "$out"
    fi
    runs[$t]=$((${runs[$t]:-0} + 1))
  done
done
summary
