#pragma once
// Why opening a serial port failed, from the Win32 code the serial
// transport kept: the reason class and its English words, shared by the
// window's messages and the command-line client.

#include <string>

namespace OpenFailure {

enum class Reason { NoDevice, PermissionDenied, InUse, NotSerial, LinkLoops, Other };

Reason serialReason(unsigned long code);

// "no such device", "in use by another program", ... for the device path
// (or COMn on Windows) that the open tried.
std::string serialText(unsigned long code, const std::string& device);

// Why a TCP connect failed, from its WinSock code: "connection refused", ...
std::string connectText(int code);

// The group that owns the device node, whose members may open it; empty
// where there is none to tell (Windows, or stat failed).
std::string owningGroup(const std::string& device);

} // namespace OpenFailure
