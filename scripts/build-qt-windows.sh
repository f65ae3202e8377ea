#!/usr/bin/env bash
# Qt for Windows, cross-built from Debian's own qt6-base source with Debian's
# MinGW-w64, and kept in a cache outside the work tree so that every later
# build and every clone reuses it.
#
#   scripts/build-qt-windows.sh        prints the Qt prefix on its last line
#
# The cache folder is named after Debian's Qt version and a hash of the
# recipe (Qt's options below, the steps after the install and the toolchain
# file), so a changed recipe never reuses an old build. A build is made in
# "<prefix>.partial" and renamed only when it is complete: an interrupted one
# is found and started again.
#
# Only Core, Gui and Widgets, the Windows platform plugin and the Windows
# style are built, as shared libraries (Qt's LGPL terms ask no more than that
# the user can swap them). They use MinGW's C++ runtime DLLs, which travel
# with the program: one runtime shared by Qt and the tool.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
toolchain=$here/cmake/mingw-w64.cmake

say() { printf 'build-qt-windows: %s\n' "$*" >&2; }

# The host tools (moc, rcc, uic) are Debian's: the Windows Qt must be the
# very same version.
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
if [ -z "$host_version" ]; then
    say "qt6-base-dev is not installed: run scripts/install-deps.sh first"
    exit 1
fi
upstream=${host_version%%+*}
upstream=${upstream%%-*}

# What decides the result: Qt's options, the toolchain and the steps after
# the install. Any change to them names a new cache folder.
qt_options=(
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_testlib=OFF
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
    -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF
    # Left on by itself without OpenGL, where the Windows plugin then fails to build.
    -DFEATURE_dynamicgl=OFF
    # Debian's tarball lacks the tablet header the Windows plugin wants.
    -DFEATURE_tabletevent=OFF
    # Qt's own copies of these, built into its DLLs: nothing else to ship.
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF
    -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF
)
after_install="licenses: LGPL-3.0-only GPL-3.0-only; SOURCE"
recipe=$( { printf '%s\n' "${qt_options[@]}" "$after_install"; cat "$toolchain"; } | sha256sum | cut -c1-12)
cache=${KORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/korvane}
prefix=$cache/qt-$upstream-windows-x64-$recipe
. "$here/scripts/windows-cache.sh"
cache_take "$prefix" "$cache/qt.lock"

# Debian's source package, with Debian's patches applied.
src_dir=$(debian_source qt6-base "$host_version" "$cache/src") || {
    say "needs Debian's source packages: add a deb-src entry for your Debian mirror, then run 'make windows' again"
    exit 1
}
if [ ! -f "$src_dir/CMakeLists.txt" ]; then
    say "the qt6-base source in $src_dir is not whole: remove that folder and run again"
    exit 1
fi

partial=$prefix.partial
build=$cache/build-qt-$upstream-$recipe
rm -rf "$partial" "$build"
# An older recipe's build is of no further use.
find "$cache" -maxdepth 1 -name "qt-*-windows-x64-*" ! -name "$(basename "$prefix")*" -exec rm -rf {} + 2>/dev/null || true

say "building Qt $upstream for Windows into $prefix (about 25 minutes on two cores, once)"
start=$(date +%s)
cmake -S "$src_dir" -B "$build" -G Ninja \
    -DCMAKE_INSTALL_PREFIX="$partial" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)/cmake \
    "${qt_options[@]}" \
    > "$cache/qt-configure.log" 2>&1 || { say "Qt's configure failed: see $cache/qt-configure.log"; exit 1; }
cmake --build "$build" -j "${JOBS:-$(nproc)}" > "$cache/qt-build.log" 2>&1 \
    || { tail -n 30 "$cache/qt-build.log" >&2; say "Qt's build failed: see $cache/qt-build.log"; exit 1; }
cmake --install "$build" > "$cache/qt-install.log" 2>&1
# What the installer carries for Qt's licence: the texts, and where the
# source of these very DLLs comes from.
mkdir -p "$partial/licenses"
cp "$src_dir/LICENSES/LGPL-3.0-only.txt" "$src_dir/LICENSES/GPL-3.0-only.txt" "$partial/licenses/"
printf '%s\n' "$host_version" > "$partial/SOURCE"
cache_keep "$partial" "$prefix"
rm -rf "$build"
say "Qt for Windows built in $(( $(date +%s) - start )) s"
echo "$prefix"
