#!/usr/bin/env bash
# `make package-check`, run by CI after `make package`: the package in
# build-package/ passes lintian (no error, no warning), its desktop entry and
# AppStream entry validate, it holds the same files as `cmake --install`, and
# installed with apt-get its korvane opens its window under Xvfb, its
# korvane-sim answers --help, Debian's python3 imports its korvane module and
# pytest lists its plugin's --korvane-port. The package is removed again at the end,
# whether the check passed or not. Installing needs root or sudo.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVANE_PACKAGE_BUILD:-$root/build-package}
case "$build" in /*) ;; *) build=$root/$build ;; esac

KORVANE_DEPS_EXTRA="lintian desktop-file-utils appstream" "$root/scripts/install-deps.sh"

debs=("$build"/korvane_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "package-check: no single korvane_*.deb in $build (run make package)" >&2; exit 1; }
deb=${debs[0]}

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || { echo "package-check: installing the package needs root or sudo" >&2; exit 1; }
    sudo="sudo"
fi
if [ "$(dpkg-query -W -f='${Status}' korvane 2>/dev/null || true)" = "install ok installed" ]; then
    echo "package-check: korvane is installed already; this check installs and removes it, so remove it first" >&2
    exit 1
fi

work=$(mktemp -d)
installed=""
cleanup() {
    if [ -n "$installed" ]; then
        DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 remove --purge -y -qq korvane >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
step() { echo "package-check: $*"; }

step "lintian $(basename "$deb")"
lintian --display-info --fail-on error,warning "$deb"

dpkg-deb -x "$deb" "$work/deb"
step "desktop-file-validate, appstreamcli validate"
desktop-file-validate "$work"/deb/usr/share/applications/*.desktop
appstreamcli validate --no-net "$work"/deb/usr/share/metainfo/*.metainfo.xml

step "the package holds what cmake --install installs"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
(cd "$work/deb/usr" && find . -type f | sort) > "$work/deb.files"
(cd "$work/prefix" && find . -type f | sort) > "$work/install.files"
diff -u "$work/deb.files" "$work/install.files"

step "apt-get install $deb"
installed=yes
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "$deb" >/dev/null

step "korvane-sim --help"
# Captured first: grep -q stops reading at the first match, and the writer's
# SIGPIPE would fail the step under pipefail.
help=$(/usr/bin/korvane-sim --help)
grep -q '^Usage: korvane-sim' <<<"$help"

step "python3 imports korvane, pytest lists --korvane-port"
# From the package alone: no PYTHONPATH, nothing of the source tree.
(cd "$work" && env -u PYTHONPATH /usr/bin/python3 -c "import korvane")
help=$(cd "$work" && env -u PYTHONPATH /usr/bin/python3 -m pytest --help)
grep -q -- '--korvane-port' <<<"$help"

step "korvane opens its window under Xvfb"
shot=$work/korvane.png
(cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY KORVANE_SCREENSHOT="$shot" \
    "$root/scripts/run-korvane.sh" /usr/bin/korvane </dev/null)
pngtopnm "$shot" > "$work/korvane.pnm"
size=$(pamfile "$work/korvane.pnm" | sed -n 's/.*, \([0-9]*\) by \([0-9]*\) .*/\1 \2/p')
colours=$(ppmhist -noheader "$work/korvane.pnm" | wc -l)
read -r width height <<< "$size"
if [ "${width:-0}" -lt 600 ] || [ "${height:-0}" -lt 400 ] || [ "$colours" -lt 8 ]; then
    echo "package-check: the window's screenshot is ${width:-?}x${height:-?} with $colours colours: not the tool's window" >&2
    exit 1
fi

step "apt-get remove korvane"
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 remove --purge -y -qq korvane >/dev/null
installed=""
[ ! -e /usr/bin/korvane ] || { echo "package-check: /usr/bin/korvane is still there after removal" >&2; exit 1; }
step "passed (window ${width}x${height})"
