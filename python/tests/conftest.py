"""Shared by the package's tests: korvane-sim playing the device, and
korvane-cli from the build (CTest sets KORVANE_SIM and KORVANE_CLI)."""

import os
import queue
import re
import shlex
import subprocess
import sys
import threading
import time
import tty
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "support"))
import ser2net  # noqa: E402 - beside the C++ test support

CLI = os.environ.get("KORVANE_CLI", "")
SIM = os.environ.get("KORVANE_SIM", "")
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
README = (Path(__file__).resolve().parents[2] / "README.md").read_text()


def readme_blocks(heading, kind):
    """The code blocks of one kind ("python", "sh", "yaml") in the README's
    section under `heading`, as printed there."""
    section = README[README.index(heading):]
    section = section[:section.index("\n## ", len(heading))]
    return re.findall(rf"```{kind}\n(.*?)```", section, re.S)


SCRIPTING = "## Scripting device tests"


def readme_device(sims):
    """korvane-sim started as the README's scripting section starts it."""
    line = next(line for block in readme_blocks(SCRIPTING, "sh") for line in block.splitlines()
                if line.startswith("korvane-sim "))
    return sims(*shlex.split(line)[1:])


def pytest_sessionstart(session):
    if not (Path(CLI).is_file() and Path(SIM).is_file()):
        pytest.exit("korvane-cli or korvane-sim is not built (KORVANE_CLI, KORVANE_SIM)", returncode=77)  # CTest: skipped


class Sim:
    """korvane-sim as the device. name: what korvane-cli opens (COM7 or
    socket://...); path: the pseudo-terminal's slave."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([SIM, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self._lines, self.seen = queue.Queue(), []
        threading.Thread(target=lambda: [self._lines.put(l.rstrip()) for l in self.proc.stdout], daemon=True).start()
        ready = self.wait(r"^ready (\S+) ?(\S*)$")
        self.name = ready[1] if ready[2] else f"socket://{ready[1]}"
        self.path = ready[2] or self.name
        self.servers = []

    def serve(self, folder, port=0):
        """Debian's ser2net in front of the pseudo-terminal, as labgrid's
        exporter runs it; name becomes its rfc2217:// address."""
        server, self.name = ser2net.start(self.path, folder, port)
        self.servers.append(server)
        return server

    def wait(self, pattern, timeout=5.0):
        """The next output line that matches pattern, as a match."""
        while True:
            try:
                self.seen.append(self._lines.get(timeout=timeout))
            except queue.Empty:
                pytest.fail(f"korvane-sim did not print /{pattern}/ within {timeout} s: {self.seen}")
            found = re.search(pattern, self.seen[-1])
            if found:
                return found

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()


@pytest.fixture
def sims(tmp_path, monkeypatch):
    """Starts simulators, stopped after the test; COMn links go to the
    test's own ports folder. "--rfc2217" first: the simulator on a pty
    (COM7) that ser2net serves as labgrid's exporter does; its name is the
    rfc2217:// address. "--as COMn": that number is mapped to the
    simulator's network address, which it is then named by."""
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    started = []

    def start(*args):
        at = args.index("--as") if "--as" in args else None
        mapped = args[at + 1] if at is not None else None
        args = args[:at] + args[at + 2:] if mapped else args
        served = args[:1] == ("--rfc2217",)
        started.append(Sim(*(("--serial", "COM7") + args[1:] if served else args)))
        if served:
            started[-1].serve(tmp_path)
        if mapped:
            map_port(mapped, started[-1].name)
            started[-1].name = mapped
        return started[-1]

    yield start
    for sim in started:
        for proc in [sim.proc, *sim.servers]:
            proc.kill()
            proc.communicate()  # reaps it and closes its pipes


def map_port(com, address):
    """Maps COMn to a network address in the test's ports folder, as a
    user does with ln -s."""
    folder = Path(os.environ["XDG_CONFIG_HOME"]) / "korvane" / "ports"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / com).symlink_to(address)


@pytest.fixture(params=["--serial COM7", "--tcp 127.0.0.1:0", "--rfc2217"])
def device_sim(request, sims):
    """The simulator on each kind of line: a pty linked as COM7, loopback
    TCP, a pty behind ser2net's RFC 2217."""
    return sims(*request.param.split())


class ScriptedLine:
    """A pseudo-terminal the test holds as the device: korvane-cli opens
    `path`, and every link frame it writes is answered with `answer`, in one
    write."""

    def __init__(self, answer):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.answer = answer
        self.frames = 0
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        pending = b""
        while True:
            try:
                pending += os.read(self.master, 4096)
            except OSError:
                return
            pending = pending[pending.find(b"\x2e"):] if b"\x2e" in pending else b""
            while len(pending) >= 3 and len(pending) >= 4 + pending[2]:
                pending = pending[4 + pending[2]:]
                self.frames += 1
                os.write(self.master, self.answer)

    def close(self):
        os.close(self.slave)
        os.close(self.master)


@pytest.fixture
def scripted_line():
    """Makes ScriptedLines, closed after the test."""
    made = []
    yield lambda answer: made.append(ScriptedLine(answer)) or made[-1]
    for line in made:
        line.close()


def run_cli(*args):
    return subprocess.run([CLI, *args], capture_output=True, text=True, timeout=20, stdin=subprocess.DEVNULL)


def run_pytest(*args, cwd):
    """Debian's pytest in a process of its own: the plugin comes through its entry point."""
    return subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", *args],
                          capture_output=True, text=True, timeout=120, cwd=cwd)


def wait_until(check, what, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, f"{what} within {timeout} s"
        time.sleep(0.02)  # polling interval
