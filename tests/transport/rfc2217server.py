"""pyserial's RFC 2217 server (serial.rfc2217.PortManager) in front of a
serial device, for one client on loopback. It prints "ready PORT" once it
listens, then one line per line setting the client asks for, as the serial
port holds it after the request ("baudrate 38400", "xonxoff False", ...),
and "purge input" / "purge output" when the client purges.

usage: rfc2217server.py DEVICE"""

import socket
import sys
import threading

import serial
import serial.rfc2217


def say(text):
    print(text, flush=True)


class RecordedSerial(serial.Serial):
    # A pseudo-terminal has no modem lines, which the server reports.
    cts = dsr = ri = cd = False

    def reset_input_buffer(self):
        say("purge input")
        super().reset_input_buffer()

    def reset_output_buffer(self):
        say("purge output")
        super().reset_output_buffer()


class Recorded(serial.rfc2217.PortManager):
    def _telnet_process_subnegotiation(self, suboption):
        super()._telnet_process_subnegotiation(suboption)
        s = self.serial
        for name in ("baudrate", "bytesize", "parity", "stopbits", "xonxoff", "rtscts"):
            value = getattr(s, name)
            if self.seen.get(name) != value:
                self.seen[name] = value
                say(f"{name} {value}")


def main():
    # Opened at another speed than the one asked for, so the request shows.
    device = RecordedSerial(sys.argv[1], 9600, xonxoff=True)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    say(f"ready {listener.getsockname()[1]}")
    connection, _ = listener.accept()
    connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    class Writer:
        def write(self, data):
            connection.sendall(data)

    manager = Recorded(device, Writer())
    manager.seen = {}

    def from_device():
        while True:
            data = device.read(device.in_waiting or 1)
            if data:
                connection.sendall(b"".join(manager.escape(data)))

    threading.Thread(target=from_device, daemon=True).start()
    while True:
        data = connection.recv(4096)
        if not data:
            break
        device.write(b"".join(manager.filter(data)))


main()
