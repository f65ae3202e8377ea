#pragma once
// The Win32 serial calls and the WinSock calls that the transports use, all
// under namespace `win` with their Windows names, types and values.
//
// On Windows these are the real ones, brought in from <winsock2.h> and
// <windows.h>. Elsewhere they are our own stand-ins (win32api_posix_*.cpp),
// built on termios, flock and BSD sockets, that give the results the
// transports rely on:
//
//  - CreateFileW maps "COMn" to the device that
//    $XDG_CONFIG_HOME/korvane/ports/COMn links to (default
//    ~/.config/korvane/ports/COMn), else to /dev/ttyS<n-1>; an absolute
//    path is opened as it is; an empty or other name fails. Share mode 0
//    is exclusive against this and every other process (flock plus
//    TIOCEXCL), and the line is put in raw, binary-transparent mode
//    (no echo, no CR/LF translation, no XON/XOFF, CLOCAL|CREAD, no HUPCL).
//    A path that is not a terminal opens but fails GetCommState and
//    SetCommState.
//  - ReadFile never pends: it takes only what has already arrived, as with
//    ReadIntervalTimeout = MAXDWORD. ClearCommError reports the bytes
//    waiting (FIONREAD); after a hang-up it fails and reports 0.
//  - A write the device cannot take at once pends with ERROR_IO_PENDING.
//    The layer keeps a copy of the unsent bytes, so the caller's buffer is
//    free as soon as WriteFile returns. WaitForSingleObject on the write
//    event, GetOverlappedResult and the next WriteFile move it on; the
//    device gives it up after WriteTotalTimeoutConstant (5000 ms when no
//    write time-out is set); CancelIoEx drops it at once. One write at a
//    time may be outstanding on a device; another WriteFile meanwhile fails
//    with ERROR_BUSY. No call waits without a bound; EINTR is retried.
//  - An event is signalled only by the completion of an operation that uses
//    it, so waiting on an idle event returns WAIT_TIMEOUT at once: in this
//    one-threaded layer nothing else could ever signal it.
//  - Sockets are IPv4 TCP, close-on-exec. closesocket only closes a socket
//    that socket() made; send never raises SIGPIPE; recv on a non-blocking
//    socket with nothing waiting gives SOCKET_ERROR, after an orderly close
//    by the peer 0. A blocking connect gives up after about 21 seconds, as
//    Windows does, and leaves the reason in errno, where perror finds it;
//    WSAGetLastError gives it as the WinSock code.
//
// Every descriptor the layer opens is close-on-exec. The layer is meant for
// one thread, like the transports above it.
//
// Constants are macros in the Windows headers, so code that uses this
// header names constants without qualification under `using namespace win;`
// and calls functions as win::Name, which works on both sides. For the same
// reason, code that calls win::htons must not include <netinet/in.h>,
// where glibc makes htons a macro.

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WINSOCK_DEPRECATED_NO_WARNINGS
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#endif
#include <winsock2.h>
#include <windows.h>

namespace win {
using ::BOOL;
using ::BYTE;
using ::DWORD;
using ::HANDLE;
using ::LPCWSTR;
using ::WCHAR;
using ::WORD;
using ::u_long;
using ::u_short;

using ::COMMTIMEOUTS;
using ::COMSTAT;
using ::DCB;
using ::OVERLAPPED;
using ::SOCKET;
using ::WSADATA;
using ::sockaddr;
using ::sockaddr_in;

using ::CancelIoEx;
using ::ClearCommError;
using ::PurgeComm;
using ::CloseHandle;
using ::CreateEventW;
using ::CreateFileW;
using ::GetCommState;
using ::GetLastError;
using ::GetOverlappedResult;
using ::ReadFile;
using ::SetCommState;
using ::SetCommTimeouts;
using ::SetupComm;
using ::Sleep;
using ::WaitForSingleObject;
using ::WriteFile;

using ::WSACleanup;
using ::WSAGetLastError;
using ::WSAStartup;
using ::closesocket;
using ::connect;
using ::htons;
using ::inet_addr;
using ::ioctlsocket;
using ::recv;
using ::send;
using ::socket;
} // namespace win

#else // POSIX stand-ins

#include <cstdint>

// Keep the declarations below intact when a system header that defines
// some of these names as macros was included first.
#pragma push_macro("TRUE")
#pragma push_macro("FALSE")
#pragma push_macro("INFINITE")
#pragma push_macro("AF_INET")
#pragma push_macro("SOCK_STREAM")
#pragma push_macro("IPPROTO_TCP")
#pragma push_macro("FIONBIO")
#pragma push_macro("FIONREAD")
#pragma push_macro("htons")
#undef TRUE
#undef FALSE
#undef INFINITE
#undef AF_INET
#undef SOCK_STREAM
#undef IPPROTO_TCP
#undef FIONBIO
#undef FIONREAD
#undef htons

namespace win {

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG_PTR = std::uintptr_t;
using WCHAR = char16_t;
using LPCWSTR = const WCHAR*;
using HANDLE = void*;
using u_short = std::uint16_t;
using u_long = std::uint32_t;
struct SECURITY_ATTRIBUTES;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921; // a link that loops
// What a serial line gives once its device has gone (a USB adapter pulled).
constexpr DWORD ERROR_BAD_COMMAND = 22;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_DEVICE_REMOVED = 1617;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;

struct OVERLAPPED {
    ULONG_PTR Internal;     // the operation's status: ERROR_IO_PENDING while it runs, else its error code
    ULONG_PTR InternalHigh; // bytes transferred
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, SECURITY_ATTRIBUTES* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
HANDLE CreateEventW(SECURITY_ATTRIBUTES* eventAttributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL GetCommState(HANDLE file, DCB* dcb);
BOOL SetCommState(HANDLE file, DCB* dcb);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL CloseHandle(HANDLE object);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, OVERLAPPED* overlapped);
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, OVERLAPPED* overlapped);
DWORD GetLastError();
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL wait);
BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped);
BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat);
// Drops what waits in the device's queues: PURGE_RXCLEAR what has arrived and
// not been read, PURGE_TXCLEAR what was written and has not left (tcflush).
BOOL PurgeComm(HANDLE file, DWORD flags);
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;
void Sleep(DWORD milliseconds);

using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
constexpr int SOCKET_ERROR = -1;
constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_TCP = 6;
constexpr long FIONBIO = 0x8004667E;
constexpr long FIONREAD = 0x4004667F;

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
};

struct in_addr {
    u_long s_addr; // network byte order
};

struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};

struct sockaddr_in {
    short sin_family;
    u_short sin_port; // network byte order
    in_addr sin_addr;
    char sin_zero[8];
};

int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();
SOCKET socket(int af, int type, int protocol);
unsigned long inet_addr(const char* text);
u_short(htons)(u_short hostShort);
int connect(SOCKET s, const sockaddr* name, int nameLength);
int ioctlsocket(SOCKET s, long command, u_long* argument);
int send(SOCKET s, const char* buffer, int length, int flags);
int recv(SOCKET s, char* buffer, int length, int flags);
int closesocket(SOCKET s);

// The reason the calling thread's last socket call failed, as a WinSock
// code; the stand-in reads errno, so perror still finds the same reason.
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAEWOULDBLOCK = 10035; // nothing waiting on a non-blocking socket
constexpr int WSAENETDOWN = 10050;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAESHUTDOWN = 10058; // EPIPE: the peer had closed, and then refused more data
int WSAGetLastError();

// Call counters of the stand-ins, for tests that show how often the code
// above reached the device or the network ("a closed port makes no device
// call"). Each stand-in adds one to its own counter on every call.
namespace posix {

// Calls of the stand-in with this name (for example "WriteFile") since the
// last reset; -1 for a name that is not one of the stand-ins.
long callCount(const char* function);
// Calls of all stand-ins together since the last reset.
long totalCallCount();
void resetCallCounts();

// The descriptor behind a device handle, for a program that waits on the
// line beside other descriptors with poll(); -1 for anything else.
int descriptor(HANDLE device);

// How long a blocking connect waits for the far end before it gives up
// with ETIMEDOUT; 21000 ms unless changed. Returns the previous value.
int setConnectTimeoutMs(int milliseconds);
// Makes WSAStartup fail with this WinSock code, as on a Windows whose
// network stack will not start (WSASYSNOTREADY), until it is set back to 0.
void failStartups(int code);

} // namespace posix

} // namespace win

#pragma pop_macro("htons")
#pragma pop_macro("FIONREAD")
#pragma pop_macro("FIONBIO")
#pragma pop_macro("IPPROTO_TCP")
#pragma pop_macro("SOCK_STREAM")
#pragma pop_macro("AF_INET")
#pragma pop_macro("INFINITE")
#pragma pop_macro("FALSE")
#pragma pop_macro("TRUE")

#endif
