#pragma once
// The serial transport under the link: one serial device ("COM1".."COM9"),
// 38400 baud, 8 data bits, no parity, one stop bit. It tells how many
// received bytes are waiting, reads only those, and writes byte by byte,
// waiting at most 2000 ms for each. Nothing here ever waits for input.
//
// Every device call goes through the Win32 communications API (win32api.h):
// on Windows the real one, elsewhere our stand-ins for it.

#include "win32api.h"

#include <string>

class SerialPort
{
public:
    SerialPort();
    ~SerialPort();

    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // 1 when the port is open, also when it already was (the first open's
    // device and settings stay, whatever the name); 0 on failure.
    int open(std::u16string name);
    // Always 1.
    int close();
    // The open device, null when closed: for a program that waits on the
    // line itself and asks ClearCommError whether it is still there.
    win::HANDLE nativeHandle() const { return portOpen() ? handle : nullptr; }
    // Received bytes waiting; 0 when closed.
    int available();
    // Takes at most maxBytes of the bytes already waiting; returns how many
    // were placed in buffer (0 when closed, idle or failed).
    int read(char* buffer, int maxBytes);
    int read(unsigned char* buffer, int maxBytes);
    // Hands the bytes to the device one at a time; returns length (0 when
    // closed or length <= 0), whether or not the device took them.
    int write(const unsigned char* data, int length);
    // One byte, waited for at most 2000 ms; always 1.
    int writeByte(unsigned char byte);
    // Why the last open failed: the Win32 error code of the call that
    // refused it (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ...); 0 after
    // an open that succeeded.
    win::DWORD openError() const { return lastOpenError; }
    // Why the open line stopped working: the Win32 code of the status query
    // or read that failed (a device pulled or hung up gives ERROR_GEN_FAILURE
    // here, ERROR_ACCESS_DENIED or ERROR_DEVICE_NOT_CONNECTED on Windows);
    // 0 while it works and after every open.
    win::DWORD lineError() const { return lastLineError; }

private:
    bool portOpen() const { return isOpen != 0 && handle != nullptr; }
    void releaseAfterFailedOpen();

    win::HANDLE handle;
    win::OVERLAPPED readOverlapped;
    win::OVERLAPPED writeOverlapped;
    int isOpen;
    win::DWORD lastOpenError = 0;
    win::DWORD lastLineError = 0;
};
