"""The pytest plugin (entry point pytest11 "korvane"): a korvane_device
fixture on the port that --korvane-port names, or that the main target of a
labgrid environment (--lg-env) describes. Each test's traffic is written as
pcapng beside the JUnit report (or in the test's tmp_path without one) and
its path recorded as the test's property "korvane_pcap"."""

import re
from pathlib import Path

import pytest

from .device import Device


def pytest_addoption(parser):
    group = parser.getgroup("korvane", "devices driven through korvane-cli")
    group.addoption("--korvane-port", metavar="PORT",
                    help="the device's port: COMn, a device path or socket://HOST:PORT")
    group.addoption("--korvane-cli", metavar="PATH",
                    help="the korvane-cli program (default: $KORVANE_CLI, beside the package, PATH)")


def _usage(message):
    # Every test would fail the same way: the run stops, as for a bad option.
    pytest.exit(message, returncode=pytest.ExitCode.USAGE_ERROR)


def _labgrid_port(config):
    """The port of the labgrid environment's main target, or None."""
    env = getattr(config, "_labgrid_env", None)
    if env is None:
        return None
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
        if net.protocol != "raw":
            _usage(
                f"NetworkSerialPort {net.host}:{net.port} speaks {net.protocol}; korvane-cli needs protocol: raw")
        return f"socket://{net.host}:{net.port}"
    try:
        return target.get_resource(SerialPort).port
    except NoResourceFoundError:
        _usage("the labgrid target 'main' has no NetworkSerialPort and no SerialPort")


def _capture_folder(config, request):
    junit = config.getoption("xmlpath", None)
    if junit:
        folder = Path(junit).resolve().parent / "korvane-captures"
        folder.mkdir(parents=True, exist_ok=True)
        return folder
    return request.getfixturevalue("tmp_path")


@pytest.fixture
def korvane_device(request, record_property):
    """The device, opened for this test and closed after it."""
    config = request.config
    port = config.getoption("korvane_port") or _labgrid_port(config)
    if not port:
        pytest.skip("no device: give --korvane-port PORT or --lg-env ENV.yaml")
    name = re.sub(r"[^A-Za-z0-9_.-]+", "_", f"{request.node.path.stem}.{request.node.name}")
    pcap = _capture_folder(config, request) / f"{name}.pcapng"
    record_property("korvane_pcap", str(pcap))
    device = Device(port, cli=config.getoption("korvane_cli"), pcap=pcap)
    try:
        yield device
    finally:
        device.close()
