#!/usr/bin/env bash
# Renders the application icon packaging/korvane.svg into the PNG sizes of
# the hicolor theme, packaging/icons/<n>x<n>/korvane.png. Run it after
# changing the SVG and commit the result: the build installs the PNGs as
# they are, so it needs no SVG renderer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
KORVANE_DEPS_EXTRA="librsvg2-bin" "$root/scripts/install-deps.sh"
for n in 16 22 24 32 48 64 128 256; do
    mkdir -p "$root/packaging/icons/${n}x${n}"
    rsvg-convert -w "$n" -h "$n" "$root/packaging/korvane.svg" -o "$root/packaging/icons/${n}x${n}/korvane.png"
done
echo "icons written to packaging/icons/"
