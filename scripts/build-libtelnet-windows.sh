#!/usr/bin/env bash
# libtelnet for Windows, cross-built from Debian's own source with Debian's
# MinGW-w64 (the same libtelnet that libtelnet-dev gives the Linux build),
# and kept in a cache outside the work tree as Qt for Windows is
# (scripts/build-qt-windows.sh). korvane-cli.exe links it statically for
# rfc2217:// ports.
#
#   scripts/build-libtelnet-windows.sh   prints the prefix on its last line:
#                                        include/libtelnet.h, lib/libtelnet.a,
#                                        licenses/libtelnet.txt, SOURCE
#
# The cache folder is named after Debian's version and a hash of the recipe
# (cmake/libtelnet-windows and the toolchain file). A build is made in
# "<prefix>.partial" and renamed only when it is complete. Exit code 1, with
# the reason, when Debian's source cannot be had.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
toolchain=$here/cmake/mingw-w64.cmake
recipe_dir=$here/cmake/libtelnet-windows

say() { printf 'build-libtelnet-windows: %s\n' "$*" >&2; }

# The source version of the libtelnet that the Linux build uses.
version=$(dpkg-query -W -f='${source:Version}' libtelnet-dev 2>/dev/null || true)
if [ -z "$version" ]; then
    say "libtelnet-dev is not installed: run scripts/install-deps.sh first"
    exit 1
fi
recipe=$(cat "$recipe_dir/CMakeLists.txt" "$toolchain" | sha256sum | cut -c1-12)
cache=${KORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/korvane}
prefix=$cache/libtelnet-$version-windows-x64-$recipe
. "$here/scripts/windows-cache.sh"
cache_take "$prefix" "$cache/libtelnet.lock"
src_dir=$(debian_source libtelnet "$version" "$cache/src") || exit 1

partial=$prefix.partial
build=$cache/build-libtelnet-$version-$recipe
rm -rf "$partial" "$build"
find "$cache" -maxdepth 1 -name "libtelnet-*-windows-x64-*" ! -name "$(basename "$prefix")*" -exec rm -rf {} + 2>/dev/null || true
say "building libtelnet $version for Windows into $prefix"
{
    cmake -S "$recipe_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DLIBTELNET_SOURCE="$src_dir" -DCMAKE_INSTALL_PREFIX="$partial" \
        && cmake --build "$build" && cmake --install "$build"
} > "$cache/libtelnet-build.log" 2>&1 || { tail -n 20 "$cache/libtelnet-build.log" >&2; say "the build failed: see $cache/libtelnet-build.log"; exit 1; }
# libtelnet is in the public domain; Debian's copyright file says so, and
# where the source came from.
mkdir -p "$partial/licenses"
cp "$src_dir/debian/copyright" "$partial/licenses/libtelnet.txt"
printf '%s\n' "$version" > "$partial/SOURCE"
cache_keep "$partial" "$prefix"
rm -rf "$build"
echo "$prefix"
