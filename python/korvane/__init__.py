"""Scripted tests of devices that speak Korvane's framed protocol.

    import korvane
    with korvane.open("socket://bench-3:3001") as device:
        device.send(0x01, b"\\x0a\\xff")            # raises unless ACKed within 1 s
        frame = device.expect_frame("81 ??", timeout=2.0)

The work is done by korvane-cli, run as a session; see docs/session-protocol.md.
"""

from .device import Device, Frame, Reply, open
from .errors import ExpectationFailed, KorvaneError, LinkError, RecordingDropped
from .locate import find_cli

__all__ = ["open", "Device", "Frame", "Reply", "ExpectationFailed", "KorvaneError", "LinkError",
           "RecordingDropped", "find_cli"]
