"""A device on another machine as the README sets it up: the README's own
ser2net line serving the simulator's pseudo-terminal on loopback, reached
by socket:// from korvane-cli, the package, and pytest with the README's
labgrid environment."""

import json
import re
import socket
import subprocess
from pathlib import Path

import korvane
import yaml
from conftest import EXAMPLES, readme_blocks, run_cli, run_pytest, wait_until

def test_readme_ser2net_and_labgrid_reach_the_device(sims, tmp_path):
    ser2net_yaml, labgrid_yaml = readme_blocks("### Devices on other machines", "yaml")
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
