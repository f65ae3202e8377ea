#!/usr/bin/env bash
# docs/history.png: the history window on a real session. Under Xvfb, the
# window (korvane-window-host, the tool's own start-up) opens COM3, where
# korvane-sim plays a device sending three kinds of frame at 200 a second,
# every twentieth with a wrong checksum; after a few seconds the history of
# the session is opened, as Ctrl+H opens it, and its window is taken.
#   scripts/history-screenshot.sh BUILD_DIR [OUT.png]
set -euo pipefail
build=$(readlink -f "$1")
out=$(readlink -f "${2:-$(dirname "$0")/../docs/history.png}")
work=$(mktemp -d)
number_file="$work/display"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$number_file" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$number_file")" XDG_CONFIG_HOME="$work/config"
unset QT_QPA_PLATFORM
mkdir -p "$XDG_CONFIG_HOME"

"$build/sim/korvane-sim" --serial COM3 --rate 200 --bad-share 0.05 --quiet --stay \
    --frame "01 0A FF" --frame "02 11 22 33 44" --frame "81 55 0A" >"$work/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q '^ready' "$work/sim.out" && break; sleep 0.1; done

(cd "$work" && "$build/tests/support/korvane-window-host" --open-serial 3 --open-history >"$work/host.out" 2>&1) &
pids+=($!)
for _ in $(seq 100); do grep -q '^open 1' "$work/host.out" && break; sleep 0.1; done
grep -q '^open 1' "$work/host.out" || { echo "the window did not open COM3" >&2; cat "$work/host.out" >&2; exit 1; }
sleep 8 # a few seconds of traffic, followed live
id=$(xwininfo -root -tree | grep -F 'Korvane_data.pcapng' | awk '{print $1}' | head -n 1)
[ -n "$id" ] || { echo "no history window" >&2; exit 1; }
xwd -silent -id "$id" | xwdtopnm 2>/dev/null | pnmtopng >"$out"
echo "$out"
