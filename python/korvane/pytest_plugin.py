"""The pytest plugin (entry point pytest11 "korvane"): a korvane_device
fixture on the port that --korvane-port names, or that the main target of a
labgrid environment (--lg-env) describes. Each test's traffic is written as
pcapng beside the JUnit report (or in the test's tmp_path without one). The
report names the file in the test's system-out as [[ATTACHMENT|path]],
which GitLab and Jenkins show as an attachment, and, where the report's
junit_family allows properties (xunit1, legacy), as the property
"korvane_pcap". A test whose capture lost packets fails."""

import hashlib
import os
import re
import warnings
from pathlib import Path

import pytest

from .device import Device
from .errors import RecordingDropped

FIXTURE = "korvane_device"
SKIP_OPTION = "--korvane-skip-without-device"
SKIP_INI = "korvane_skip_without_device"
NO_DEVICE = "no device: give --korvane-port PORT or --lg-env ENV.yaml"
# A capture's name, without ".pcapng": file systems take 255 bytes.
NAME_MAX = 120
CAPTURES = pytest.StashKey[dict]()


def pytest_addoption(parser):
    group = parser.getgroup("korvane", "devices driven through korvane-cli")
    group.addoption("--korvane-port", metavar="PORT",
                    help="the device's port: COMn, a device path, socket://HOST:PORT or rfc2217://HOST:PORT")
    group.addoption("--korvane-cli", metavar="PATH",
                    help="the korvane-cli program (default: $KORVANE_CLI, beside the package, PATH)")
    group.addoption(SKIP_OPTION, action="store_true", default=False,
                    help="skip the tests that need a device when neither --korvane-port nor --lg-env names one "
                         "(without it, such a run is a usage error)")
    parser.addini(SKIP_INI, type="bool", default=False,
                  help=f"as {SKIP_OPTION}: skip the tests that need a device when none is named")


@pytest.hookimpl(trylast=True)  # after the JUnit writer is made
def pytest_configure(config):
    config.stash[CAPTURES] = {}
    xml = _junit(config)
    if xml is not None:
        config.pluginmanager.register(_Attachments(xml, config.stash[CAPTURES]), "korvane-attachments")


def _labgrid_named(config):
    # labgrid's plugin reads $LG_ENV when --lg-env is not given.
    return hasattr(config.option, "lg_env") and bool(config.option.lg_env or os.environ.get("LG_ENV"))


def _skip_without_device(config):
    return config.getoption("korvane_skip_without_device") or config.getini(SKIP_INI)


def _no_device_message(count):
    return (f"{count} test(s) need a device ({FIXTURE}), and none is named: give --korvane-port PORT or "
            f"--lg-env ENV.yaml, or {SKIP_OPTION} (ini: {SKIP_INI} = true) to skip them")


def pytest_collection_modifyitems(config, items):
    # A run that was to test a device and cannot must not pass: it stops
    # before the first test unless the user asked for skips.
    needing = [item for item in items if FIXTURE in getattr(item, "fixturenames", ())]
    listing = config.option.collectonly or getattr(config.option, "showfixtures", False) or \
        getattr(config.option, "show_fixtures_per_test", False)
    if not needing or listing or config.getoption("korvane_port") or _labgrid_named(config):
        return
    if not _skip_without_device(config):
        raise pytest.UsageError(_no_device_message(len(needing)))
    for item in needing:
        item.add_marker(pytest.mark.skip(reason=NO_DEVICE))


def _usage(message):
    # Every test would fail the same way: the run stops, as for a bad option.
    pytest.exit(message, returncode=pytest.ExitCode.USAGE_ERROR)


def _labgrid_port(request):
    """The port of the labgrid environment's main target, or None without one."""
    if not _labgrid_named(request.config):
        return None
    # labgrid's own env fixture: it knows where its version keeps the environment.
    try:
        env = request.getfixturevalue("env")
    except pytest.skip.Exception as skipped:
        _usage(f"--lg-env is given, but labgrid has no environment: {skipped}")
    if env is None:
        _usage("--lg-env is given, but labgrid has no environment")
    from labgrid.exceptions import NoResourceFoundError
    from labgrid.resource import NetworkSerialPort, SerialPort

    target = env.get_target()
    if target is None:
        _usage("the labgrid environment has no target 'main'")
    try:
        net = target.get_resource(NetworkSerialPort)
    except NoResourceFoundError:
        net = None
    if net is not None:
        # labgrid's default, as its exporter serves ports: telnet with RFC 2217.
        scheme = {"raw": "socket", "rfc2217": "rfc2217"}.get(net.protocol)
        if scheme is None:
            _usage(f"NetworkSerialPort {net.host}:{net.port} speaks {net.protocol}; "
                   "korvane-cli takes protocol: raw or rfc2217")
        if net.speed != 38400:
            warnings.warn(f"NetworkSerialPort {net.host}:{net.port} says speed {net.speed}; the device speaks 38400, "
                          "which korvane-cli asks for (rfc2217) or takes as given (raw)", stacklevel=2)
        return f"{scheme}://{net.host}:{net.port}"
    try:
        return target.get_resource(SerialPort).port
    except NoResourceFoundError:
        _usage("the labgrid target 'main' has no NetworkSerialPort and no SerialPort")


def capture_name(node):
    """The capture's file name for a test node: its file, class and name
    with parameters; a hash of the whole node id is added when the name had
    to be shortened or changed for the file system."""
    try:
        parts = list(node.path.relative_to(node.config.invocation_params.dir).with_suffix("").parts)
    except ValueError:
        parts = [node.path.stem]
    readable = ".".join(parts + node.nodeid.split("::")[1:])
    name = re.sub(r"[^A-Za-z0-9_.\[\]-]", "_", readable)
    if name != readable or len(name) > NAME_MAX:
        name = name[:NAME_MAX - 9] + "-" + hashlib.sha1(node.nodeid.encode()).hexdigest()[:8]
    return name + ".pcapng"


def _capture_folder(config, request):
    junit = config.getoption("xmlpath", None)
    if junit:
        folder = Path(junit).resolve().parent / "korvane-captures"
        folder.mkdir(parents=True, exist_ok=True)
        return folder
    return request.getfixturevalue("tmp_path")


@pytest.fixture
def korvane_device(request):
    """The device, opened for this test and closed after it."""
    config = request.config
    port = config.getoption("korvane_port") or _labgrid_port(request)
    if not port:
        if not _skip_without_device(config):
            _usage(_no_device_message(1))
        pytest.skip(NO_DEVICE)
    pcap = _capture_folder(config, request) / capture_name(request.node)
    config.stash[CAPTURES][request.node.nodeid] = pcap
    xml = _junit(config)
    if xml is None or xml.family == "xunit1":
        request.node.user_properties.append(("korvane_pcap", str(pcap)))
    device = Device(port, cli=config.getoption("korvane_cli"), pcap=pcap)
    try:
        yield device
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RecordingDropped)  # the test fails instead
            device.close()
    lost = device.recording_dropped["pcap_packets"]
    if lost:
        pytest.fail(f"the capture {pcap} lost {lost} packets: it does not hold all of this test's traffic")


def _junit(config):
    """pytest's JUnit writer when --junitxml is given, else None."""
    try:
        from _pytest.junitxml import xml_key
    except ImportError:
        return None
    return config.stash.get(xml_key, None)


class _Attachments:
    """Names each test's capture in the system-out of its JUnit testcase,
    whatever junit_logging puts there besides."""

    def __init__(self, xml, captures):
        self._xml = xml
        self._captures = captures

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_logreport(self, report):
        capture = self._captures.pop(report.nodeid, None) if report.when == "teardown" else None
        reporter = self._xml.node_reporter(report) if capture is not None else None
        yield
        if reporter is None:
            return
        case = reporter.to_xml()  # closed by now: the element that goes into the report
        out = case.find("system-out")
        if out is None:
            out = case.makeelement("system-out", {})
            case.append(out)
        out.text = (out.text or "") + f"[[ATTACHMENT|{capture}]]\n"
