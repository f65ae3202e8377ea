"""The pytest plugin as a user runs it: Debian's pytest in a process of its
own, on the example tests, the port given by --korvane-port or a labgrid
environment; each test's capture beside the JUnit report."""

import xml.etree.ElementTree as ET

import pytest
import yaml
from conftest import EXAMPLES, run_pytest


def junit_cases(report):
    """{test name: (failure message or None, properties)}"""
    return {case.get("name"): (next((f.get("message") for f in case.iter("failure")), None),
                               {p.get("name"): p.get("value") for p in case.iter("property")})
            for case in ET.parse(report).iter("testcase")}


def labgrid_env(tmp_path, resources):
    (tmp_path / "env.yaml").write_text(yaml.safe_dump({"targets": {"main": {"resources": resources}}}))
    return ["--lg-env", str(tmp_path / "env.yaml")]


@pytest.mark.parametrize("source", ["--korvane-port", "labgrid RawSerialPort"])
def test_examples_pass_with_a_capture_each(sims, tmp_path, source):
    sim = sims("--serial", "COM7", "--frame", "81 07", "--rate", "20")
    port = ["--korvane-port", sim.name] if source == "--korvane-port" else \
        labgrid_env(tmp_path, {"RawSerialPort": {"port": sim.path, "speed": 38400}})
    run = run_pytest(*port, f"--junitxml={tmp_path}/out/report.xml", str(EXAMPLES / "test_device.py"), cwd=tmp_path)
    assert run.returncode == 0, run.stdout
    cases = junit_cases(tmp_path / "out" / "report.xml")
    assert len(cases) == 3
    for _, props in cases.values():
        assert props["korvane_pcap"].startswith(f"{tmp_path}/out/korvane-captures/")
        assert open(props["korvane_pcap"], "rb").read(4) == b"\x0a\x0d\x0d\x0a"  # pcapng


def test_a_failed_test_keeps_the_capture_of_what_went_wrong(sims, tmp_path):
    sim = sims("--serial", "COM7")
    (tmp_path / "test_nak.py").write_text("def test_nak(korvane_device):\n"
                                          "    korvane_device.send(0x05, b'\\x01', expect='nak')\n")
    run = run_pytest("--korvane-port", sim.path, "--junitxml=report.xml", "test_nak.py", cwd=tmp_path)
    message, props = junit_cases(tmp_path / "report.xml")["test_nak"]
    assert run.returncode == 1 and "expected nak, got ACK" in message
    capture = open(props["korvane_pcap"], "rb").read()
    assert bytes.fromhex("2E050101F8") in capture and b"\xff" in capture


@pytest.mark.parametrize("resources,status,says", [
    (None, 0, "no device: give --korvane-port"),
    ({"NetworkSerialPort": {"host": "127.0.0.1", "port": 9, "protocol": "rfc2217"}}, 4, "needs protocol: raw"),
    ({"NetworkService": {"address": "127.0.0.1", "username": "x"}}, 4, "no NetworkSerialPort and no SerialPort"),
])
def test_a_port_that_cannot_be_known(tmp_path, resources, status, says):
    env = labgrid_env(tmp_path, resources) if resources else []
    run = run_pytest(*env, "-rs", str(EXAMPLES / "test_device.py"), cwd=tmp_path)
    assert run.returncode == status and says in run.stdout + run.stderr, run.stdout
