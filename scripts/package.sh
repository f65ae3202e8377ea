#!/usr/bin/env bash
# `make package`: a release build of the two programs in build-package/ (the
# test suites left out), packed by CPack into build-package/korvane_<version>_<arch>.deb.
# Prints the path of the package.
#
# Debian's build flags (all hardening, file-prefix maps) come from dpkg-buildflags.
# SOURCE_DATE_EPOCH, when not set, is the time of the last commit, so the
# version label's build day, the file times in the package and the package
# itself are the same however often it is built from that commit.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVANE_PACKAGE_BUILD:-$root/build-package}
case "$build" in /*) ;; *) build=$root/$build ;; esac

KORVANE_DEPS_EXTRA="${KORVANE_DEPS_EXTRA:+$KORVANE_DEPS_EXTRA }dpkg-dev file" "$root/scripts/install-deps.sh"

if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
fi
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    export SOURCE_DATE_EPOCH
fi

cd "$root" # dpkg-buildflags maps the folder it runs in out of the binaries
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKORVANE_WERROR=ON -DKORVANE_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
rm -f "$build"/korvane_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/korvane_*.deb)
echo "package: $deb"
