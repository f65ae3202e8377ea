#!/usr/bin/env bash
# A minimal Debian of the machine's own release (debootstrap --variant=minbase)
# for `make package-check` to install the package into. It is bootstrapped
# once from the machine's own Debian mirror, with the machine's Debian
# sources and their package lists, and kept in ~/.cache/korvane (or
# $KORVANE_CACHE) in a folder named after those sources; the check works on
# an overlay of it and never changes it. Prints the folder. Needs root.
set -euo pipefail

cache=${KORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/korvane}
# shellcheck source=/dev/null
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
arch=$(dpkg --print-architecture)
[ -n "$codename" ] || { echo "minimal-debian: /etc/os-release names no release" >&2; exit 1; }

# The machine's Debian entries, as apt reads them whatever the format of the
# sources files: "URI SUITE COMPONENT" per line; the first of the release
# itself is the mirror to bootstrap from.
sources=$(apt-get indextargets --format '$(ORIGIN) $(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' |
    awk '$1 == "Debian" { print $2, $3, $4 }' | sort -u)
mirror=$(awk -v s="$codename" '$2 == s { print $1; exit }' <<<"$sources")
[ -n "$mirror" ] || {
    echo "minimal-debian: no Debian $codename entry with package lists in apt's sources (run apt-get update)" >&2
    exit 1
}

key=$(printf '%s\n' "$arch" "$sources" | sha256sum | cut -c1-12)
tree=$cache/debian-$codename-$arch-minbase-$key
mkdir -p "$cache"
exec 9>"$cache/debian.lock"
flock 9
# Trees of sources no longer in use go.
find "$cache" -maxdepth 1 -name "debian-*-minbase-*" ! -name "$(basename "$tree")" -exec rm -rf {} +
if [ -d "$tree" ]; then
    echo "$tree"
    exit 0
fi

# Built beside its final name and renamed when whole, so an interrupted
# bootstrap is started again rather than used.
partial=$tree.partial
rm -rf "$partial"
echo "minimal-debian: bootstrapping Debian $codename (minbase) from $mirror into $tree" >&2
log=$cache/debootstrap.log
debootstrap --variant=minbase --arch="$arch" "$codename" "$partial" "$mirror" >"$log" 2>&1 || {
    tail -n 20 "$log" >&2
    echo "minimal-debian: debootstrap failed; its log: $log" >&2
    exit 1
}
awk '{ by[$1 " " $2] = by[$1 " " $2] " " $3 } END { for (k in by) print "deb " k by[k] }' <<<"$sources" |
    sort > "$partial/etc/apt/sources.list"
cp /etc/resolv.conf "$partial/etc/resolv.conf"
# The package lists, fetched in a mount namespace of their own so that the
# /proc mounted for apt goes away with it.
unshare --mount --propagation private sh -c \
    'mount -t proc proc "$1/proc" && chroot "$1" apt-get update -qq' sh "$partial" >&2
rm -f "$partial"/var/cache/apt/archives/*.deb
mv "$partial" "$tree"
echo "$tree"
