"""A device on a line, driven through a korvane-cli session."""

import contextlib
import dataclasses
import threading
import time
import warnings
from typing import Optional

from .errors import ExpectationFailed, LinkError, RecordingDropped
from .locate import find_cli
from .session import Session

EXPECTS = ("ack", "nak", "none", "any")
# Events kept for frames() and wait_event(); past this the oldest half goes,
# so that hours of traffic nobody reads do not fill the memory.
EVENTS_KEPT = 100_000
ANSWERS = ("ack", "nak", "none")


@dataclasses.dataclass(frozen=True)
class Reply:
    """What became of a frame sent: the device's reply ("ack", "nak", or
    None when none came in time), the round trip in milliseconds (None
    without a reply), the bytes written, and whether the expectation held."""

    reply: Optional[str]
    rtt_ms: Optional[float]
    sent: bytes
    met: bool


@dataclasses.dataclass(frozen=True)
class Frame:
    """A frame the device sent: type, data, checksum byte and whether it is
    right, the wall-clock time its bytes were read (seconds since the
    epoch), and how it was answered: "ack" or "nak" once the answer was
    written, None when it was not answered or its answer could not be
    written; then answer_error says why."""

    type: int
    data: bytes
    checksum: int
    good: bool
    time: float
    answered: Optional[str]
    answer_error: Optional[str] = None

    @classmethod
    def from_json(cls, msg):
        return cls(
            type=msg["type"],
            data=bytes.fromhex(msg["data"]),
            checksum=int(msg["sum"], 16),
            good=msg["good"],
            time=msg["t"],
            answered=msg.get("answered"),
            answer_error=msg.get("answer_error"),
        )


# Failures of the line rather than of the request: "link lost: ...", "link:
# ..." (the line took no bytes), and a port that turned out to be no device's.
LINE_FAILURES = ("link", "this port speaks telnet")


def _refused(cmd, error):
    if error.startswith(LINE_FAILURES):
        raise LinkError(f"{cmd}: {error}")
    raise ValueError(f"korvane-cli refused {cmd}: {error}")


def _hex(data):
    if isinstance(data, str):
        return data
    return bytes(data).hex().upper()


def _pattern(pattern):
    """A frame pattern for the CLI: type then data bytes, "??" for any byte.
    Takes the CLI's own text ("01 ?? 0A"), or bytes / a sequence of ints and
    None (for any byte)."""
    if pattern is None or isinstance(pattern, str):
        return pattern
    return " ".join("??" if b is None else f"{b:02X}" for b in pattern)


class Device:
    """A device on one line. Made by korvane.open(); every received event is
    kept, in order, for frames() and wait_event()."""

    def __init__(self, port, cli=None, log=None, pcap=None, answer=None, answer_delay_ms=None, start_timeout=5.0):
        argv = [find_cli(cli), "--port", str(port)]
        if log is not None:
            argv += ["--log", str(log)]
        if pcap is not None:
            argv += ["--pcap", str(pcap)]
        if answer is not None:
            argv += ["--answer", answer]
        if answer_delay_ms is not None:
            argv += ["--answer-delay", str(answer_delay_ms)]
        argv.append("session")
        self.port = port
        self._events = []
        self._dropped = 0  # events dropped from the front: cursors count from the first ever
        self._seen = threading.Condition()
        self._cursors = {}
        self._ended = None
        self._recording_dropped = {"log_rows": 0, "pcap_packets": 0}
        self._session = Session(argv, self._on_event, start_timeout)

    @property
    def hello(self):
        """The CLI's hello: its version and the device it opened."""
        return self._session.hello

    @property
    def waiting(self):
        """Bytes that were waiting in the port when it was opened: read as
        the device's (their replies, frames and noise are events like any
        other) before anything is sent, so that none counts as an answer."""
        return self._session.hello.get("waiting", 0)

    @property
    def recording_dropped(self):
        """What the log and capture files lost so far, because their
        writer could not keep up: {"log_rows": N, "pcap_packets": M}."""
        return dict(self._recording_dropped)

    @property
    def cli_pid(self):
        return self._session.pid

    def _on_event(self, msg):
        with self._seen:
            self._events.append(msg)
            if len(self._events) > EVENTS_KEPT:
                half = EVENTS_KEPT // 2
                del self._events[:half]
                self._dropped += half
            kind = msg.get("event")
            if kind == "end":
                self._ended = msg["reason"]
            elif kind == "dropped":
                self._recording_dropped = {key: int(msg.get(key, 0)) for key in self._recording_dropped}
            self._seen.notify_all()

    def _ask(self, cmd, wait=1.0, **fields):
        answer = self._session.request(cmd, wait, **fields)
        if not answer.get("ok"):
            _refused(cmd, answer.get("error", "refused"))
        return answer

    # -- sending ----------------------------------------------------------

    def send(self, type, data=b"", expect="ack", timeout=1.0):
        """Sends a frame (type 0..255 and data bytes; start byte, len and
        checksum are added) and waits up to `timeout` seconds for the reply:
        the device's first reply byte after the frame was written. Every
        other reply stays for wait_event("reply"). Returns a Reply; raises
        ExpectationFailed when `expect` ("ack", "nak", "none" or "any") does
        not hold, LinkError when the line is lost or takes no bytes."""
        if expect not in EXPECTS:
            raise ValueError(f"expect must be one of {EXPECTS}")
        answer = self._ask("send", timeout, type=int(type), data=_hex(data), expect=expect,
                           timeout_ms=round(timeout * 1000))
        reply = Reply(answer.get("reply"), answer.get("rtt_ms"), bytes.fromhex(answer["sent"]), bool(answer["met"]))
        if not reply.met:
            got = f"{reply.reply.upper()} after {reply.rtt_ms:.3f} ms" if reply.reply else f"no reply within {timeout} s"
            raise ExpectationFailed(f"frame {reply.sent.hex(' ').upper()}: expected {expect}, got {got}", reply)
        return reply

    def send_raw(self, data):
        """Writes bytes exactly as given; returns them as written."""
        return bytes.fromhex(self._ask("raw", data=_hex(data))["sent"])

    def answer(self, mode="ack", delay_ms=0):
        """How received frames are answered from now on: "ack" (the tool's
        way: ACK good frames, NAK bad ones), "nak" for all, "none"; after
        `delay_ms`."""
        if mode not in ANSWERS:
            raise ValueError(f"mode must be one of {ANSWERS}")
        self._ask("answer", mode=mode, delay_ms=int(delay_ms))

    def ping(self):
        self._ask("ping")

    # -- receiving --------------------------------------------------------

    def expect_frame(self, pattern=None, timeout=1.0):
        """The oldest received frame, not yet taken by expect_frame, that
        matches `pattern` ("01 ?? 0A": type then data, "??" any byte; or
        bytes, or ints with None for any byte; None matches every frame) and
        has a good checksum; waits up to `timeout` seconds for one. Raises
        ExpectationFailed when none comes, naming the first frames that came
        meanwhile (its `result`: ["81 07", "82 01 02 (bad checksum)", ...])."""
        answer = self._session.request("expect_frame", timeout, pattern=_pattern(pattern),
                                       timeout_ms=round(timeout * 1000))
        if answer.get("ok"):
            return Frame.from_json(answer["frame"])
        error = answer.get("error", "")
        if error == "timeout":
            # What came instead: a pattern one byte off is the usual mistake.
            came, count = answer.get("came", []), answer.get("came_count", 0)
            seen = ", ".join(came) + (f" and {count - len(came)} more" if count > len(came) else "")
            raise ExpectationFailed(f"no frame matching {_pattern(pattern) or 'any'} within {timeout} s; "
                                    + (f"came: {seen}" if count else "no frame came"), came)
        _refused("expect_frame", error)

    def frames(self, timeout=0.0):
        """Yields every frame received (good or bad), each once, in order:
        those already here, then those that come in the next `timeout`
        seconds."""
        deadline = time.monotonic() + timeout
        while True:
            msg = self.wait_event("frame", max(deadline - time.monotonic(), 0.0))
            if msg is None:
                return
            yield Frame.from_json(msg)

    def wait_event(self, kind, timeout=1.0):
        """The next event of `kind` ("frame", "reply", "noise", "lost",
        "back", "dropped", "end") not yet returned for that kind, as the
        CLI's dict; None when none comes within `timeout` seconds. Replies
        that send() took are not among them."""
        deadline = time.monotonic() + timeout
        while True:
            with self._seen:
                start = self._cursors.get(kind, 0)
                for i in range(max(start - self._dropped, 0), len(self._events)):
                    if self._events[i].get("event") == kind:
                        self._cursors[kind] = self._dropped + i + 1
                        return self._events[i]
                seen = self._dropped + len(self._events)
                self._cursors[kind] = seen
                if self._ended is not None and kind != "end":
                    raise LinkError(self._ended, self._session.stderr())
            # The session's lock is held while events come in: no lost wake-up.
            if not self._session.wait_output(lambda: self._dropped + len(self._events) > seen, deadline):
                with self._seen:
                    if self._dropped + len(self._events) == seen and (self._ended is None or kind == "end"):
                        return None

    def close(self):
        """Releases the port; warns (RecordingDropped) when the log or the
        capture lost anything on the way."""
        self._session.close()
        lost = self.recording_dropped
        if any(lost.values()):
            warnings.warn(RecordingDropped(f"korvane-cli's recording on {self.port} lost {lost['log_rows']} log rows "
                                           f"and {lost['pcap_packets']} capture packets", lost), stacklevel=2)


@contextlib.contextmanager
def open(port, **options):  # noqa: A001 - korvane.open, as the API names it
    """Opens `port` ("COMn", a device path, socket://host:port or rfc2217://host:port) through
    korvane-cli and yields a Device; the port is released at the end.
    Options: cli (the program's path), log and pcap (files to write),
    answer and answer_delay_ms (how received frames are answered),
    start_timeout."""
    device = Device(port, **options)
    try:
        yield device
    finally:
        device.close()
