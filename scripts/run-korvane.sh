#!/usr/bin/env bash
# Starts korvane. On a machine without a display it says so, runs the tool
# under Xvfb, saves a screenshot of its window and prints where it is: next
# to the build folder of the binary, or KORVANE_SCREENSHOT.
set -euo pipefail
bin=$(readlink -f "$1")
shot_dir=$(dirname "$bin")/..
shot=${KORVANE_SCREENSHOT:-$(readlink -f "$shot_dir")/korvane-screenshot.png}

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec "$bin"
fi

echo "No display found (DISPLAY is not set): starting korvane under Xvfb instead."
# Xvfb picks a free display number itself and writes it once it accepts
# clients, so two runs started at the same moment never race for one number.
number_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
xvfb=$!
tool=""
cleanup() {
    [ -n "$tool" ] && kill "$tool" 2>/dev/null && wait "$tool" 2>/dev/null
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
    rm -f "$number_file"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for _ in $(seq 100); do
    [ -s "$number_file" ] && break
    kill -0 "$xvfb" 2>/dev/null || { echo "Xvfb did not start." >&2; exit 1; }
    sleep 0.1
done
[ -s "$number_file" ] || { echo "Xvfb did not report a display within 10 s." >&2; exit 1; }
display=":$(head -n 1 "$number_file")"
export DISPLAY=$display

"$bin" &
tool=$!
for _ in $(seq 100); do
    [[ $(xwininfo -name Korvane 2>/dev/null || true) == *IsViewable* ]] && break
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
