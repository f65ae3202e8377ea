"""The Python package through korvane-cli's session mode, against the
simulator on a pseudo-terminal and on loopback TCP: frames both ways, bad
requests, a line that goes away, and either side of the pipe dying."""

import json
import os
import signal
import subprocess
import sys
import time

import korvane
import pytest
from conftest import CLI


def test_frames_both_ways(device_sim):
    with korvane.open(device_sim.name) as device:
        assert device.hello["protocol"] == 1
        reply = device.send(0x01, b"\x0a\xff")
        assert (reply.reply, reply.sent, reply.met) == ("ack", bytes.fromhex("2E01020AFFF3"), True)
        assert 0 < reply.rtt_ms < 1000
        device_sim.wait(r"2E 01 02 0A FF F3")

        with pytest.raises(korvane.ExpectationFailed) as failed:
            device.send(0x02, expect="nak")
        assert failed.value.result.reply == "ack"

        device_sim.command("bad 81 01")
        device_sim.command("send 81 02")
        device_sim.command("send 82 03 04")
        # The bad frame never matches; the pattern's ?? takes any byte.
        assert device.expect_frame("81 ??").data == b"\x02"
        assert device.expect_frame([0x82, None, 0x04]).type == 0x82
        with pytest.raises(korvane.ExpectationFailed):
            device.expect_frame("81 ??", timeout=0.2)
        seen = list(device.frames(timeout=0.5))
        assert [(f.type, f.good, f.answered) for f in seen] == [(0x81, False, "nak"), (0x81, True, "ack"), (0x82, True, "ack")]
        assert seen[2].checksum == (~(0x82 + 2 + 3 + 4)) & 0xFF

        device.answer("nak")
        device_sim.command("send 83")
        device.expect_frame("83")
        device_sim.wait(r"^reply F0")


def session_answers(port, lines):
    """Writes request lines to a session, then EOF; the answers, by order."""
    done = subprocess.run([CLI, "--port", port, "session"], input="".join(l + "\n" for l in lines),
                          capture_output=True, text=True, timeout=20)
    assert done.returncode == 0, done.stderr
    out = [json.loads(l) for l in done.stdout.splitlines()]
    return [m for m in out if "id" in m]


BAD_REQUESTS = [
    ('{"id":1,"cmd":"send","type":1,"data":"0G"}', 1),
    ('{"id":"two","cmd":"frobnicate"}', "two"),
    ('{"id":3,"cmd":"send","type":256}', 3),
    ('{"id":4,"cmd":"expect_frame","pattern":"01 ?"}', 4),
    ('{"id":5,"cmd":"answer","mode":"maybe"}', 5),
    ('{"id":6,"cmd":"send"', None),
    ("[1,2]", None),
    ('{"id":7,' + '"x":"' + "A" * 70000 + '"}', None),
]


def test_bad_requests_are_answered_and_the_session_goes_on(device_sim):
    answers = session_answers(device_sim.name, [line for line, _ in BAD_REQUESTS] + ['{"id":99,"cmd":"ping"}'])
    assert [(a["id"], a["ok"]) for a in answers] == [(rid, False) for _, rid in BAD_REQUESTS] + [(99, True)]
    assert all(a["error"] for a in answers[:-1])


def test_a_line_that_goes_away_is_lost_then_back(device_sim, sims):
    again = ("--serial", "COM7") if device_sim.path != device_sim.name else ("--tcp", device_sim.name[len("socket://"):])
    with korvane.open(device_sim.name) as device:
        device.send(1)
        device_sim.stop()
        assert device.wait_event("lost", timeout=5)["reason"]
        with pytest.raises(korvane.LinkError, match="link lost"):
            device.send(1)
        sims(*again)
        assert device.wait_event("back", timeout=5)
        assert device.send(2).reply == "ack"


def test_second_cli_on_one_port_is_refused(sims):
    sim = sims("--serial", "COM7")
    with korvane.open(sim.name):
        with pytest.raises(korvane.LinkError) as refused:
            korvane.open(sim.path).__enter__()
    assert "in use by another program" in str(refused.value)
    assert refused.value.stderr


def wait_until(check, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, f"{check.__doc__} within {timeout} s"
        time.sleep(0.02)  # polling interval, not a wait for an outcome


def test_python_dying_releases_the_port(sims):
    sim = sims("--serial", "COM7")
    child = subprocess.Popen([sys.executable, "-c",
                              "import korvane, sys; d = korvane.Device(sys.argv[1]); print(d.cli_pid, flush=True); sys.stdin.read()",
                              sim.name], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    cli_pid = int(child.stdout.readline())
    child.kill()
    child.wait()

    def released():
        """the port released"""
        try:
            korvane.open(sim.name).__enter__().close()
            return True
        except korvane.LinkError:
            return False
    wait_until(released)

    def cli_gone():
        """the CLI gone"""
        try:
            with open(f"/proc/{cli_pid}/stat") as stat:
                return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
        except FileNotFoundError:
            return True
    wait_until(cli_gone)


def test_cli_dying_or_hanging_raises_at_once(sims):
    sim = sims("--serial", "COM7")
    for sig, match in ((signal.SIGKILL, "exit status -9"), (signal.SIGSTOP, "hung")):
        with korvane.open(sim.name) as device:
            os.kill(device.cli_pid, sig)
            start = time.monotonic()
            with pytest.raises(korvane.LinkError, match=match):
                device.send(1, timeout=0.2)
            assert time.monotonic() - start < 10
            # Once failed, every later call fails the same way without waiting.
            with pytest.raises(korvane.LinkError):
                device.ping()


def test_a_port_that_does_not_open_raises_with_the_cli_reason(sims):
    with pytest.raises(korvane.LinkError) as failed:
        korvane.open("/dev/korvane-no-such-line").__enter__()
    assert "/dev/korvane-no-such-line" in failed.value.stderr
