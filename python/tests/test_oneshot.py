"""korvane-cli's one-shot commands, send and listen, against the simulator
on a pseudo-terminal (by its COMn name) and on loopback TCP."""

import json
import struct
import subprocess

import pytest
from conftest import CLI, map_port, run_cli

SEND_CASES = [
    # simulator options, korvane-cli arguments, exit status, reply, bytes sent
    ("", "send 01 0A FF", 0, "ack", "2E01020AFFF3"),
    ("", "send 010AFF --expect nak", 1, "ack", "2E01020AFFF3"),
    ("--no-reply", "send 01 --expect none --timeout 100", 0, None, "2E0100FE"),
    ("--no-reply", "send 01 --timeout 100", 1, None, "2E0100FE"),
    ("", "send --raw 2E 01 00 00 --expect nak", 0, "nak", "2E010000"),  # checksum 00, not FE
]


@pytest.mark.parametrize("link", ["--serial COM7", "--tcp 127.0.0.1:0", "--rfc2217",
                                  "--rfc2217 --as COM5", "--tcp 127.0.0.1:0 --as COM6"])
@pytest.mark.parametrize("sim_args,args,status,reply,sent", SEND_CASES)
def test_send_reports_the_reply_and_exit_status(sims, link, sim_args, args, status, reply, sent):
    sim = sims(*link.split(), *sim_args.split())
    done = run_cli("--port", sim.name, *args.split())
    out = json.loads(done.stdout)
    assert (done.returncode, out["reply"], out["sent"], out["met"]) == (status, reply, sent, status == 0), done.stderr


@pytest.mark.parametrize("args,status", [
    ("--port /dev/korvane-no-such-line send 01", 3),
    ("--port socket://127.0.0.1:1 send 01", 3),
    ("--port rfc2217://127.0.0.1 send 01", 2),
    ("--port COM7 send 01", 3),  # nothing linked as COM7 in the test's ports folder
    ("--port COM7 send", 2),
    ("--port COM7 send 0G", 2),
    ("--port COM7 send 01 --expect maybe", 2),
    ("--port COM7 frobnicate", 2),
    ("--port COM7 --pcap /proc/korvane.pcapng send 01", 2),  # refused before the port is tried
])
def test_failures_end_with_their_status_and_reason(sims, args, status):
    done = run_cli(*args.split())
    assert done.returncode == status and done.stderr.strip()


@pytest.mark.parametrize("address,status,said", [
    ("rfc2217://127.0.0.1:1", 3, "cannot connect to 127.0.0.1:1"),
    ("socket://127.0.0.1:1", 3, "cannot connect to 127.0.0.1:1"),
    ("rfc2217://127.0.0.1", 2, "COM5 stands for \"rfc2217://127.0.0.1\" is not rfc2217://HOST:PORT"),
])
def test_a_mapped_port_fails_as_its_address(sims, address, status, said):
    map_port("COM5", address)
    done = run_cli("--port", "com5", "send", "01")
    assert done.returncode == status and said in done.stderr, done.stderr


def test_an_rfc2217_port_that_cannot_be_reached_fails_as_a_socket_does():
    raw, shared = (run_cli("--port", f"{scheme}://127.0.0.1:1", "send", "01") for scheme in ("socket", "rfc2217"))
    assert (shared.returncode, shared.stdout, shared.stderr) == (raw.returncode, raw.stdout, raw.stderr)
    assert raw.returncode == 3 and "connection refused" in raw.stderr


def test_listen_prints_each_event_with_its_verdict(device_sim):
    if device_sim.servers:
        # ser2net opens the line at the connect and purges it once asked, so
        # what the device sends before listen's open has settled is dropped,
        # and listen says nothing when it has. The session tests, whose hello
        # comes once it has, cover rfc2217://.
        pytest.skip("listen gives no sign that an rfc2217:// open has settled")
    listen = subprocess.Popen([CLI, "--port", device_sim.name, "listen", "--count", "4"],
                              stdout=subprocess.PIPE, text=True)
    device_sim.wait(r"^connected")
    for command in ("send 05 01 02", "bad 06 00", "ack", "raw 11"):
        device_sim.command(command)
    out, _ = listen.communicate(timeout=10)
    events = [json.loads(line) for line in out.splitlines()]
    assert [(e["event"], e.get("type"), e.get("good"), e.get("answered")) for e in events] == [
        ("frame", 5, True, "ack"), ("frame", 6, False, "nak"), ("reply", None, None, None), ("noise", None, None, None)]
    assert (events[0]["data"], events[2]["reply"], events[3]["data"]) == ("0102", "ack", "11")
    device_sim.wait(r"^reply FF")  # the CLI's answers reached the device
    device_sim.wait(r"^reply F0")


def inbound_packets(capture):
    """The bytes of a pcapng capture's inbound packets (what the device
    sent), joined in order."""
    data, got, at = capture.read_bytes(), b"", 0
    while at + 12 <= len(data):
        kind, length = struct.unpack_from("<II", data, at)
        if kind == 6:  # enhanced packet block: direction in its flags option (code 2)
            size = struct.unpack_from("<I", data, at + 20)[0]
            option = at + 28 + (size + 3) // 4 * 4
            while option + 4 <= at + length - 4:
                code, olen = struct.unpack_from("<HH", data, option)
                if code == 2 and struct.unpack_from("<I", data, option + 4)[0] & 3 == 1:
                    got += data[at + 28:at + 28 + size]
                if code == 0:
                    break
                option += 4 + (olen + 3) // 4 * 4
        at += length
    return got


def test_the_capture_holds_the_devices_bytes_only(device_sim, tmp_path):
    # Types, data and checksums that telnet would read as IAC, WILL, SB, SE.
    frames = [bytes.fromhex(f) for f in ("FF FFFF", "01 FFFB", "FA FFF0", "FF 00")]
    capture = tmp_path / "traffic.pcapng"
    session = subprocess.Popen([CLI, "--port", device_sim.name, "--pcap", str(capture), "session"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert json.loads(session.stdout.readline())["event"] == "hello"  # the open has settled
        for f in frames:
            device_sim.command("send " + f.hex(" "))
        events = [json.loads(session.stdout.readline()) for _ in frames]
        session.communicate("", timeout=10)
    finally:
        session.kill()
    assert [(e["event"], e["good"]) for e in events] == [("frame", True)] * 4
    wire = [bytes([0x2E, f[0], len(f) - 1]) + f[1:] + bytes([~sum(f[:1] + bytes([len(f) - 1]) + f[1:]) & 0xFF])
            for f in frames]
    assert inbound_packets(capture).hex(" ") == b"".join(wire).hex(" ")
