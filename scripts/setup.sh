#!/usr/bin/env bash
# Prepares a Debian 12 machine (as root) to build and test velsor.
# Idempotent: every step checks whether it is already done.
#   - installs the Debian packages the build and the tests need
#   - fetches the pinned zstd source from Debian's source archive into build/_deps
#   - creates the Wine prefix the tests run in, inside the build directory
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VELSOR_BUILD_DIR:-$repo/build}
zstd_version=1.5.4
zstd_package=libzstd=1.5.4+dfsg2-5
deps=$build/_deps
export DEBIAN_FRONTEND=noninteractive

packages=(
  cmake ninja-build g++ python3 zip zstd libzstd-dev googletest
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine
  clang libclang-rt-14-dev hyperfine
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

sources=/etc/apt/sources.list.d/debian.sources
need_src=0
[ -f "$deps/zstd-$zstd_version/lib/zstd.h" ] || need_src=1
if [ "$need_src" = 1 ] && [ -f "$sources" ] && ! grep -q '^Types:.*deb-src' "$sources"; then
  sed -i 's/^Types: deb$/Types: deb deb-src/' "$sources"
  missing+=(__update__)
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing packages: ${missing[*]}"
  apt-get update -qq
  pkgs=()
  for p in "${missing[@]}"; do [ "$p" = __update__ ] || pkgs+=("$p"); done
  [ ${#pkgs[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${pkgs[@]}" >/dev/null
fi

# zstd's source, pinned, decompression side built for Windows by cmake/zstd.cmake.
if [ "$need_src" = 1 ]; then
  echo "setup: fetching zstd $zstd_version source"
  mkdir -p "$deps/download"
  (cd "$deps/download" && apt-get source --download-only "$zstd_package" >/dev/null 2>&1 \
     || { apt-get update -qq && apt-get source --download-only "$zstd_package" >/dev/null; })
  tar -C "$deps" -xf "$deps"/download/libzstd_*.orig.tar.xz
  test -f "$deps/zstd-$zstd_version/lib/zstd.h"
fi

# The Wine prefix lives in the build directory; the first boot takes a few seconds.
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "setup: creating the Wine prefix"
  mkdir -p "$WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1 || true
  wineserver -w
fi
echo "setup: ready (build directory $build)"
