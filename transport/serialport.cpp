#include "serialport.h"

#include <climits>

using namespace win; // constants are macros on Windows, names in win elsewhere

namespace {
constexpr DWORD WriteWaitMs = 2000;
constexpr DWORD ReadWaitMs = 4000;
constexpr DWORD QueueSize = 1024;
constexpr DWORD BaudRate = 38400;
} // namespace

SerialPort::SerialPort()
    : handle(nullptr), readOverlapped(), writeOverlapped(), isOpen(0)
{
}

SerialPort::~SerialPort()
{
    close();
}

int SerialPort::open(std::u16string name)
{
    if (isOpen != 0)
        return 1;

    handle = win::CreateFileW(reinterpret_cast<LPCWSTR>(name.c_str()), GENERIC_READ | GENERIC_WRITE,
                              0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                              nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        lastOpenError = win::GetLastError();
        handle = nullptr;
        return 0;
    }

    readOverlapped = OVERLAPPED();
    writeOverlapped = OVERLAPPED();

    // Reads return at once with what has arrived; the device itself gives
    // up on a write after five seconds.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 5000;
    // Without these time-outs a read could wait for input and hold the
    // window for seconds.
    if (!win::SetCommTimeouts(handle, &timeouts)) {
        lastOpenError = win::GetLastError();
        releaseAfterFailedOpen();
        return 0;
    }

    readOverlapped.hEvent = win::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writeOverlapped.hEvent = win::CreateEventW(nullptr, TRUE, FALSE, nullptr);

    DCB dcb = {};
    dcb.DCBlength = static_cast<DWORD>(sizeof dcb);
    if (!win::GetCommState(handle, &dcb)) {
        lastOpenError = win::GetLastError();
        releaseAfterFailedOpen();
        return 0;
    }
    dcb.BaudRate = BaudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // The link has no escaping, so every byte value is data and nothing on
    // the line may act on its own. Whatever the driver was left with (XON/XOFF
    // after `mode COM3 xon=on` or another program, hardware handshake, error
    // replacement, abort on error) would swallow 0x11 and 0x13, stop output
    // at a received 0x13 or stall the port, so every flag is set here.
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!win::SetCommState(handle, &dcb) || !win::SetupComm(handle, QueueSize, QueueSize)) {
        lastOpenError = win::GetLastError();
        releaseAfterFailedOpen();
        return 0;
    }

    if (readOverlapped.hEvent == nullptr || writeOverlapped.hEvent == nullptr) {
        lastOpenError = ERROR_NOT_ENOUGH_MEMORY;
        releaseAfterFailedOpen();
        return 0;
    }
    isOpen = 1;
    lastOpenError = 0;
    lastLineError = 0;
    return 1;
}

void SerialPort::releaseAfterFailedOpen()
{
    if (readOverlapped.hEvent != nullptr)
        win::CloseHandle(readOverlapped.hEvent);
    if (writeOverlapped.hEvent != nullptr)
        win::CloseHandle(writeOverlapped.hEvent);
    win::CloseHandle(handle);
    readOverlapped = OVERLAPPED();
    writeOverlapped = OVERLAPPED();
    handle = nullptr;
}

int SerialPort::close()
{
    if (!portOpen())
        return 1;
    if (readOverlapped.hEvent != nullptr)
        win::CloseHandle(readOverlapped.hEvent);
    if (writeOverlapped.hEvent != nullptr)
        win::CloseHandle(writeOverlapped.hEvent);
    win::CloseHandle(handle);
    readOverlapped.hEvent = nullptr;
    writeOverlapped.hEvent = nullptr;
    isOpen = 0;
    handle = nullptr;
    return 1;
}

int SerialPort::available()
{
    if (!portOpen())
        return 0;
    // Line errors are cleared here and deliberately not reported; a query
    // that fails outright means the device itself is gone.
    DWORD errors = 0;
    COMSTAT stat = {};
    if (!win::ClearCommError(handle, &errors, &stat))
        lastLineError = win::GetLastError();
    return stat.cbInQue > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(stat.cbInQue);
}

int SerialPort::read(char* buffer, int maxBytes)
{
    return read(reinterpret_cast<unsigned char*>(buffer), maxBytes);
}

int SerialPort::read(unsigned char* buffer, int maxBytes)
{
    if (!portOpen() || buffer == nullptr || maxBytes <= 0)
        return 0;
    DWORD errors = 0;
    COMSTAT stat = {};
    if (!win::ClearCommError(handle, &errors, &stat)) {
        lastLineError = win::GetLastError();
        return 0;
    }
    if (stat.cbInQue == 0)
        return 0;

    DWORD n = stat.cbInQue;
    if (static_cast<DWORD>(maxBytes) < n)
        n = static_cast<DWORD>(maxBytes);
    const DWORD wanted = n;

    if (win::ReadFile(handle, buffer, n, &n, &readOverlapped))
        return static_cast<int>(n);
    const DWORD readError = win::GetLastError();
    if (readError != ERROR_IO_PENDING) {
        lastLineError = readError;
        return 0;
    }

    // Only a fallback: with the time-outs set at open a read of bytes that
    // are already waiting completes at once. The read must not outlive this
    // call, because the buffer belongs to the caller.
    DWORD got = 0;
    if (win::WaitForSingleObject(readOverlapped.hEvent, ReadWaitMs) != WAIT_OBJECT_0) {
        win::CancelIoEx(handle, &readOverlapped);
        win::GetOverlappedResult(handle, &readOverlapped, &got, TRUE);
    } else {
        win::GetOverlappedResult(handle, &readOverlapped, &got, FALSE);
    }
    return static_cast<int>(got < wanted ? got : wanted);
}

int SerialPort::write(const unsigned char* data, int length)
{
    if (!portOpen() || data == nullptr || length <= 0)
        return 0;
    for (int i = 0; i < length; ++i)
        writeByte(data[i]);
    return length;
}

int SerialPort::writeByte(unsigned char byte)
{
    if (!portOpen())
        return 1;
    DWORD written = 0;
    if (win::WriteFile(handle, &byte, 1, &written, &writeOverlapped))
        return 1;
    if (win::GetLastError() != ERROR_IO_PENDING)
        return 1;
    if (win::WaitForSingleObject(writeOverlapped.hEvent, WriteWaitMs) == WAIT_OBJECT_0) {
        win::GetOverlappedResult(handle, &writeOverlapped, &written, FALSE);
        return 1;
    }
    // The device has not taken the byte in time: give it up, and see the
    // write finished before `byte` goes out of scope and before the next
    // write reuses writeOverlapped.
    win::CancelIoEx(handle, &writeOverlapped);
    win::GetOverlappedResult(handle, &writeOverlapped, &written, TRUE);
    return 1;
}
