"""The pytest plugin as a user runs it: Debian's pytest in a process of its
own, on the example tests, the port given by --korvane-port or a labgrid
environment; each test's capture beside the JUnit report."""

import os
import re
import xml.etree.ElementTree as ET

import pytest
import yaml
from pathlib import Path

import shutil
import subprocess
import sys

from conftest import EXAMPLES, SCRIPTING, readme_blocks, readme_device, run_pytest


def junit_cases(report):
    """{class or module.name: (failure or error message or None, properties, attachments named in system-out)}"""
    return {f'{case.get("classname").rsplit(".", 1)[-1]}.{case.get("name")}': (next((f.get("message") for f in case if f.tag in ("failure", "error")), None),
                               {p.get("name"): p.get("value") for p in case.iter("property")},
                               re.findall(r"\[\[ATTACHMENT\|(.*?)\]\]", "".join(o.text or "" for o in case.iter("system-out"))))
            for case in ET.parse(report).iter("testcase")}


def labgrid_env(tmp_path, resources):
    (tmp_path / "env.yaml").write_text(yaml.safe_dump({"targets": {"main": {"resources": resources}}}))
    return ["--lg-env", str(tmp_path / "env.yaml")]


@pytest.mark.parametrize("source,family", [("--korvane-port", "xunit2"), ("--korvane-port", "xunit1"),
                                           ("labgrid RawSerialPort", "xunit2")])
def test_examples_pass_with_a_capture_each(sims, tmp_path, source, family):
    sim = sims("--serial", "COM7", "--frame", "81 07", "--rate", "20")
    port = ["--korvane-port", sim.name] if source == "--korvane-port" else \
        labgrid_env(tmp_path, {"RawSerialPort": {"port": sim.path, "speed": 38400}})
    run = run_pytest(*port, "-W", "error::pytest.PytestWarning", "-o", f"junit_family={family}",
                     f"--junitxml={tmp_path}/out/report.xml", str(EXAMPLES / "test_device.py"), cwd=tmp_path)
    assert run.returncode == 0 and "3 passed" in run.stdout and "warning" not in run.stdout, run.stdout
    cases = junit_cases(tmp_path / "out" / "report.xml")
    assert len(cases) == 3
    for _, props, (capture,) in cases.values():
        assert props == ({"korvane_pcap": capture} if family == "xunit1" else {})
        assert capture.startswith(f"{tmp_path}/out/korvane-captures/")
        assert open(capture, "rb").read(4) == b"\x0a\x0d\x0d\x0a"  # pcapng


TWO_CLASSES_AND_A_LONG_ID = """
import pytest
class TestPump:
    def test_start(self, korvane_device):
        korvane_device.send(0x11)
class TestValve:
    def test_start(self, korvane_device):
        korvane_device.send(0x22)
@pytest.mark.parametrize("setting", ["x" * 260, "a/b c"])
def test_setting(korvane_device, setting):
    korvane_device.send(0x33, setting[:3].encode())
"""


def test_each_test_node_has_a_capture_of_its_own(sims, tmp_path):
    sim = sims("--serial", "COM7")
    (tmp_path / "test_two_classes.py").write_text(TWO_CLASSES_AND_A_LONG_ID)
    run = run_pytest("--korvane-port", sim.name, "--junitxml=report.xml", "test_two_classes.py", cwd=tmp_path)
    assert run.returncode == 0, run.stdout
    captures = [attached for _, _, (attached,) in junit_cases(tmp_path / "report.xml").values()]
    assert len(set(captures)) == 4 and all(len(Path(c).name) <= 127 for c in captures), captures
    pump, valve = (open(c, "rb").read() for c in captures[:2])
    assert ("TestPump.test_start" in captures[0], "TestValve.test_start" in captures[1]) == (True, True)
    assert (bytes.fromhex("2E1100EE") in pump, bytes.fromhex("2E1100EE") in valve) == (True, False)


def test_a_failed_test_keeps_the_capture_of_what_went_wrong(sims, tmp_path):
    sim = sims("--serial", "COM7")
    (tmp_path / "test_nak.py").write_text("def test_nak(korvane_device):\n"
                                          "    korvane_device.send(0x05, b'\\x01', expect='nak')\n")
    run = run_pytest("--korvane-port", sim.path, "--junitxml=report.xml", "test_nak.py", cwd=tmp_path)
    message, _, (attached,) = junit_cases(tmp_path / "report.xml")["test_nak.test_nak"]
    assert run.returncode == 1 and "expected nak, got ACK" in message
    capture = open(attached, "rb").read()
    assert bytes.fromhex("2E050101F8") in capture and b"\xff" in capture


@pytest.mark.parametrize("speed,says", [(38400, "3 passed"), (115200, "says speed 115200")])
def test_a_labgrid_port_shared_with_rfc2217(sims, tmp_path, speed, says):
    # As labgrid's exporter serves one: ser2net's telnet(rfc2217), and the
    # resource's protocol left at labgrid's default.
    sim = sims("--rfc2217", "--frame", "81 07", "--rate", "20")
    host, port = sim.name[len("rfc2217://"):].rsplit(":", 1)
    env = labgrid_env(tmp_path, {"NetworkSerialPort": {"host": host, "port": int(port), "speed": speed}})
    run = run_pytest(*env, str(EXAMPLES / "test_device.py"), cwd=tmp_path)
    assert run.returncode == 0 and says in run.stdout, run.stdout


@pytest.mark.parametrize("resources,options,status,says", [
    (None, [], 4, "give --korvane-port PORT or --lg-env ENV.yaml, or --korvane-skip-without-device"),
    (None, ["--korvane-skip-without-device"], 0, "3 skipped"),
    (None, ["-o", "korvane_skip_without_device=true"], 0, "3 skipped"),
    ({"NetworkSerialPort": {"host": "127.0.0.1", "port": 9, "protocol": "ssh"}}, [], 4,
     "takes protocol: raw or rfc2217"),
    ({"NetworkService": {"address": "127.0.0.1", "username": "x"}}, [], 4, "no NetworkSerialPort and no SerialPort"),
])
def test_a_port_that_cannot_be_known(tmp_path, resources, options, status, says):
    env = labgrid_env(tmp_path, resources) if resources else []
    run = run_pytest(*env, *options, "-rs", str(EXAMPLES / "test_device.py"), cwd=tmp_path)
    assert run.returncode == status and says in run.stdout + run.stderr, run.stdout + run.stderr


# Where labgrid 24 and later keep the environment: only in config.stash,
# under their own key, read by their env fixture (Debian's 0.4.1 sets
# config._labgrid_env). Unless "found" is false: then no environment at all.
LABGRID_LAYOUT = """
import pytest
from labgrid.pytestplugin import hooks
hooks.LABGRID_ENV_KEY = KEY = pytest.StashKey()

def pytest_sessionstart(session):
    session.config.stash[KEY] = session.config._labgrid_env if {found} else None
    session.config._labgrid_env = None

@pytest.fixture(scope="session")
def env(request):
    found = request.config.stash[KEY]
    if found is None:
        pytest.skip("missing environment config (use --lg-env)")
    return found
"""


@pytest.mark.parametrize("found,status,says", [(True, 0, "3 passed"), (False, 4, "labgrid has no environment")])
def test_the_labgrid_environment_wherever_labgrid_keeps_it(sims, tmp_path, found, status, says):
    sim = sims("--serial", "COM7", "--frame", "81 07", "--rate", "20")
    (tmp_path / "tests").mkdir()
    (tmp_path / "tests" / "conftest.py").write_text(LABGRID_LAYOUT.format(found=found))
    (tmp_path / "tests" / "test_device.py").write_text((EXAMPLES / "test_device.py").read_text())
    env = labgrid_env(tmp_path, {"RawSerialPort": {"port": sim.path, "speed": 38400}})
    run = run_pytest(*env, "tests", cwd=tmp_path)
    assert run.returncode == status and says in run.stdout + run.stderr, run.stdout + run.stderr


def test_the_readme_runs_the_examples_from_a_working_folder(sims, tmp_path):
    readme_device(sims)
    installed = tmp_path / "doc"
    shutil.copytree(EXAMPLES, installed)
    steps = next(block for block in readme_blocks(SCRIPTING, "sh") if "examples/test_device.py" in block)
    script = f'pytest() {{ {sys.executable} -m pytest "$@"; }}\n' + \
        steps.replace("/usr/share/doc/korvane/examples", str(installed))
    run = subprocess.run(["bash", "-e", "-c", script], env={**os.environ, "HOME": str(tmp_path / "home")},
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and "3 passed" in run.stdout, run.stdout + run.stderr
    assert sorted(p.name for p in installed.iterdir()) == sorted(p.name for p in EXAMPLES.iterdir())



def test_a_test_whose_capture_lost_packets_fails(sims, tmp_path):
    sim = sims("--serial", "COM7", "--frame", "81 " + "00 " * 50, "--count", "10000000", "--stay")  # a flood
    (tmp_path / "test_flood.py").write_text("def test_flood(korvane_device):\n"
                                            "    assert korvane_device.wait_event('dropped', timeout=10)\n")
    (tmp_path / "korvane-captures").mkdir()
    fifo = tmp_path / "korvane-captures" / "test_flood.test_flood.pcapng"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # open, never read: the pipe fills
    run = run_pytest("--korvane-port", sim.name, "--junitxml=report.xml", "test_flood.py", cwd=tmp_path)
    os.close(reader)
    message, _, (attached,) = junit_cases(tmp_path / "report.xml")["test_flood.test_flood"]
    assert run.returncode == 1 and attached == str(fifo) and "packets" in message, run.stdout
