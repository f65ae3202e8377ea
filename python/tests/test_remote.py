"""A device on another machine, as the README sets it up: the README's own
ser2net line serving a pseudo-terminal with the simulator behind it, on
loopback; korvane-cli, the package, pytest and a labgrid environment reach
it by socket://."""

import json
import re
import socket
import subprocess
import time
from pathlib import Path

import korvane
import pytest
import yaml
from conftest import EXAMPLES, run_cli, run_pytest

README = Path(__file__).resolve().parents[2] / "README.md"


def readme_blocks(kind):
    text = README.read_text()
    section = text[text.index("### Devices on other machines"):]
    section = section[:section.index("\n## ")]
    return re.findall(rf"```{kind}\n(.*?)```", section, re.S)


def free_loopback_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def ser2net(sims, tmp_path):
    """ser2net with the README's configuration, bound to loopback, serving
    the simulator's pseudo-terminal; yields the socket:// port."""
    sim = sims("--serial", "COM7", "--frame", "81 07", "--rate", "20")
    port = free_loopback_port()
    config = readme_blocks("yaml")[0]
    assert "accepter: tcp,3001" in config and "/dev/ttyUSB0" in config
    config = config.replace("tcp,3001", f"tcp,127.0.0.1,{port}").replace("/dev/ttyUSB0", sim.path)
    (tmp_path / "ser2net.yaml").write_text(config)
    server = subprocess.Popen(["ser2net", "-n", "-u", "-c", str(tmp_path / "ser2net.yaml"), "-P", str(tmp_path / "pid")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 5
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except ConnectionRefusedError:
            assert server.poll() is None, server.stderr.read()
            assert time.monotonic() < deadline, "ser2net did not listen within 5 s"
            time.sleep(0.02)  # polling interval
    yield f"socket://127.0.0.1:{port}", port
    server.kill()
    server.wait()


def test_readme_ser2net_serves_the_device(ser2net, tmp_path):
    url, port = ser2net
    done = run_cli("--port", url, "send", "01", "0A", "FF")
    assert done.returncode == 0 and json.loads(done.stdout)["reply"] == "ack", done.stdout + done.stderr

    # ser2net frees the line for the next connection once one is closed.
    with korvane.open(url) as device:
        assert device.send(0x02, b"\x01").reply == "ack"
        assert device.expect_frame("81 07", timeout=2.0).good

    run = run_pytest("--korvane-port", url, str(EXAMPLES / "test_device.py"), cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_readme_labgrid_environment_reaches_the_device(ser2net, tmp_path):
    _, port = ser2net
    env = yaml.safe_load(readme_blocks("yaml")[1])
    assert env == yaml.safe_load((EXAMPLES / "labgrid-env.yaml").read_text()), "README and example differ"
    resource = env["targets"]["main"]["resources"]["NetworkSerialPort"]
    resource.update(host="127.0.0.1", port=port)
    (tmp_path / "env.yaml").write_text(yaml.safe_dump(env))
    run = run_pytest("--lg-env", str(tmp_path / "env.yaml"), str(EXAMPLES / "test_device.py"), cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
