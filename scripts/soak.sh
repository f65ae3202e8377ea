#!/usr/bin/env bash
# The soak (make soak): a million frames from korvane-sim over a
# pseudo-terminal into the real window, a tenth with bad checksums and runs
# of noise between frames; checks every row, the device's ACK and NAK counts,
# and the tool's memory and descriptors, and prints the figures.
#
#   scripts/soak.sh <builddir>
#   SOAK_FRAMES=20000 scripts/soak.sh build     # a quick check
#
# SOAK_FRAMES (1000000) and SOAK_RATE (1000 frames/s: about 17 minutes) set
# the run; SOAK_BAD_SHARE (0.1), SOAK_NOISE_SHARE (0.1) and
# SOAK_RSS_MARGIN_KB (4096) are there too.
set -euo pipefail
build=$(readlink -f "${1:-build}")
cmake --build "$build" --target korvane-soak korvane-window-host korvane-sim >/dev/null
for bin in tests/soak/korvane-soak tests/support/korvane-window-host sim/korvane-sim; do
    [ -x "$build/$bin" ] || { echo "soak: $build/$bin is missing" >&2; exit 2; }
done
exec "$build/tests/soak/korvane-soak" \
    --host "$build/tests/support/korvane-window-host" \
    --sim "$build/sim/korvane-sim"
