#!/usr/bin/env bash
# Renders the application icon packaging/korvane.svg into the PNG sizes of
# the hicolor theme, packaging/icons/<n>x<n>/korvane.png, and the Windows
# icon packaging/windows/korvane.ico from those PNGs. Run it after
# changing the SVG and commit the result: the build installs the PNGs as
# they are, so it needs no SVG renderer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
KORVANE_DEPS_EXTRA="librsvg2-bin icoutils" "$root/scripts/install-deps.sh"
for n in 16 22 24 32 48 64 128 256; do
    mkdir -p "$root/packaging/icons/${n}x${n}"
    rsvg-convert -w "$n" -h "$n" "$root/packaging/korvane.svg" -o "$root/packaging/icons/${n}x${n}/korvane.png"
done
icotool -c -o "$root/packaging/windows/korvane.ico" \
    "$root"/packaging/icons/{16x16,24x24,32x32,48x48,64x64}/korvane.png \
    -r "$root"/packaging/icons/256x256/korvane.png
echo "icons written to packaging/icons/ and packaging/windows/korvane.ico"
