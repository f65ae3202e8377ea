"""One korvane-cli session process: JSON lines to its standard input,
answers and events from its standard output, read by a thread of their own
so that no call waits longer than its timeout for a CLI that died or hung."""

import collections
import itertools
import json
import subprocess
import threading
import time

from .errors import LinkError

PROTOCOL = 1
# How long past a request's own timeout the CLI may take to answer before it
# counts as hung: a busy machine's scheduling, not the device's time.
GRACE = 2.0
STDERR_KEPT = 8192


class Session:
    """Starts `argv` (korvane-cli ... session) and talks to it.

    Answers go to the request that waits for them; events (lines without an
    "id") are handed to `on_event` on the reader thread, in order."""

    def __init__(self, argv, on_event, start_timeout=5.0):
        self._on_event = on_event
        self._lock = threading.Lock()
        self._answered = threading.Condition(self._lock)
        self._answers = {}
        self._ids = itertools.count(1)
        self._stderr = collections.deque()
        self._stderr_size = 0
        self._dead = None  # why the session ended, once it has
        self.hello = None
        try:
            # No console window of its own when the caller has none (pythonw).
            flags = getattr(subprocess, "CREATE_NO_WINDOW", 0)
            self._proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE, creationflags=flags)
        except OSError as e:
            raise LinkError(f"cannot start {argv[0]}: {e}") from e
        self._err_thread = threading.Thread(target=self._read_stderr, name="korvane-cli stderr", daemon=True)
        self._err_thread.start()
        self._out_thread = threading.Thread(target=self._read_stdout, name="korvane-cli stdout", daemon=True)
        self._out_thread.start()
        with self._lock:
            self._answered.wait_for(lambda: self.hello is not None or self._dead is not None, start_timeout)
            dead, hello = self._dead, self.hello
        if hello is None:
            if dead is not None:
                self._wait_exit(2.0)  # its last words on stderr come after the error line
            self._kill()
            raise LinkError(dead or f"korvane-cli did not open the port within {start_timeout} s", self.stderr())
        if hello.get("protocol") != PROTOCOL:
            self._kill()
            raise LinkError(f"korvane-cli speaks session protocol {hello.get('protocol')}, this package {PROTOCOL}")

    # -- requests ---------------------------------------------------------

    def request(self, cmd, wait, **fields):
        """Sends one request and returns its answer (a dict with "ok").
        `wait` is how long the CLI itself may take (its timeout_ms); past
        that and GRACE the CLI is taken for hung, killed, and LinkError raised."""
        rid = next(self._ids)
        line = json.dumps({"id": rid, "cmd": cmd, **fields}, separators=(",", ":")) + "\n"
        with self._lock:
            self._check_alive()
            self._answers[rid] = None
        try:
            self._proc.stdin.write(line.encode())
            self._proc.stdin.flush()
        except (OSError, ValueError):
            # It died: the reader thread tells how, from its output's end.
            self._out_thread.join(2.0)
            self._finish("korvane-cli closed its input")
            with self._lock:
                self._answers.pop(rid, None)
                self._check_alive()
        deadline = time.monotonic() + wait + GRACE
        with self._lock:
            while self._answers[rid] is None and self._dead is None:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._answered.wait(left)
            answer = self._answers.pop(rid)
            if answer is not None:
                return answer
            dead = self._dead
        if dead is None:
            self._kill()
            raise LinkError(f"korvane-cli gave no answer to {cmd!r} within {wait + GRACE:.1f} s (hung; stopped it)", self.stderr())
        self._wait_exit(1.0)
        with self._lock:
            self._check_alive()

    def _check_alive(self):
        # Called with the lock held.
        if self._dead is not None:
            raise LinkError(self._dead, self.stderr())

    # -- the end ----------------------------------------------------------

    def close(self, timeout=3.0):
        """Asks the CLI to release the port and exit; stops it if it does not."""
        alive = self._dead is None
        if alive:
            try:
                self._proc.stdin.close()  # EOF: the CLI closes the port and exits
            except OSError:
                pass
        try:
            self._proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self._kill()
        self._out_thread.join(timeout)
        self._err_thread.join(timeout)
        for f in (self._proc.stdout, self._proc.stderr):
            f.close()
        self._finish("session closed")

    @property
    def returncode(self):
        return self._proc.returncode

    @property
    def pid(self):
        return self._proc.pid

    def stderr(self):
        # The reader thread may still be taking the last lines in.
        self._err_thread.join(0.2)
        return b"".join(self._stderr).decode(errors="replace")

    def _kill(self):
        self._proc.kill()
        self._wait_exit(5.0)
        self._finish("korvane-cli was stopped")

    def _wait_exit(self, timeout):
        try:
            self._proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pass

    def _finish(self, why):
        with self._lock:
            if self._dead is None:
                self._dead = why
            self._answered.notify_all()

    # -- reader threads ---------------------------------------------------

    def _read_stderr(self):
        for chunk in iter(lambda: self._proc.stderr.read1(4096), b""):
            self._stderr.append(chunk)
            self._stderr_size += len(chunk)
            while self._stderr_size > STDERR_KEPT and len(self._stderr) > 1:
                self._stderr_size -= len(self._stderr.popleft())

    def _read_stdout(self):
        why = None
        for raw in self._proc.stdout:
            try:
                msg = json.loads(raw)
            except ValueError:
                why = f"korvane-cli wrote a line that is not JSON: {raw[:200]!r}"
                self._proc.kill()
                break
            if "id" in msg:
                with self._lock:
                    if msg["id"] in self._answers:
                        self._answers[msg["id"]] = msg
                        self._answered.notify_all()
                continue
            event = msg.get("event")
            if event == "hello":
                with self._lock:
                    self.hello = msg
                    self._answered.notify_all()
            elif event == "error" and self.hello is None:
                why = f"korvane-cli could not open the port: {msg.get('error')}"
                break
            else:
                self._on_event(msg)
        if why is None:
            code = self._proc.poll()
            if code is None:
                try:
                    code = self._proc.wait(1.0)
                except subprocess.TimeoutExpired:
                    code = None
            why = "korvane-cli ended" + (f" with exit status {code}" if code is not None else " its output")
        self._finish(why)
        self._on_event({"event": "end", "reason": why})
