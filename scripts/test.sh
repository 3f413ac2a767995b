#!/usr/bin/env bash
# Sets up, builds, then runs the whole test suite (host and Windows tests;
# the Windows ones under Wine). Extra arguments go to ctest.
#
# The tests labelled host use no Wine and run two at a time; then the others
# run one at a time, since Wine tests that share the machine are flaky.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/scripts/setup.sh"
"$repo/scripts/build.sh"
source "$repo/scripts/wine-env.sh"
wine_start
trap wine_stop EXIT
cd "$VELSOR_BUILD_DIR"
status=0
ctest --output-on-failure --timeout 600 -L host -j2 "$@" || status=1
ctest --output-on-failure --timeout 600 -LE host "$@" || status=1
exit $status
