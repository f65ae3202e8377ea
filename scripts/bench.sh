#!/usr/bin/env bash
# `make bench`: release build in build-release, then the benchmarks in bench/:
# the decoder and receive path, the live runs against korvane-sim, the
# memory soak, the monitor, korvane-cli, the Python package's round trip
# beside pyserial's, the same over ser2net's RFC 2217 (rfc2217), the
# history's index over ten million frames, and the Windows build under Wine. Prints the
# table against the speed budget, writes every figure to bench/results.json
# and the summary to docs/performance.md.
#
# The defaults are the real measurement (five runs each, 60 s per live case,
# one million frames per soak run: well over an hour in all). For a quick
# check: KORVANE_BENCH_RUNS=1 KORVANE_BENCH_SECONDS=10
# KORVANE_BENCH_SOAK_FRAMES=50000 KORVANE_BENCH_DECODER_MIB=8 \
# KORVANE_BENCH_HISTORY_FRAMES=100000 make bench
# KORVANE_BENCH_PARTS picks parts (default "decoder live soak monitor cli python history wine"; rfc2217 on
# demand); a run of some parts keeps the other rows of docs/performance.md.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-release"
parts=${KORVANE_BENCH_PARTS:-decoder live soak monitor cli python history wine}

# Only what the chosen parts run is built.
targets=(korvane-bench-report)
for part in $parts; do
    case "$part" in
        decoder) targets+=(korvane-bench-decoder) ;;
        live|soak) targets+=(korvane-bench-host korvane-bench-live korvane-sim) ;;
        monitor) targets+=(korvane-bench-monitor korvane-sim) ;;
        cli) targets+=(korvane-bench-cli korvane-cli korvane-sim) ;;
        history) targets+=(korvane-bench-history korvane-bench-historywindow) ;;
        python) targets+=(korvane-cli korvane-sim korvane_python) ;;
        rfc2217) targets+=(korvane-bench-cli korvane-cli korvane-sim korvane_python) ;;
        wine) targets+=(korvane-winedriver korvane-sim) ;;
    esac
done
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
part_args=()
for part in $parts; do
    case "$part" in
        decoder)
            "$build/bench/korvane-bench-decoder" --out "$work/decoder.json"
            part_args+=(--part "$work/decoder.json") ;;
        live)
            "$build/bench/korvane-bench-live" --sim "$build/sim/korvane-sim" \
                --host "$build/bench/korvane-bench-host" --out "$work/live.json"
            part_args+=(--part "$work/live.json") ;;
        monitor)
            "$build/bench/korvane-bench-monitor" --sim "$build/sim/korvane-sim" --out "$work/monitor.json"
            part_args+=(--part "$work/monitor.json") ;;
        cli)
            "$build/bench/korvane-bench-cli" --sim "$build/sim/korvane-sim" --cli "$build/cli/korvane-cli" \
                --out "$work/cli.json"
            part_args+=(--part "$work/cli.json") ;;
        python)
            # Debian's python3 and pyserial, the package as the build lays it out.
            KORVANE_DEPS_EXTRA="python3 python3-serial" "$root/scripts/install-deps.sh"
            PYTHONPATH="$build/python/site" /usr/bin/python3 "$root/bench/pyroundtrip.py" \
                --sim "$build/sim/korvane-sim" --cli "$build/cli/korvane-cli" \
                --out "$work/python.json"
            part_args+=(--part "$work/python.json") ;;
        rfc2217)
            # ser2net in front of the simulator's line, as labgrid's exporter runs it.
            KORVANE_DEPS_EXTRA="python3 python3-serial ser2net" "$root/scripts/install-deps.sh"
            PYTHONPATH="$build/python/site" /usr/bin/python3 "$root/bench/pyroundtrip.py" --rfc2217 \
                --sim "$build/sim/korvane-sim" --cli "$build/cli/korvane-cli" --out "$work/rfc2217-python.json"
            "$build/bench/korvane-bench-cli" --rfc2217 --sim "$build/sim/korvane-sim" --cli "$build/cli/korvane-cli" \
                --out "$work/rfc2217-cli.json"
            part_args+=(--part "$work/rfc2217-python.json" --part "$work/rfc2217-cli.json") ;;
        history)
            # About 1 GB of files, written beside the build rather than in a tmpfs /tmp.
            "$build/bench/korvane-bench-history" --dir "$build" --out "$work/history.json"
            "$build/bench/korvane-bench-historywindow" --dir "$build" --out "$work/historywindow.json"
            part_args+=(--part "$work/history.json" --part "$work/historywindow.json") ;;
        wine)
            # The installer from make windows; one run of KORVANE_BENCH_SECONDS.
            make -C "$root" windows >/dev/null
            KORVANE_DEPS_EXTRA="wine64 wine xdotool" "$root/scripts/install-deps.sh"
            setup=$(ls -t "$root"/build-windows/korvane-*-setup.exe | head -n 1)
            KORVANE_WINE_STREAM_SECONDS=${KORVANE_BENCH_SECONDS:-60} KORVANE_WINE_BENCH_OUT="$work/wine.json" \
                "$build/tests/windows/korvane-winedriver" "$root/build-windows/tests/windows/korvane-wintest.exe" \
                "$setup" "$build/sim/korvane-sim" | grep -E '^(wine: |FAIL)' || true
            part_args+=(--part "$work/wine.json") ;;
        soak)
            "$build/bench/korvane-bench-live" --soak --sim "$build/sim/korvane-sim" \
                --host "$build/bench/korvane-bench-host" --out "$work/soak.json"
            part_args+=(--part "$work/soak.json") ;;
        *)
            echo "unknown bench part: $part" >&2
            exit 2 ;;
    esac
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

"$build/bench/korvane-bench-report" "${part_args[@]}" \
    --results "$root/bench/results.json" --markdown "$root/docs/performance.md" \
    --load-before "$load_before" --load-after "$load_after"
echo "figures: bench/results.json; summary: docs/performance.md"
