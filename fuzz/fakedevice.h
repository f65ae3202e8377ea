#pragma once
// An in-memory serial device behind the win:: calls, for the fuzz target.
// "COM1" opens it; the harness queues the bytes the device has sent, the
// serial port reads them through ClearCommError and ReadFile, and every
// byte the tool writes back is kept for the harness to check. The socket
// calls find no network: every one of them fails. It names the ports
// for the window's tooltip, numbered as on Windows.

#include <cstddef>
#include <cstdint>
#include <string>

namespace FakeDevice {

// Bytes that arrive at the port, after those still waiting.
void queueInput(const std::uint8_t* bytes, std::size_t count);
// Bytes waiting that the tool has not read yet.
std::size_t pendingInput();
// Bytes the tool wrote to the device since the last call, in order.
std::string takeWritten();
// Drops waiting input and written bytes; the device stays open or closed.
void clear();

bool isOpen();
// Largest count that one ReadFile asked for since start.
std::size_t largestRead();

} // namespace FakeDevice
