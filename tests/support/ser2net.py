"""Debian's ser2net serving a serial device as labgrid's exporter does
(telnet(rfc2217,mode=server), max-connections: 10), listening on 127.0.0.1
only: for the Python package's tests and the benchmarks. The C++ suites have
the same in ser2net.cpp."""

import socket
import subprocess
import time
from pathlib import Path


def listening(port):
    """Whether something listens on 127.0.0.1:port, from the kernel's table:
    a test connection would open the device behind ser2net."""
    local = f"0100007F:{port:04X}"
    rows = (line.split() for line in Path("/proc/net/tcp").read_text().splitlines()[1:])
    return any(f[1] == local and f[3] == "0A" for f in rows)


def start(device, folder, port=0):
    """Starts ser2net in front of `device` (on a free port unless given),
    its files in `folder`; returns the process and its rfc2217:// address
    once it listens. Raises RuntimeError when it does not."""
    if port == 0:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
    config = Path(folder) / f"ser2net-{port}.yaml"
    config.write_text("connection: &con01\n"
                      f"  accepter: telnet(rfc2217,mode=server),tcp,127.0.0.1,{port}\n"
                      f"  connector: serialdev(nouucplock=true),{device},38400n81,local\n"
                      "  options:\n    max-connections: 10\n")
    proc = subprocess.Popen(["ser2net", "-n", "-d", "-u", "-c", config, "-P", Path(folder) / f"ser2net-{port}.pid"],
                            stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not listening(port):
        if time.monotonic() > deadline or proc.poll() is not None:
            proc.kill()
            proc.wait()
            raise RuntimeError(f"ser2net does not listen on 127.0.0.1:{port}")
        time.sleep(0.005)  # polling interval
    return proc, f"rfc2217://127.0.0.1:{port}"
