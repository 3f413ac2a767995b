#!/usr/bin/env bash
# Sets up, builds, then runs the packed example application under Wine.
# Arguments are passed to it, e.g. scripts/example.sh 3 "two words".
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/scripts/setup.sh"
"$repo/scripts/build.sh" velsor_example  # the packer and the example only
source "$repo/scripts/wine-env.sh"
echo "--- packed: $VELSOR_BUILD_DIR/windows/bin/hello.exe"
set +e
wine "$VELSOR_BUILD_DIR/windows/bin/hello.exe" "$@"
status=$?
set -e
echo "--- exit status: $status"
