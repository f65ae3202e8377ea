#!/usr/bin/env bash
# Starts the device simulator on COM1, sending a few frames a second, then the
# tool: click "打开" with the spin box at 1 to see live traffic.
set -euo pipefail
build=$(readlink -f "${1:-build}")
sim="$build/sim/korvane-sim"
ports="${XDG_CONFIG_HOME:-$HOME/.config}/korvane/ports"

"$sim" --serial COM1 --rate 3 --frame "01 0A FF" --frame "10 01 02 03 04" --frame "7F 2E F0" --bad-share 0.1 &
simpid=$!
trap 'kill "$simpid" 2>/dev/null; wait "$simpid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -L "$ports/COM1" ] && break
    kill -0 "$simpid" 2>/dev/null || { echo "korvane-sim did not start." >&2; exit 1; }
    sleep 0.05
done
echo "Simulated device on COM1 ($ports/COM1). Click 打开 in the window to open it."
"$(dirname "$0")/run-korvane.sh" "$build/app/korvane"
