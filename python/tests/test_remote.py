"""A device on another machine as the README sets it up: the README's own
ser2net line serving the simulator's pseudo-terminal on loopback, reached
by socket:// from korvane-cli, the package, and pytest with the README's
labgrid environment; and RFC 2217 servers that do not answer as asked."""

import json
import re
import socket
import subprocess
import threading
from pathlib import Path

import pytest

import korvane
import yaml
from conftest import CLI, EXAMPLES, readme_blocks, run_cli, run_pytest, wait_until

SERVER_ANSWERS = [
    # what a made-up RFC 2217 server answers the client's offers with, what the hello warns of
    (b"\xff\xfc\x2c", "COM-PORT-OPTION refused"),  # WONT: a plain telnet server
    (b"\xff\xfd\x2c\xff\xfa\x2c\x65\x00\x00\x25\x80\xff\xf0", "the server set the baud rate to 9600, not 38400"),
    (b"", "did not take COM-PORT-OPTION in time"),  # never answers: the open goes on after about a second
]


@pytest.mark.parametrize("answer,says", SERVER_ANSWERS)
def test_an_rfc2217_server_that_answers_otherwise_is_warned_of(answer, says):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        held = []

        def serve():
            connection, _ = listener.accept()
            held.append(connection)
            connection.sendall(answer + b"\x2e\x01\x00\xfe")  # then a frame from the device

        threading.Thread(target=serve, daemon=True).start()
        url = f"rfc2217://127.0.0.1:{listener.getsockname()[1]}"
        session = subprocess.Popen([CLI, "--port", url, "session"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        try:
            hello = json.loads(session.stdout.readline())
            frame = json.loads(session.stdout.readline())
            _, errors = session.communicate("", timeout=10)
        finally:
            session.kill()
    assert any(says in w for w in hello["warnings"]), hello
    assert "warning: " in errors and says in errors
    assert (frame["event"], frame["type"], frame["good"]) == ("frame", 1, True)

def test_readme_ser2net_and_labgrid_reach_the_device(sims, tmp_path):
    ser2net_yaml, labgrid_yaml = readme_blocks("### Devices on other machines", "yaml")[:2]
    assert yaml.safe_load(labgrid_yaml) == yaml.safe_load((EXAMPLES / "labgrid-env.yaml").read_text())

    sim = sims("--serial", "COM7", "--frame", "81 07", "--rate", "20")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    (tmp_path / "ser2net.yaml").write_text(
        ser2net_yaml.replace("tcp,3001", f"tcp,127.0.0.1,{port}").replace("/dev/ttyUSB0", sim.path))
    server = subprocess.Popen(["ser2net", "-n", "-u", "-c", tmp_path / "ser2net.yaml", "-P", tmp_path / "pid"],
                              stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0, "ser2net listening")
        url = f"socket://127.0.0.1:{port}"
        done = run_cli("--port", url, "send", "01", "0A", "FF")
        assert done.returncode == 0 and json.loads(done.stdout)["reply"] == "ack", done.stderr
        with korvane.open(url) as device:  # the next connection, once the last one closed
            assert device.send(0x02, b"\x01").reply == "ack"
            assert device.expect_frame("81 07", timeout=2.0).good

        env = yaml.safe_load(labgrid_yaml)
        env["targets"]["main"]["resources"]["NetworkSerialPort"].update(host="127.0.0.1", port=port)
        (tmp_path / "env.yaml").write_text(yaml.safe_dump(env))
        for options in (["--korvane-port", url], ["--lg-env", "env.yaml"]):
            run = run_pytest(*options, str(EXAMPLES / "test_device.py"), cwd=tmp_path)
            assert run.returncode == 0, run.stdout
    finally:
        server.kill()
        server.wait()
