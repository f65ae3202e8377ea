#include "fakedevice.h"

#include "portnumbering.h"
#include "win32api.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The one device. Its handle is its own address, so a stale or foreign
// handle is told apart at once.
struct Device
{
    bool open = false;
    std::vector<std::uint8_t> input; // input[head..] is waiting
    std::size_t head = 0;
    std::string written;
    std::size_t largestRead = 0;
};

Device device;
char events[2];      // handles for CreateEventW; only their addresses matter
int nextEvent = 0;
win::DWORD lastError = 0;

[[noreturn]] void misuse(const char* what)
{
    std::fprintf(stderr, "fake device: %s\n", what);
    std::abort();
}

bool isDevice(win::HANDLE h)
{
    return h == static_cast<win::HANDLE>(&device);
}

bool isEvent(win::HANDLE h)
{
    return h == static_cast<win::HANDLE>(&events[0]) || h == static_cast<win::HANDLE>(&events[1]);
}

Device& openDevice(win::HANDLE h, const char* call)
{
    if (!isDevice(h) || !device.open)
        misuse(call);
    return device;
}

std::size_t waiting()
{
    return device.input.size() - device.head;
}

} // namespace

namespace FakeDevice {

void queueInput(const std::uint8_t* bytes, std::size_t count)
{
    if (device.head == device.input.size()) {
        device.input.clear();
        device.head = 0;
    }
    device.input.insert(device.input.end(), bytes, bytes + count);
}

std::size_t pendingInput()
{
    return waiting();
}

std::string takeWritten()
{
    std::string out;
    out.swap(device.written);
    return out;
}

void clear()
{
    device.input.clear();
    device.head = 0;
    device.written.clear();
}

bool isOpen()
{
    return device.open;
}

std::size_t largestRead()
{
    return device.largestRead;
}

} // namespace FakeDevice

namespace win {

HANDLE CreateFileW(LPCWSTR fileName, DWORD, DWORD shareMode, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE)
{
    static const char16_t Name[] = u"COM1";
    if (fileName == nullptr || std::u16string(fileName) != Name) {
        lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    // Exclusive, like a real port.
    if (device.open || shareMode != 0) {
        lastError = ERROR_SHARING_VIOLATION;
        return INVALID_HANDLE_VALUE;
    }
    device.open = true;
    return &device;
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts)
{
    openDevice(file, "SetCommTimeouts on a closed handle");
    return timeouts != nullptr;
}

HANDLE CreateEventW(SECURITY_ATTRIBUTES*, BOOL, BOOL, LPCWSTR)
{
    HANDLE h = &events[nextEvent];
    nextEvent = 1 - nextEvent;
    return h;
}

BOOL GetCommState(HANDLE file, DCB* dcb)
{
    openDevice(file, "GetCommState on a closed handle");
    return dcb != nullptr;
}

BOOL SetCommState(HANDLE file, DCB* dcb)
{
    openDevice(file, "SetCommState on a closed handle");
    return dcb != nullptr;
}

BOOL SetupComm(HANDLE file, DWORD, DWORD)
{
    openDevice(file, "SetupComm on a closed handle");
    return TRUE;
}

BOOL CloseHandle(HANDLE object)
{
    if (isEvent(object))
        return TRUE;
    openDevice(object, "CloseHandle of a closed or unknown handle");
    device.open = false;
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, OVERLAPPED* overlapped)
{
    openDevice(file, "WriteFile on a closed handle");
    device.written.append(static_cast<const char*>(buffer), bytesToWrite);
    if (bytesWritten != nullptr)
        *bytesWritten = bytesToWrite;
    if (overlapped != nullptr) {
        overlapped->Internal = 0;
        overlapped->InternalHigh = bytesToWrite;
    }
    return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, OVERLAPPED* overlapped)
{
    openDevice(file, "ReadFile on a closed handle");
    const std::size_t n = std::min<std::size_t>(bytesToRead, waiting());
    device.largestRead = std::max<std::size_t>(device.largestRead, bytesToRead);
    if (n > 0)
        std::memcpy(buffer, device.input.data() + device.head, n);
    device.head += n;
    if (bytesRead != nullptr)
        *bytesRead = static_cast<DWORD>(n);
    if (overlapped != nullptr) {
        overlapped->Internal = 0;
        overlapped->InternalHigh = n;
    }
    return TRUE;
}

DWORD GetLastError()
{
    return lastError;
}

DWORD WaitForSingleObject(HANDLE, DWORD)
{
    return WAIT_OBJECT_0;
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL)
{
    openDevice(file, "GetOverlappedResult on a closed handle");
    if (bytesTransferred != nullptr)
        *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    return TRUE;
}

BOOL CancelIoEx(HANDLE, OVERLAPPED*)
{
    lastError = ERROR_NOT_FOUND; // nothing is ever outstanding
    return FALSE;
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat)
{
    openDevice(file, "ClearCommError on a closed handle");
    if (errors != nullptr)
        *errors = 0;
    if (stat != nullptr) {
        *stat = COMSTAT();
        stat->cbInQue = static_cast<DWORD>(waiting());
    }
    return TRUE;
}

void Sleep(DWORD)
{
}

int WSAStartup(WORD versionRequested, WSADATA* data)
{
    if (data != nullptr) {
        *data = WSADATA();
        data->wVersion = versionRequested;
        data->wHighVersion = versionRequested;
    }
    return 0;
}

int WSACleanup()
{
    return 0;
}

SOCKET socket(int, int, int)
{
    return INVALID_SOCKET;
}

unsigned long inet_addr(const char*)
{
    return 0xFFFFFFFFul;
}

u_short(htons)(u_short hostShort)
{
    return static_cast<u_short>((hostShort >> 8) | (hostShort << 8));
}

int connect(SOCKET, const sockaddr*, int)
{
    return SOCKET_ERROR;
}

int ioctlsocket(SOCKET, long, u_long*)
{
    return SOCKET_ERROR;
}

int send(SOCKET, const char*, int, int)
{
    return SOCKET_ERROR;
}

int recv(SOCKET, char*, int, int)
{
    return SOCKET_ERROR;
}

int closesocket(SOCKET)
{
    return SOCKET_ERROR;
}

int WSAGetLastError()
{
    return 10061; // WSAECONNREFUSED: no device listens here
}

} // namespace win

// The ports are numbered as on Windows (portnumbering_system.cpp); the one
// device has no name beyond its number.
std::string PortNumbering::describe(int number)
{
    return device(number);
}
