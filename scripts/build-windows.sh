#!/usr/bin/env bash
# make windows: the whole program for 64-bit Windows, built on Debian with
# MinGW-w64 against a Qt for Windows built from Debian's own source (once,
# then cached: scripts/build-qt-windows.sh), and shipped two ways:
#
#   build-windows/korvane-<version>-setup.exe        NSIS installer, per user
#   build-windows/korvane-<version>-windows-x64.zip  portable, runs from any folder
#
# build-windows/ also holds app/korvane.exe and the Qt-free transport test
# tests/windows/korvane-wintest.exe that `make test-windows` runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${KORVANE_WINDOWS_BUILD:-$root/build-windows}
jobs=${JOBS:-$(nproc)}

KORVANE_DEPS_EXTRA="g++-mingw-w64-x86-64-posix nsis zip dpkg-dev ${KORVANE_DEPS_EXTRA:-}" "$root/scripts/install-deps.sh"
qt=$("$root/scripts/build-qt-windows.sh" | tail -n 1)
# korvane-cli.exe speaks rfc2217:// with a libtelnet of its own; where
# Debian's source cannot be had, the build goes on without it and says so.
telnet=$("$root/scripts/build-libtelnet-windows.sh" | tail -n 1) \
    || echo "build-windows: korvane-cli.exe is built without rfc2217:// (no libtelnet for Windows)" >&2

# A build folder configured against another Qt (or none) cannot be turned
# around: CMake reads the toolchain only on the first run.
toolchain=$qt/lib/cmake/Qt6/qt.toolchain.cmake
if [ -f "$out/CMakeCache.txt" ] && ! grep -qF "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" "$out/CMakeCache.txt"; then
    rm -rf "$out"
fi
cmake -S "$root" -B "$out" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DKORVANE_LIBTELNET_PREFIX="$telnet" \
    -DCMAKE_BUILD_TYPE=Release -DKORVANE_WERROR=ON >/dev/null
cmake --build "$out" -j "$jobs"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/CMakeCache.txt")
stage=$out/stage
rm -rf "$stage"
cmake --install "$out" --prefix "$stage" >/dev/null
find "$stage" -name '*.exe' -o -name '*.dll' | xargs x86_64-w64-mingw32-strip --strip-unneeded

# The uninstaller removes exactly what was packed, deepest first.
list=$out/uninstall-files.nsh
(
    cd "$stage"
    find . -type f | sort | sed 's|^\./||; s|/|\\|g; s|.*|    Delete "$INSTDIR\\&"|'
    find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|.*|    RMDir "$INSTDIR\\&"|'
) > "$list"

# The installer and the uninstaller wait for every program among them to be
# closed.
programs=$out/program-files.nsh
(cd "$stage" && find . -type f -name '*.exe' | sort | sed 's|^\./||; s|/|\\|g; s|.*|        !insertmacro CheckClosed "&"|') > "$programs"

setup=$out/korvane-$version-setup.exe
makensis -V2 -DSTAGE="$stage" -DUNINSTALL_LIST="$list" -DPROGRAM_LIST="$programs" -DOUTFILE="$setup" "$out/korvane.nsi"

zip=$out/korvane-$version-windows-x64.zip
rm -rf "$out/zip" "$zip"
mkdir -p "$out/zip"
cp -r "$stage" "$out/zip/korvane-$version"
(cd "$out/zip" && zip -q -r -X "$zip" "korvane-$version")
rm -rf "$out/zip"

echo "program:   $out/app/korvane.exe"
echo "installer: $setup ($(du -k "$setup" | cut -f1) KiB)"
echo "zip:       $zip ($(du -k "$zip" | cut -f1) KiB)"
