#!/usr/bin/env bash
# Configures and builds everything into build/ (host packer, launcher kit,
# examples, tests), or only the targets given, e.g. scripts/build.sh
# velsor_example. Assumes scripts/setup.sh has run.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VELSOR_BUILD_DIR:-$repo/build}
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" ${1:+--target "$@"}
