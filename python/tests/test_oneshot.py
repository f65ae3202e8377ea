"""korvane-cli's one-shot commands, send and listen, against the simulator
on a pseudo-terminal (by its COMn name) and on loopback TCP."""

import json
import socket
import subprocess

import pytest
from conftest import CLI, run_cli

SEND_CASES = [
    # simulator options, korvane-cli arguments, exit status, reply, bytes sent
    ((), ["send", "01", "0A", "FF"], 0, "ack", "2E01020AFFF3"),
    ((), ["send", "010AFF", "--expect", "nak"], 1, "ack", "2E01020AFFF3"),
    ((), ["send", "7F"], 0, "ack", "2E7F0080"),
    (("--no-reply",), ["send", "01", "--expect", "none", "--timeout", "100"], 0, None, "2E0100FE"),
    (("--no-reply",), ["send", "01", "--timeout", "100"], 1, None, "2E0100FE"),
    # A checksum of 00 where FE belongs: the device says NAK.
    ((), ["send", "--raw", "2E", "01", "00", "00", "--expect", "nak"], 0, "nak", "2E010000"),
]


@pytest.mark.parametrize("kind", ["pty", "tcp"])
@pytest.mark.parametrize("sim_args,args,status,reply,sent", SEND_CASES)
def test_send_reports_the_reply_and_exit_status(sims, kind, sim_args, args, status, reply, sent):
    line = sims("--serial", "COM7", *sim_args) if kind == "pty" else sims("--tcp", "127.0.0.1:0", *sim_args)
    done = run_cli("--port", line.name, *args)
    assert done.returncode == status, done.stderr
    out = json.loads(done.stdout)
    assert (out["reply"], out["sent"], out["met"]) == (reply, sent, status == 0)
    assert (out["rtt_ms"] is None) == (reply is None)


def closed_loopback_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("port,args,status", [
    ("/dev/korvane-no-such-line", ["send", "01"], 3),
    (f"socket://127.0.0.1:{closed_loopback_port()}", ["send", "01"], 3),
    ("COM7", ["send", "01"], 3),           # nothing linked as COM7 in this ports folder
    ("COM7", ["send"], 2),                 # no type
    ("COM7", ["send", "0G"], 2),           # not hex
    ("COM7", ["send", "01", "--expect", "maybe"], 2),
    ("COM7", ["frobnicate"], 2),
])
def test_failures_end_with_their_exit_status_and_reason(sims, port, args, status):
    done = run_cli("--port", port, *args)
    assert done.returncode == status
    assert done.stderr.strip(), "no reason given on stderr"
    if status == 3:
        assert "error" in json.loads(done.stdout)


def test_listen_prints_each_event_with_its_verdict(device_sim):
    listen = subprocess.Popen([CLI, "--port", device_sim.name, "listen", "--count", "4"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        device_sim.wait(r"^connected")
        for command in ("send 05 01 02", "bad 06 00", "ack", "raw 11"):
            device_sim.command(command)
        out, err = listen.communicate(timeout=10)
    finally:
        listen.kill()
    assert listen.returncode == 0, err
    events = [json.loads(line) for line in out.splitlines()]
    assert [e["event"] for e in events] == ["frame", "frame", "reply", "noise"]
    good, bad, reply, noise = events
    assert (good["type"], good["data"], good["good"], good["answered"]) == (5, "0102", True, "ack")
    assert (bad["type"], bad["good"], bad["answered"]) == (6, False, "nak")
    assert reply["reply"] == "ack" and noise["data"] == "11"
    # The simulator saw the CLI's answers: ACK for the good frame, NAK for the bad one.
    device_sim.wait(r"^reply FF")
    device_sim.wait(r"^reply F0")
    assert all(e["t"] > 1.7e9 for e in events)
