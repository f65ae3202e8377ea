#!/usr/bin/python3
"""Round trip from device.send() to the device's ACK through the korvane
package and korvane-cli, beside the same loop written directly with pyserial,
both against korvane-sim on a pseudo-terminal: FRAMES frames a run, RUNS
runs, each run's median and p99 (ms). Writes the figures as a part for
korvane-bench-report.

With --rfc2217, the simulator's pseudo-terminal is served by Debian's ser2net
as labgrid's exporter serves a port (telnet(rfc2217,mode=server)), and the
loops go over the network: the package with rfc2217://, pyserial with
rfc2217://...?ign_set_control (without it pyserial waits for an answer that
ser2net on a pty never gives). Also the time from exec to the first frame
sendable: korvane-cli's session up to its hello, pyserial's open.

  pyroundtrip.py --sim korvane-sim --cli korvane-cli --out python.json [--rfc2217]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import serial

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))
import ser2net  # noqa: E402 - beside the C++ test support

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


def open_pyserial(port):
    if port.startswith("rfc2217://"):
        return serial.serial_for_url(port + "?ign_set_control", timeout=1.0)
    return serial.Serial(port, 38400, timeout=1.0, exclusive=True)


def open_times(url, cli, count):
    """Exec to the hello of korvane-cli's session, and pyserial's open, in ms."""
    cli_ms, pyserial_ms = [], []
    for _ in range(count):
        start = time.perf_counter()
        with subprocess.Popen([cli, "--port", url, "session"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True) as proc:
            if '"hello"' not in proc.stdout.readline():
                sys.exit("korvane-cli: no hello")
            cli_ms.append((time.perf_counter() - start) * 1000)
            proc.stdin.close()
        start = time.perf_counter()
        open_pyserial(url).close()
        pyserial_ms.append((time.perf_counter() - start) * 1000)
    return sorted(cli_ms), sorted(pyserial_ms)


def pyserial_loop(path, frames):
    times = []
    with open_pyserial(path) as line:
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
    parser.add_argument("--rfc2217", action="store_true")
    parser.add_argument("--opens", type=int, default=20)
    args = parser.parse_args()
    prefix = "rfc2217_" if args.rfc2217 else ""

    loops = {"py": lambda path: package_loop(path, args.frames, args.cli),
             "pyserial": lambda path: pyserial_loop(path, args.frames)}
    labels = {"py": "device.send() through korvane-cli", "pyserial": "the same loop with pyserial"}
    if args.rfc2217:
        labels = {"py": "device.send() over rfc2217:// (ser2net)", "pyserial": "pyserial rfc2217://...?ign_set_control"}
    runs = {(name, stat): [] for name in loops for stat in ("median", "p99")}
    opens = {(name, stat): [] for name in ("cli", "pyserial") for stat in ("p50", "p99")} if args.rfc2217 else {}
    with tempfile.TemporaryDirectory() as config:
        sim, path = start_sim(args.sim, config)
        server = None
        if args.rfc2217:
            server, path = ser2net.start(path, config)
        try:
            for _ in range(args.runs):
                if args.rfc2217:
                    for name, times in zip(("cli", "pyserial"), open_times(path, args.cli, args.opens)):
                        opens[name, "p50"].append(statistics.median(times))
                        opens[name, "p99"].append(percentile(times, 0.99))
                # Side by side: one run of each in turn on the same line.
                for name, loop in loops.items():
                    times = sorted(loop(path))
                    runs[name, "median"].append(statistics.median(times))
                    runs[name, "p99"].append(percentile(times, 0.99))
        finally:
            for proc in (server, sim):
                if proc is not None:
                    proc.kill()
                    proc.wait()

    figures = []
    rows = [(f"{prefix}{name}_roundtrip_{stat}_ms", f"{labels[name]}, {args.frames} frames: round trip, {stat}", values)
            for (name, stat), values in runs.items()]
    rows += [(f"rfc2217_{name}_open_{stat}_ms",
              f"{'korvane-cli session, exec to hello' if name == 'cli' else 'pyserial open'} over rfc2217://, {stat}",
              values) for (name, stat), values in opens.items()]
    for key, label, values in rows:
        figures.append({"key": key, "label": label, "unit": "ms", "median": statistics.median(values),
                        "min": min(values), "max": max(values), "runs": values})
        print(f"  {label:<66} {statistics.median(values):8.3f} ms  [{min(values):.3f} .. {max(values):.3f}]")
    with open(args.out, "w") as out:
        json.dump({"part": prefix + "python", "figures": figures, "notes": {"frames": args.frames}}, out, indent=1)


if __name__ == "__main__":
    main()
