"""What the package's tests share: korvane-sim playing the device (on a
pseudo-terminal linked as COMn, or a loopback TCP port), and korvane-cli,
from the build (CTest sets KORVANE_SIM and KORVANE_CLI)."""

import os
import queue
import re
import subprocess
import sys
import threading
from pathlib import Path

import pytest

CLI = os.environ.get("KORVANE_CLI", "")
SIM = os.environ.get("KORVANE_SIM", "")
PYTHON_SITE = os.environ.get("PYTHONPATH", "")
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def pytest_sessionstart(session):
    # 77: CTest's SKIP_RETURN_CODE for these runs.
    if not Path(CLI).is_file():
        pytest.exit("korvane-cli is not built yet (KORVANE_CLI unset): nothing to test", returncode=77)
    if not Path(SIM).is_file():
        pytest.exit("korvane-sim is not built (KORVANE_SIM unset)", returncode=77)


class Sim:
    """korvane-sim as the device: its output lines are read by a thread so
    that wait() can look for one with a timeout; command() writes a line
    of its standard input."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([SIM, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self._lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()
        ready = self.wait(r"^ready (\S+)(?: (\S+))?$")
        if ready.group(2):  # ready COMn /dev/pts/N
            self.name, self.path = ready.group(1), ready.group(2)
        else:               # ready 127.0.0.1:PORT
            self.name = self.path = f"socket://{ready.group(1)}"

    def _read(self):
        for line in self.proc.stdout:
            self._lines.put(line.rstrip("\n"))

    def wait(self, pattern, timeout=5.0):
        while True:
            try:
                line = self._lines.get(timeout=timeout)
            except queue.Empty:
                pytest.fail(f"korvane-sim did not print /{pattern}/ within {timeout} s; it printed {self.seen}")
            self.seen.append(line)
            found = re.search(pattern, line)
            if found:
                return found

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def stop(self):
        self.proc.kill()
        self.proc.wait()


@pytest.fixture
def sims(tmp_path, monkeypatch):
    """Starts simulators (args as korvane-sim takes them); stops them after
    the test. COMn links go to this test's own ports folder."""
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    started = []

    def start(*args):
        started.append(Sim(*args))
        return started[-1]

    yield start
    for sim in started:
        sim.stop()


@pytest.fixture(params=["pty", "tcp"])
def device_sim(request, sims):
    """The simulator on each kind of line: a pseudo-terminal linked as
    COM7, or TCP on a free loopback port."""
    if request.param == "pty":
        return sims("--serial", "COM7")
    return sims("--tcp", "127.0.0.1:0")


def run_cli(*args, timeout=10):
    return subprocess.run([CLI, *args], capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)


def run_pytest(*args, cwd):
    """Debian's pytest in a process of its own, which loads the plugin
    through its entry point from the package as built."""
    return subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", *args],
                          capture_output=True, text=True, timeout=120, cwd=cwd)
