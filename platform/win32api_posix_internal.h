#pragma once
// What the POSIX stand-ins for the Win32 serial calls and WinSock share
// between their files: the handle table with its devices and events, the
// thread's last error, the call counters the tests read, and the outstanding
// write that the serial write path and the waits both drive.
#include "win32api.h"

namespace win {
namespace posixlayer {
// The Windows values of names that the system headers below turn into macros.
constexpr int kWinAfInet = win::AF_INET;
constexpr int kWinSockStream = win::SOCK_STREAM;
constexpr int kWinIpprotoTcp = win::IPPROTO_TCP;
constexpr long kWinFionbio = win::FIONBIO;
constexpr long kWinFionread = win::FIONREAD;
constexpr DWORD kInfinite = win::INFINITE;
constexpr BOOL kTrue = win::TRUE;
constexpr BOOL kFalse = win::FALSE;
} // namespace posixlayer
} // namespace win

#include <chrono>
#include <cstddef>
#include <vector>

struct termios;

namespace win {
namespace posixlayer {

using Clock = std::chrono::steady_clock;

// ---- call counters -----------------------------------------------------------

enum Fn {
    FnCreateFileW,
    FnSetCommTimeouts,
    FnCreateEventW,
    FnGetCommState,
    FnSetCommState,
    FnSetupComm,
    FnCloseHandle,
    FnWriteFile,
    FnReadFile,
    FnGetLastError,
    FnWaitForSingleObject,
    FnGetOverlappedResult,
    FnCancelIoEx,
    FnClearCommError,
    FnSleep,
    FnWSAStartup,
    FnWSACleanup,
    FnSocket,
    FnInetAddr,
    FnHtons,
    FnConnect,
    FnIoctlsocket,
    FnSend,
    FnRecv,
    FnClosesocket,
    FnPurgeComm,
    FnCount
};

extern long callCounts[FnCount];

inline void counted(Fn fn)
{
    ++callCounts[fn];
}

// ---- errors --------------------------------------------------------------------

// Sets the thread's last error, as the failing Win32 call would; returns code.
DWORD fail(DWORD code);
DWORD errorFromErrno(int e);

// ioctl, tcgetattr and tcsetattr (TCSANOW), retried when a signal interrupts them.
int ioctlRetry(int fd, unsigned long request, void* arg);
int tcgetattrRetry(int fd, struct ::termios* t);
int tcsetattrRetry(int fd, const struct ::termios* t);

// ---- handles -------------------------------------------------------------------

struct Device;

struct Object {
    enum class Kind { Device, Event };
    explicit Object(Kind k) : kind(k) {}
    Kind kind;
};

struct Event : Object {
    Event() : Object(Kind::Event) {}
    bool manualReset = true;
    bool signalled = false;
    Device* writer = nullptr; // the device whose outstanding write completes this event
};

struct Device : Object {
    Device() : Object(Kind::Device) {}
    int fd = -1;
    bool terminal = false;
    bool exclusive = false;
    COMMTIMEOUTS timeouts{};

    // The write the device has not taken yet. The bytes are copied here, so
    // nothing points into the caller's memory once WriteFile has returned.
    bool writePending = false;
    std::vector<unsigned char> unsent;
    std::size_t sent = 0;
    OVERLAPPED* writeOverlapped = nullptr;
    Event* writeEvent = nullptr;
    Clock::time_point writeDeadline;
};

// Adds a new device or event to the handles this layer hands out.
void addObject(Object* object);
// The device behind a handle; null, with ERROR_INVALID_HANDLE, for anything else.
Device* lookupDevice(HANDLE h);
// The event behind a handle, or null; sets no error.
Event* lookupEvent(HANDLE h);

inline void setSignalled(Event* e)
{
    if (e)
        e->signalled = true;
}

inline void reset(Event* e)
{
    if (e)
        e->signalled = false;
}

// ---- the outstanding write -----------------------------------------------------

// Ends the outstanding write with status: its OVERLAPPED gets the status and
// the bytes sent, its event is signalled.
void finishWrite(Device& d, DWORD status);
// Hands the device as much of the outstanding write as it takes now, and
// ends the write when it is all out, when it fails, or when its time is up.
// Returns true when the device took at least one byte.
bool pumpWrite(Device& d);
// Waits until the outstanding write ends or `until` passes, whichever comes
// first. The write always ends by its own deadline.
void waitWrite(Device& d, Clock::time_point until);

} // namespace posixlayer
} // namespace win
