#!/usr/bin/env bash
# Sets up, builds, then runs the whole test suite (host and Windows tests;
# the Windows ones under Wine). Extra arguments go to ctest.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/scripts/setup.sh"
"$repo/scripts/build.sh"
source "$repo/scripts/wine-env.sh"
wine_start
trap wine_stop EXIT
cd "$VELSOR_BUILD_DIR"
ctest --output-on-failure --timeout 600 "$@"
