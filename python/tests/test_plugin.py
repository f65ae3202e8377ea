"""The pytest plugin as a user runs it: Debian's pytest in a process of its
own, loading the plugin through the package's entry point, on the example
tests, with the port given by --korvane-port or by a labgrid environment."""

import xml.etree.ElementTree as ET

import pytest
import yaml
from conftest import EXAMPLES, run_pytest

PCAPNG_MAGIC = b"\x0a\x0d\x0d\x0a"


def junit_cases(report):
    """{test name: (outcome, message, properties)} from a JUnit report."""
    cases = {}
    for case in ET.parse(report).iter("testcase"):
        outcome, message = "passed", ""
        for tag in ("failure", "error", "skipped"):
            found = case.find(tag)
            if found is not None:
                outcome, message = tag, found.get("message", "")
        props = {p.get("name"): p.get("value") for p in case.iter("property")}
        cases[case.get("name")] = (outcome, message, props)
    return cases


def labgrid_env(tmp_path, resources):
    path = tmp_path / "env.yaml"
    path.write_text(yaml.safe_dump({"targets": {"main": {"resources": resources}}}))
    return ["--lg-env", str(path)]


PORT_SOURCES = {
    "--korvane-port COMn": lambda sim, tmp_path: ["--korvane-port", sim.name],
    "labgrid RawSerialPort": lambda sim, tmp_path: labgrid_env(
        tmp_path, {"RawSerialPort": {"port": sim.path, "speed": 38400}}),
}


@pytest.mark.parametrize("source", PORT_SOURCES)
def test_examples_pass_with_a_capture_each(sims, tmp_path, source):
    sim = sims("--serial", "COM7", "--frame", "81 07", "--rate", "20")
    report = tmp_path / "out" / "report.xml"
    run = run_pytest(*PORT_SOURCES[source](sim, tmp_path), f"--junitxml={report}",
                     str(EXAMPLES / "test_device.py"), cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    cases = junit_cases(report)
    assert sorted(cases) == ["test_device_acknowledges_a_frame", "test_device_rejects_a_wrong_checksum",
                             "test_device_reports_its_status"]
    for outcome, _, props in cases.values():
        capture = tmp_path / "out" / "korvane-captures"
        assert outcome == "passed" and props["korvane_pcap"].startswith(str(capture))
        assert open(props["korvane_pcap"], "rb").read(4) == PCAPNG_MAGIC


def test_a_failed_test_keeps_the_capture_of_what_went_wrong(sims, tmp_path):
    sim = sims("--serial", "COM7")
    (tmp_path / "test_nak.py").write_text(
        "def test_expects_a_nak(korvane_device):\n"
        "    korvane_device.send(0x05, b'\\x01', expect='nak')\n")
    report = tmp_path / "report.xml"
    run = run_pytest("--korvane-port", sim.path, f"--junitxml={report}", "test_nak.py", cwd=tmp_path)
    assert run.returncode == 1, run.stdout + run.stderr
    outcome, message, props = junit_cases(report)["test_expects_a_nak"]
    assert outcome == "failure" and "expected nak, got ACK" in message
    capture = open(props["korvane_pcap"], "rb").read()
    assert bytes.fromhex("2E050101F8") in capture and b"\xff" in capture


@pytest.mark.parametrize("args,status,says", [
    ([], 0, "no device: give --korvane-port"),
    (["NetworkSerialPort rfc2217"], 4, "korvane-cli needs protocol: raw"),
    (["no serial resource"], 4, "no NetworkSerialPort and no SerialPort"),
])
def test_a_port_that_cannot_be_known(tmp_path, args, status, says):
    resources = {
        "NetworkSerialPort rfc2217": {"NetworkSerialPort": {"host": "127.0.0.1", "port": 9, "protocol": "rfc2217"}},
        "no serial resource": {"NetworkService": {"address": "127.0.0.1", "username": "x"}},
    }
    options = labgrid_env(tmp_path, resources[args[0]]) if args else []
    run = run_pytest(*options, "-rs", str(EXAMPLES / "test_device.py"), cwd=tmp_path)
    assert run.returncode == status and says in run.stdout + run.stderr, run.stdout + run.stderr
