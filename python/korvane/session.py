"""One korvane-cli session process: JSON lines to its standard input,
answers and events from its standard output.

Whoever waits reads: a caller waiting for its answer (or for an event)
reads the CLI's output itself, so that the answer reaches it without a
hand-off between threads. A thread of its own reads while nobody waits, so
that the CLI never stalls on a full pipe and a CLI that died is noticed.
No call waits longer than its timeout for a CLI that died or hung."""

import collections
import itertools
import json
import os
import select
import subprocess
import threading
import time

from .errors import LinkError

PROTOCOL = 1
# How long past a request's own timeout the CLI may take to answer before it
# counts as hung: a busy machine's scheduling, not the device's time.
GRACE = 2.0
STDERR_KEPT = 8192
# The CLI refuses longer request lines unread, answering them with "id":null.
MAX_REQUEST_LINE = 64 * 1024
# After a caller's wait the reader thread leaves the output alone this long:
# a script's next request mostly comes sooner and reads its own answer.
IDLE = 0.02
READ_CHUNK = 65536
# Made once: json.dumps and json.loads with options build an encoder each call.
_encode = json.JSONEncoder(separators=(",", ":")).encode
_decode = json.JSONDecoder().decode


class Session:
    """Starts `argv` (korvane-cli ... session) and talks to it.

    Answers go to the request that waits for them; events (lines without an
    "id") are handed to `on_event`, in order, with the session's lock held.
    The lone reply that a send's answer reports comes just before that
    answer; it is the send's, and is not handed on."""

    # Windows pipes cannot be waited on with a timeout: there the reader
    # thread alone reads, and callers wait for it.
    callers_read = os.name != "nt"

    def __init__(self, argv, on_event, start_timeout=5.0):
        self._on_event = on_event
        self._cond = threading.Condition()
        self._answers = {}  # request id -> its answer, None until it comes
        self._sends = set()  # ids of the sends not yet answered
        self._held = None  # a reply event that may be a pending send's
        self._ids = itertools.count(1)
        self._reading = False  # a thread is reading the output
        self._waiters = 0
        self._last_wait = 0.0
        self._partial = b""
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
        self._fd = self._proc.stdout.fileno()
        if self.callers_read:
            os.set_blocking(self._fd, False)
        self._err_thread = threading.Thread(target=self._read_stderr, name="korvane-cli stderr", daemon=True)
        self._err_thread.start()
        self._out_thread = threading.Thread(target=self._read_idle, name="korvane-cli stdout", daemon=True)
        self._out_thread.start()
        self._wait(lambda: self.hello is not None, time.monotonic() + start_timeout)
        with self._cond:
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
        line = (_encode({"id": rid, "cmd": cmd, **fields}) + "\n").encode()
        if len(line) > MAX_REQUEST_LINE:
            raise ValueError(f"{cmd}: the request is {len(line)} bytes, korvane-cli takes {MAX_REQUEST_LINE}")
        with self._cond:
            self._check_alive()
            self._answers[rid] = None
            if cmd == "send":
                self._sends.add(rid)
        try:
            self._proc.stdin.write(line)
            self._proc.stdin.flush()
        except (OSError, ValueError):
            # It died: its output's end tells how.
            self._wait(lambda: False, time.monotonic() + 2.0)
            self._finish("korvane-cli closed its input")
        self._wait(lambda: self._answers[rid] is not None, time.monotonic() + wait + GRACE)
        with self._cond:
            answer = self._answers.pop(rid)
            self._sends.discard(rid)
            if answer is not None:
                return answer
            dead = self._dead
        if dead is None:
            self._kill()
            raise LinkError(f"korvane-cli gave no answer to {cmd!r} within {wait + GRACE:.1f} s (hung; stopped it)",
                            self.stderr())
        self._wait_exit(1.0)
        with self._cond:
            self._check_alive()

    def wait_output(self, done, deadline):
        """Waits until done(), called with the session's lock held, or the
        deadline (time.monotonic()) or the session's end; reads the CLI's
        output meanwhile. Returns done()."""
        return self._wait(done, deadline)

    def _check_alive(self):
        # Called with the lock held.
        if self._dead is not None:
            raise LinkError(self._dead, self.stderr())

    # -- the end ----------------------------------------------------------

    def close(self, timeout=3.0):
        """Asks the CLI to release the port and exit, and takes in what it
        writes until then; stops it if it does not exit."""
        try:
            self._proc.stdin.close()  # EOF: the CLI closes the port and exits
        except OSError:
            pass
        self._wait(lambda: False, time.monotonic() + timeout)
        if self._proc.poll() is None:
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
        with self._cond:
            self._end(why)

    def _end(self, why):
        # Called with the lock held: the first reason stays.
        if self._dead is not None:
            return
        self._dead = why
        self._release_held()
        self._on_event({"event": "end", "reason": why})
        self._cond.notify_all()

    # -- reading the output -----------------------------------------------

    def _wait(self, done, deadline):
        with self._cond:
            self._waiters += 1
            try:
                while not done():
                    left = deadline - time.monotonic()
                    if self._dead is not None or left <= 0:
                        return False
                    if self._reading or not self.callers_read:
                        self._cond.wait(left)
                        continue
                    self._reading = True
                    self._cond.release()
                    try:
                        lines, eof = self._read(left)
                    finally:
                        self._cond.acquire()
                        self._reading = False
                    self._take(lines, eof)
                return True
            finally:
                self._waiters -= 1
                self._last_wait = time.monotonic()

    def _read_idle(self):
        """The reader thread: reads while no caller waits."""
        while True:
            with self._cond:
                if self._dead is not None:
                    return
                busy = self.callers_read and (self._waiters or self._reading
                                              or time.monotonic() - self._last_wait < IDLE)
            if busy:
                time.sleep(IDLE)
                continue
            if self.callers_read and not select.select([self._fd], [], [], IDLE)[0]:
                continue
            with self._cond:
                if self.callers_read and (self._reading or self._waiters):
                    continue  # the caller reads it
                self._reading = True
            lines, eof = [], False
            try:
                lines, eof = self._read(0)
            finally:
                with self._cond:
                    self._reading = False
                    self._take(lines, eof)

    def _read(self, timeout):
        """Complete lines read within `timeout` s, and whether the output ended.
        Called by the one thread that reads, without the lock."""
        if self.callers_read:
            if not select.select([self._fd], [], [], timeout)[0]:
                return [], False
            try:
                chunk = os.read(self._fd, READ_CHUNK)
            except BlockingIOError:
                return [], False
        else:
            chunk = os.read(self._fd, READ_CHUNK)
        if not chunk:
            # Its exit status, for the reason: the output ends just before the process.
            self._wait_exit(1.0)
            return [self._partial] if self._partial else [], True
        lines = (self._partial + chunk).split(b"\n")
        self._partial = lines.pop()
        return lines, False

    def _take(self, lines, eof):
        """Hands each line on. Called with the lock held, in output order."""
        for raw in lines:
            if self._dead is not None:
                return
            try:
                msg = _decode(raw.decode())
            except ValueError:  # UnicodeDecodeError included
                msg = None
            why = self._take_line(msg) if isinstance(msg, dict) else "a line that is not a JSON object"
            if why:
                # A line this package cannot place: nothing after it can be trusted.
                self._proc.kill()
                self._end(f"korvane-cli broke the session protocol ({why}): {raw[:200]!r}")
        if eof:
            code = self._proc.poll()
            self._end("korvane-cli ended" + (f" with exit status {code}" if code is not None else " its output"))
        self._cond.notify_all()

    def _take_line(self, msg):
        """Places one object from the output; the reason when it cannot."""
        if "id" in msg:
            rid = msg["id"]
            if type(rid) is not int or self._answers.get(rid, True) is not None:
                return "an answer to no request waiting"
            if rid in self._sends:
                self._sends.discard(rid)
                if self._held is not None and msg.get("reply") == self._held.get("reply"):
                    self._held = None  # this send's reply
            self._release_held()
            self._answers[rid] = msg
            return None
        event = msg.get("event")
        if not isinstance(event, str):
            return "neither an answer nor an event"
        self._release_held()
        if event == "hello" and self.hello is None:
            self.hello = msg
        elif event == "error":
            # The port did not open, or the line turned out to be no device's.
            prefix = "korvane-cli could not open the port: " if self.hello is None else "korvane-cli: "
            self._end(prefix + str(msg.get("error")))
        elif event == "reply" and self._sends:
            self._held = msg
        else:
            self._on_event(msg)
        return None

    def _release_held(self):
        held, self._held = self._held, None
        if held is not None:
            self._on_event(held)

    def _read_stderr(self):
        for chunk in iter(lambda: self._proc.stderr.read1(4096), b""):
            self._stderr.append(chunk)
            self._stderr_size += len(chunk)
            while self._stderr_size > STDERR_KEPT and len(self._stderr) > 1:
                self._stderr_size -= len(self._stderr.popleft())
