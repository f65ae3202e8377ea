"""The package through korvane-cli's session, against the simulator on a
pseudo-terminal and on loopback TCP: frames both ways, bad requests, a line
that goes away, and either end of the pipe dying."""

import json
import fcntl
import os
import re
import signal
import socket
import termios
import threading
import subprocess
import sys

import korvane
import korvane.session
import pytest
from conftest import CLI, SCRIPTING, readme_blocks, readme_device, wait_until

HELLO = '{"event":"hello","protocol":1,"version":"0","port":"p","device":"d"}'


@pytest.fixture(params=[True, False], ids=["callers read", "reader thread alone"])
def reading(request, monkeypatch):
    """Either way of reading the CLI's output: each caller reads its own
    answer, or (as on Windows) the reader thread reads alone."""
    monkeypatch.setattr(korvane.session.Session, "callers_read", request.param)


def test_frames_both_ways(device_sim, reading):
    with korvane.open(device_sim.name) as device:
        reply = device.send(0x01, b"\x0a\xff")
        assert (reply.reply, reply.sent, reply.met, reply.rtt_ms > 0) == ("ack", bytes.fromhex("2E01020AFFF3"), True, True)
        with pytest.raises(korvane.ExpectationFailed) as failed:
            device.send(0x02, expect="nak")
        assert failed.value.result.reply == "ack"
        device.send_raw("2E 01 00 00")  # checksum 00, not FE: the replies the sends took are not this one's
        assert device.wait_event("reply")["reply"] == "nak"

        for command in ("bad 81 01", "send 81 02", "send 82 03 04"):
            device_sim.command(command)
        assert device.expect_frame("81 ??").data == b"\x02"  # never the bad one
        assert device.expect_frame([0x82, None, 0x04]).type == 0x82
        with pytest.raises(korvane.ExpectationFailed, match=r"within 0.2 s; no frame came$"):
            device.expect_frame("81 ??", timeout=0.2)
        seen = list(device.frames(timeout=0.5))
        assert [(f.type, f.good, f.answered) for f in seen] == [(0x81, False, "nak"), (0x81, True, "ack"), (0x82, True, "ack")]
        assert [f.checksum for f in seen] != [0x7C, 0x7B, 0x74] and [f.checksum for f in seen][1:] == [0x7B, 0x74]
        threading.Timer(0.3, device_sim.command, ["send 84 01"]).start()  # while the next one waits
        with pytest.raises(korvane.ExpectationFailed, match=r"no frame matching 84 within 2.0 s; came: 84 01$"):
            device.expect_frame("84", timeout=2.0)

        device.answer("nak")
        device_sim.command("send 83")
        device_sim.wait(r"^reply F0")


def test_every_reply_reaches_the_caller_once_in_order(device_sim):
    with korvane.open(device_sim.name) as device:
        device_sim.command("nak")  # before any frame: nobody's reply
        device_sim.command("send 81")
        device.expect_frame("81")  # came after the NAK: the NAK is in
        assert device.send(0x01).reply == "ack"
        assert [device.wait_event("reply")["reply"], device.wait_event("reply", 0.2)] == ["nak", None]


def test_a_device_that_answers_twice_keeps_the_second_reply(scripted_line, reading):
    line = scripted_line(b"\xff\xf0")
    with korvane.open(line.path) as device:
        assert [device.send(0x01, bytes([n])).reply for n in range(20)] == ["ack"] * 20
        late = [device.wait_event("reply") for _ in range(20)]
        assert [e and e["reply"] for e in late] == ["nak"] * 20 and device.wait_event("reply", 0.2) is None


UNPLACEABLE_LINES = [
    "null", "[1]", '"hello"', "not json", '{"ok":true}', '{"id":[1],"ok":true}', '{"id":99,"ok":true}',
    '{"id":null,"ok":false,"error":"unreadable"}',
]


@pytest.mark.parametrize("line", UNPLACEABLE_LINES)
def test_an_unplaceable_line_from_the_cli_fails_at_once_naming_it(tmp_path, line):
    cli = tmp_path / "cli"
    cli.write_text(f"#!{sys.executable}\nimport sys\nprint({HELLO!r}, flush=True)\nsys.stdin.readline()\n"
                   f"print({line!r}, flush=True)\nsys.stdin.read()\n")
    cli.chmod(0o755)
    with korvane.open("COM1", cli=str(cli)) as device:
        with pytest.raises(korvane.LinkError, match="broke the session protocol") as failed:
            device.send(1, timeout=1.0)
        assert repr(line.encode()) in str(failed.value)


BAD_REQUESTS = [  # (line, the id its error answer carries)
    ('{"id":1,"cmd":"send","type":1,"data":"0G"}', 1),
    ('{"id":"two","cmd":"frobnicate"}', "two"),
    ('{"id":3,"cmd":"send","type":256}', 3),
    ('{"id":4,"cmd":"expect_frame","pattern":"01 ?"}', 4),
    ('{"id":5,"cmd":"answer","mode":"maybe"}', 5),
    ('{"id":6,"cmd":"send"', None),
    ('{"id":7,"x":"' + "A" * 70000 + '"}', None),  # over 64 KiB
    ('{"id":8,"cmd":"expect_frame","patern":"99 ??"}', 8),  # mistyped keys: refused, never ignored
    ('{"id":9,"cmd":"send","type":1,"expct":"nak"}', 9),
    ('{"id":10,"cmd":"send","type":1,"timeout":500}', 10),
    ('{"id":[11],"cmd":"send","type":1}', None),  # an id that is no number or string
    ('{"id":true,"cmd":"send","type":1}', None),
]


def test_bad_requests_are_answered_and_the_session_goes_on(device_sim):
    lines = [line for line, _ in BAD_REQUESTS] + ['{"id":99,"cmd":"ping"}']
    done = subprocess.run([CLI, "--port", device_sim.name, "session"], input="\n".join(lines) + "\n",
                          capture_output=True, text=True, timeout=20)
    answers = [m for m in map(json.loads, done.stdout.splitlines()) if "id" in m]
    assert [(a["id"], a["ok"], bool(a.get("error"))) for a in answers] == \
        [(rid, False, True) for _, rid in BAD_REQUESTS] + [(99, True, False)]


def test_a_line_that_goes_away_is_lost_then_back(device_sim, sims, tmp_path):
    with korvane.open(device_sim.name) as device:
        # Behind ser2net the server goes away and restarts on its port.
        (device_sim.servers or [device_sim.proc])[-1].kill()
        assert device.wait_event("lost", timeout=5)["reason"]
        with pytest.raises(korvane.LinkError, match="link lost"):
            device.send(1)
        if device_sim.servers:
            device_sim.serve(tmp_path, int(device_sim.name.rsplit(":", 1)[1]))
        else:
            sims(*(["--serial", "COM7"] if "COM" in device_sim.name else ["--tcp", device_sim.name[9:]]))
        assert device.wait_event("back", timeout=5)
        assert device.send(2).reply == "ack"


def test_a_port_held_or_missing_raises_with_the_cli_reason(sims):
    sim = sims("--serial", "COM7")
    with korvane.open(sim.name):
        for port, says in ((sim.path, "in use by another program"), ("/dev/korvane-no-such-line", "no-such-line")):
            with pytest.raises(korvane.LinkError) as refused:
                korvane.open(port).__enter__()
            assert says in refused.value.stderr


def test_python_dying_releases_the_port(sims):
    sim = sims("--serial", "COM7")
    child = subprocess.Popen([sys.executable, "-c", "import korvane, sys; d = korvane.Device(sys.argv[1]); "
                              "print(flush=True); sys.stdin.read()", sim.name], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    child.stdout.readline()
    child.kill()

    def opens():
        try:
            korvane.Device(sim.name).close()
            return True
        except korvane.LinkError:
            return False
    wait_until(opens, "the port released")


@pytest.mark.parametrize("sig,says", [(signal.SIGKILL, "exit status -9"), (signal.SIGSTOP, "hung")])
def test_cli_dying_or_hanging_raises_without_waiting_out_the_timeout(sims, sig, says):
    sim = sims("--serial", "COM7")
    with korvane.open(sim.name) as device:
        os.kill(device.cli_pid, sig)
        with pytest.raises(korvane.LinkError, match=says):
            device.send(1, timeout=0.2 if sig == signal.SIGSTOP else 60)
        with pytest.raises(korvane.LinkError):
            device.ping()


def test_the_readme_example_prints_what_it_shows(sims, tmp_path):
    readme_device(sims)
    code = readme_blocks(SCRIPTING, "python")[0]
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=30)
    shown = [line.rsplit("# ", 1)[1] for line in code.splitlines() if line.lstrip().startswith("print(")]
    clock = re.compile(r"\d\d:\d\d:\d\d,\d{3}")
    assert run.returncode == 0, run.stderr
    assert [clock.sub("12:34:56,789", line) for line in run.stdout.splitlines()] == shown


def test_what_the_line_did_reaches_the_caller(scripted_line):
    line = scripted_line(b"\xff")
    os.write(line.master, b"\xff\xff\xf0")  # waiting in the port before it is opened: stale
    wait_until(lambda: fcntl.ioctl(line.slave, termios.FIONREAD, b"\0" * 4) == (3).to_bytes(4, sys.byteorder),
               "the stale bytes on the line")
    with korvane.open(line.path) as device:
        assert device.waiting == 3
        assert device.send(1).reply == "ack"  # never a stale one
        assert [device.wait_event("reply")["reply"] for _ in range(3)] == ["ack", "ack", "nak"]
        assert device.wait_event("reply", 0.2) is None

    line = scripted_line(b"\xff")
    with korvane.open(line.path) as device:
        termios.tcflow(line.slave, termios.TCOOFF)  # the line takes no bytes
        with pytest.raises(korvane.LinkError, match="send: link: "):
            device.send(1, b"\x00" * 200)
        termios.tcflow(line.slave, termios.TCOON)


def test_an_answer_that_could_not_be_written_says_so(scripted_line):
    line = scripted_line(b"")
    with korvane.open(line.path) as device:
        termios.tcflow(line.slave, termios.TCOOFF)  # the line takes no bytes: the ACK cannot leave
        os.write(line.master, bytes.fromhex("2E0100FE"))
        frame = next(device.frames(timeout=5))
        termios.tcflow(line.slave, termios.TCOON)
    assert (frame.good, frame.answered, "not written" in frame.answer_error) == (True, None, True)


def test_a_telnet_server_is_no_device():
    for speaks_first in (True, False):  # at the connect, or only once spoken to
        with socket.socket() as server:
            server.bind(("127.0.0.1", 0))
            server.listen()

            held = []  # the connection stays open, as a telnet server keeps it

            def serve():
                held.append(server.accept()[0])
                if not speaks_first:
                    held[-1].recv(64)
                held[-1].sendall(bytes.fromhex("FFFB03FFFD2C"))
            threading.Thread(target=serve, daemon=True).start()
            with pytest.raises(korvane.LinkError, match=re.escape("this port speaks telnet (RFC 2217): use rfc2217://")):
                with korvane.open(f"socket://127.0.0.1:{server.getsockname()[1]}") as device:
                    device.send(1)


def test_recording_drops_are_counted_and_warned(sims, tmp_path):
    sim = sims("--serial", "COM7", "--frame", "81 " + "00 " * 50, "--count", "10000000", "--stay")  # a flood
    fifo = tmp_path / "capture.pcapng"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # open, never read: the pipe fills
    with pytest.warns(korvane.RecordingDropped, match="capture packets") as warned:
        with korvane.open(sim.name, pcap=fifo) as device:
            device.wait_event("dropped", timeout=10)
    os.close(reader)
    assert device.recording_dropped["pcap_packets"] > 0
    dropped = [w.message for w in warned if issubclass(w.category, korvane.RecordingDropped)]
    assert dropped[0].dropped == device.recording_dropped
