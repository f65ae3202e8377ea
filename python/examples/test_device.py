"""Example device tests with the korvane pytest plugin.

    pytest --korvane-port socket://bench-3:3001 --junitxml=report.xml test_device.py
    pytest --lg-env labgrid-env.yaml --junitxml=report.xml test_device.py

Each test gets the device opened for it (korvane_device), and its traffic
as a pcapng file next to report.xml, named in the report's properties."""


def test_device_acknowledges_a_frame(korvane_device):
    reply = korvane_device.send(0x01, b"\x0a\xff")  # fails the test unless ACKed within 1 s
    assert reply.rtt_ms < 50


def test_device_rejects_a_wrong_checksum(korvane_device):
    korvane_device.send_raw("2E 01 00 00")  # the checksum of 2E 01 00 is FE
    assert korvane_device.wait_event("reply", timeout=1.0)["reply"] == "nak"


def test_device_reports_its_status(korvane_device):
    # This device sends its status as frame 81 with one data byte, 07 when all is well.
    frame = korvane_device.expect_frame("81 ??", timeout=2.0)
    assert frame.data == b"\x07"
