"""The exceptions the package raises."""


class KorvaneError(Exception):
    """Base of every error this package raises."""


class LinkError(KorvaneError):
    """korvane-cli could not be started, died, hung, or the line failed.

    ``stderr`` holds the CLI's last words (its standard error) when there were any.
    """

    def __init__(self, message, stderr=""):
        self.stderr = stderr
        text = message
        if stderr:
            text += "\nkorvane-cli said:\n" + stderr.rstrip()
        super().__init__(text)


class ExpectationFailed(KorvaneError, AssertionError):
    """The device did not do what the test expected (a wrong reply, none in
    time, no matching frame). An AssertionError, so pytest reports a failed
    test rather than an error; ``result`` is what was seen instead, if anything."""

    def __init__(self, message, result=None):
        self.result = result
        super().__init__(message)


class RecordingDropped(UserWarning):
    """The log or capture file lost rows or packets: its writer (a slow disk,
    a FIFO whose reader stalled) could not keep up. ``dropped`` holds the
    counts: {"log_rows": N, "pcap_packets": M}."""

    def __init__(self, message, dropped):
        self.dropped = dropped
        super().__init__(message)
