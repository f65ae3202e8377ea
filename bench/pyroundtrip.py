#!/usr/bin/python3
"""Round trip from device.send() to the device's ACK through the korvane
package and korvane-cli, beside the same loop written directly with pyserial,
both against korvane-sim on a pseudo-terminal: FRAMES frames a run, RUNS
runs, each run's median and p99 (ms). Writes the figures as a part for
korvane-bench-report.

  pyroundtrip.py --sim korvane-sim --cli korvane-cli --out python.json
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import serial

FRAME_TYPE, FRAME_DATA = 0x01, b"\x0a\xff"
FRAME = bytes([0x2E, FRAME_TYPE, len(FRAME_DATA)]) + FRAME_DATA
FRAME += bytes([~sum(FRAME[1:]) & 0xFF])


def percentile(sorted_values, p):
    k = (len(sorted_values) - 1) * p
    lo = int(k)
    hi = min(lo + 1, len(sorted_values) - 1)
    return sorted_values[lo] + (sorted_values[hi] - sorted_values[lo]) * (k - lo)


def start_sim(sim, config):
    proc = subprocess.Popen([sim, "--serial", "COM9", "--quiet"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True, env={**os.environ, "XDG_CONFIG_HOME": config})
    ready = proc.stdout.readline().split()
    if ready[:2] != ["ready", "COM9"]:
        sys.exit(f"korvane-sim did not start: {ready}")
    return proc, ready[2]


def pyserial_loop(path, frames):
    times = []
    with serial.Serial(path, 38400, timeout=1.0, exclusive=True) as line:
        for _ in range(frames):
            start = time.perf_counter()
            line.write(FRAME)
            if line.read(1) != b"\xff":
                sys.exit("pyserial: no ACK")
            times.append((time.perf_counter() - start) * 1000)
    return times


def package_loop(path, frames, cli):
    import korvane

    times = []
    with korvane.open(path, cli=cli) as device:
        for _ in range(frames):
            start = time.perf_counter()
            device.send(FRAME_TYPE, FRAME_DATA)
            times.append((time.perf_counter() - start) * 1000)
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--cli", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--frames", type=int, default=int(os.environ.get("KORVANE_BENCH_PY_FRAMES", 1000)))
    parser.add_argument("--runs", type=int, default=int(os.environ.get("KORVANE_BENCH_RUNS", 5)))
    args = parser.parse_args()

    loops = {"py": lambda path: package_loop(path, args.frames, args.cli),
             "pyserial": lambda path: pyserial_loop(path, args.frames)}
    labels = {"py": "device.send() through korvane-cli", "pyserial": "the same loop with pyserial"}
    runs = {(name, stat): [] for name in loops for stat in ("median", "p99")}
    with tempfile.TemporaryDirectory() as config:
        sim, path = start_sim(args.sim, config)
        try:
            for _ in range(args.runs):
                # Side by side: one run of each in turn on the same line.
                for name, loop in loops.items():
                    times = sorted(loop(path))
                    runs[name, "median"].append(statistics.median(times))
                    runs[name, "p99"].append(percentile(times, 0.99))
        finally:
            sim.kill()
            sim.wait()

    figures = []
    for (name, stat), values in runs.items():
        label = f"{labels[name]}, {args.frames} frames: round trip, {stat}"
        figures.append({"key": f"{name}_roundtrip_{stat}_ms", "label": label, "unit": "ms", "median": statistics.median(values),
                        "min": min(values), "max": max(values), "runs": values})
        print(f"  {label:<66} {statistics.median(values):8.3f} ms  [{min(values):.3f} .. {max(values):.3f}]")
    with open(args.out, "w") as out:
        json.dump({"part": "python", "figures": figures, "notes": {"frames": args.frames}}, out, indent=1)


if __name__ == "__main__":
    main()
