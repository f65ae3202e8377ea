#!/usr/bin/env bash
# Starts korvane. On a machine without a display it says so, runs the tool
# under Xvfb, saves a screenshot of its window and prints where it is.
set -euo pipefail
bin=$(readlink -f "$1")
shot_dir=$(dirname "$bin")/..
shot=$(readlink -f "$shot_dir")/korvane-screenshot.png

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec "$bin"
fi

echo "No display found (DISPLAY is not set): starting korvane under Xvfb instead."
display=""
for n in $(seq 90 130); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "No free X display number for Xvfb." >&2; exit 1; }

Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
tool=""
cleanup() {
    [ -n "$tool" ] && kill "$tool" 2>/dev/null && wait "$tool" 2>/dev/null
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

"$bin" &
tool=$!
for _ in $(seq 100); do
    xwininfo -name Korvane 2>/dev/null | grep -q 'IsViewable' && break
    kill -0 "$tool" 2>/dev/null || { echo "korvane exited early." >&2; exit 1; }
    sleep 0.1
done
sleep 1 # let the first paint land before the picture is taken
xwd -silent -name Korvane | xwdtopnm 2>/dev/null | pnmtopng > "$shot"
echo "korvane is running on $display; screenshot of its window: $shot"

if [ -t 0 ]; then
    echo "Press Ctrl-C to stop it."
    wait "$tool"
else
    echo "Standard input is not a terminal: closing korvane again."
fi
