#!/usr/bin/env bash
# `make package-check`, run by CI after `make package`: the package in
# build-package/ passes lintian (no error, no warning), its desktop entry and
# AppStream entry validate, it holds the same files as `cmake --install`, and
# installed with apt-get its korvane opens its window under Xvfb, its
# korvane-sim answers --help, korvane-cli --version, Debian's python3 imports
# its korvane module and pytest lists its plugin's --korvane-port. The
# package is removed again at the end,
# whether the check passed or not. Installing needs root or sudo.
# Then, as root, the same package is installed without recommends into a
# minimal Debian (scripts/minimal-debian.sh, bootstrapped once and cached),
# in a mount and PID namespace of its own, and its window must show there:
# the package's Depends are all the window needs.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVANE_PACKAGE_BUILD:-$root/build-package}
case "$build" in /*) ;; *) build=$root/$build ;; esac

KORVANE_DEPS_EXTRA="lintian desktop-file-utils appstream debootstrap" "$root/scripts/install-deps.sh"

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

step "korvane-cli --version"
[ "$(/usr/bin/korvane-cli --version)" = "korvane-cli $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ]

step "python3 imports korvane, pytest lists --korvane-port"
# From the package alone: no PYTHONPATH, nothing of the source tree.
(cd "$work" && env -u PYTHONPATH /usr/bin/python3 -c "import korvane")
help=$(cd "$work" && env -u PYTHONPATH /usr/bin/python3 -m pytest --help)
grep -q -- '--korvane-port' <<<"$help"

# The screenshot $1 (PNM) is the tool's window: its size, and more colours
# than an empty or half-drawn one has. Sets width and height.
window_shown() {
    local size colours
    size=$(pamfile "$1" | sed -n 's/.*, \([0-9]*\) by \([0-9]*\) .*/\1 \2/p')
    colours=$(ppmhist -noheader "$1" | wc -l)
    read -r width height <<< "$size"
    if [ "${width:-0}" -lt 600 ] || [ "${height:-0}" -lt 400 ] || [ "$colours" -lt 8 ]; then
        echo "package-check: the window's screenshot is ${width:-?}x${height:-?} with $colours colours: not the tool's window" >&2
        return 1
    fi
}

step "korvane opens its window under Xvfb"
shot=$work/korvane.png
(cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY KORVANE_SCREENSHOT="$shot" \
    "$root/scripts/run-korvane.sh" /usr/bin/korvane </dev/null)
pngtopnm "$shot" > "$work/korvane.pnm"
window_shown "$work/korvane.pnm"

step "apt-get remove korvane"
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 remove --purge -y -qq korvane >/dev/null
installed=""
[ ! -e /usr/bin/korvane ] || { echo "package-check: /usr/bin/korvane is still there after removal" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
    echo "package-check: the install into a minimal Debian needs root: skipped" >&2
    step "passed (window ${width}x${height}), without the minimal Debian"
    exit 0
fi
# Run in the namespaces that package-check makes: installs the package $3
# without recommends into an overlay of the minimal Debian $1 (the overlay's
# layers in $2), starts korvane there on an Xvfb of its own and checks its
# window. The mounts, Xvfb and the tool go when the namespaces end.
in_minimal_debian() {
    local tree=$1 work=$2 deb=$3
    local sys=$work/system
    xvfb="" tool="" # not local: the EXIT trap reads them
    # Xvfb ended with TERM removes its socket and lock file, which a SIGKILL
    # at the namespace's end would leave behind.
    trap 'set +e; kill $tool $xvfb 2>/dev/null; wait' EXIT
    mkdir -p "$work/upper" "$work/overlay-work" "$sys"
    mount -t overlay overlay -o "lowerdir=$tree,upperdir=$work/upper,workdir=$work/overlay-work" "$sys"
    mount -t proc proc "$sys/proc"
    mount --rbind /dev "$sys/dev"
    # The fetched packages stay in the cached tree for the next run.
    mount --bind "$tree/var/cache/apt/archives" "$sys/var/cache/apt/archives"
    cp /etc/resolv.conf "$sys/etc/resolv.conf"
    printf '#!/bin/sh\nexit 101\n' > "$sys/usr/sbin/policy-rc.d" # no service is started
    chmod +x "$sys/usr/sbin/policy-rc.d"
    cp "$deb" "$sys/tmp/"
    local apt=(chroot "$sys" env DEBIAN_FRONTEND=noninteractive apt-get -y -qq)
    if ! "${apt[@]}" install --no-install-recommends "/tmp/$(basename "$deb")" >"$work/apt.log" 2>&1; then
        echo "package-check: the install failed with the cached package lists; fetching them again"
        "${apt[@]}" update
        "${apt[@]}" install --no-install-recommends "/tmp/$(basename "$deb")" >"$work/apt.log" 2>&1 ||
            { cat "$work/apt.log" >&2; return 1; }
    fi
    echo "package-check: $(grep -c '^Setting up' "$work/apt.log" || true) packages set up"
    chroot "$sys" korvane-sim --help >/dev/null
    "${apt[@]}" autoclean # packages the mirror no longer has leave the cache

    local number_file=$work/display
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do
        [ -s "$number_file" ] && break
        sleep 0.1
    done
    [ -s "$number_file" ] || { echo "package-check: Xvfb did not start" >&2; return 1; }
    export DISPLAY=":$(head -n 1 "$number_file")"
    mkdir -p "$sys/tmp/.X11-unix"
    mount --bind /tmp/.X11-unix "$sys/tmp/.X11-unix"
    # Only what the package brought: a clean environment, the X11 plugin.
    chroot "$sys" sh -c 'cd /tmp && exec env -i PATH=/usr/bin:/bin HOME=/root DISPLAY="$1" \
        QT_QPA_PLATFORM=xcb korvane' sh "$DISPLAY" </dev/null >"$work/korvane.log" 2>&1 &
    tool=$!
    # Screenshots until one shows the whole window drawn.
    local shown=""
    for _ in $(seq 100); do
        if [[ $(xwininfo -name Korvane 2>/dev/null || true) == *IsViewable* ]] &&
            xwd -silent -name Korvane 2>/dev/null | xwdtopnm 2>/dev/null > "$work/minimal.pnm" &&
            window_shown "$work/minimal.pnm" 2>/dev/null; then
            shown=yes
            break
        fi
        kill -0 "$tool" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$shown" ]; then
        echo "package-check: korvane's window did not show in the minimal Debian; its output:" >&2
        cat "$work/korvane.log" >&2
        [ ! -s "$work/minimal.pnm" ] || window_shown "$work/minimal.pnm" || true
        return 1
    fi
    echo "package-check: window ${width}x${height} in the minimal Debian"
}

started=$SECONDS
step "a minimal Debian (debootstrap minbase, cached)"
tree=$("$root/scripts/minimal-debian.sh")
step "apt-get install --no-install-recommends into $(basename "$tree"), korvane's window there"
unshare --mount --propagation private --pid --fork --kill-child \
    bash -euo pipefail -c "$(declare -f window_shown in_minimal_debian); in_minimal_debian \"\$@\"" \
    inner "$tree" "$work/minimal" "$deb"
step "minimal Debian: $((SECONDS - started)) s"
step "passed (window ${width}x${height})"
