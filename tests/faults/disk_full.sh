#!/usr/bin/env bash
# Mounts a 1 MB tmpfs and a read-only tmpfs, then runs disk_full_test.exe
# under Wine with them as the launcher's temporary directory.
#   disk_full.sh TEST_EXE WINEPREFIX
# Mounting needs root (as in CI); otherwise the test is skipped (status 77).
set -euo pipefail
test_exe=$1
export WINEPREFIX=$2 WINEDEBUG=-all

if [ "$(id -u)" != 0 ]; then
  echo "skipped: mounting a tmpfs needs root"
  exit 77
fi
root=$(mktemp -d /tmp/velsor_disk_faults_XXXXXX)
full=$root/full
readonly_dir=$root/readonly
mkdir -p "$full" "$readonly_dir"
cleanup() {
  umount "$full" 2>/dev/null || true
  umount "$readonly_dir" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
if ! mount -t tmpfs -o size=1m velsor_full "$full"; then
  echo "skipped: cannot mount a tmpfs here"
  exit 77
fi
mount -t tmpfs -o ro,size=1m velsor_readonly "$readonly_dir"

windows_path() { local p=${1//\//\\}; echo "Z:$p"; }
export VELSOR_FAULTS_FULL_DIR=$(windows_path "$full")
export VELSOR_FAULTS_READONLY_DIR=$(windows_path "$readonly_dir")
wine "$test_exe"
