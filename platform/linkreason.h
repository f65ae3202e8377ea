#pragma once
// Why a link failed, from the Win32 or WinSock code the transport kept: the
// reason's class and its English words, shared by the window (which adds its
// Chinese status lines) and the command-line client.

#include <string>

namespace LinkReason {

// Opening a serial port.
enum class Open { NoDevice, PermissionDenied, InUse, NotSerial, LinkLoops, Other };
Open serialOpen(unsigned long code);
// "no such device", "in use by another program", ... for the device path
// (or COMn on Windows) that the open tried.
std::string serialOpenText(unsigned long code, const std::string& device);

// The group that owns the device node, whose members may open it; empty
// where there is none to tell (Windows, or stat failed).
std::string owningGroup(const std::string& device);

// Connecting: "connection refused", "network unreachable", ...
std::string connectText(int code);

// An open link that stopped working.
enum class Lost { HungUp, Removed, Closed, Reset, TimedOut, Unreachable, Other };
// A serial line whose status query or read failed.
Lost serialLost(unsigned long code);
// A connection that ended: code 0 when the device closed it (recv gave 0),
// else the WinSock code of the failed receive or send.
Lost connectionLost(int code);
// "I/O error, the device was unplugged or hung up", "device closed the
// connection", ...; code is named for Other.
std::string lostText(Lost lost, long code);

} // namespace LinkReason
