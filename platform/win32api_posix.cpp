// POSIX stand-ins for the Win32 serial calls and WinSock (see win32api.h for
// the behaviour they promise).
#include "win32api.h"

namespace {
// The Windows values of names that the system headers below turn into macros.
constexpr int kWinAfInet = win::AF_INET;
constexpr int kWinSockStream = win::SOCK_STREAM;
constexpr int kWinIpprotoTcp = win::IPPROTO_TCP;
constexpr long kWinFionbio = win::FIONBIO;
constexpr long kWinFionread = win::FIONREAD;
constexpr win::DWORD kInfinite = win::INFINITE;
constexpr win::BOOL kTrue = win::TRUE;
constexpr win::BOOL kFalse = win::FALSE;
} // namespace

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_set>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace win {
namespace {

using Clock = std::chrono::steady_clock;

// ---- call counters -------------------------------------------------------

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
    FnCount
};

const char* const fnNames[FnCount] = {
    "CreateFileW", "SetCommTimeouts", "CreateEventW", "GetCommState", "SetCommState",
    "SetupComm", "CloseHandle", "WriteFile", "ReadFile", "GetLastError",
    "WaitForSingleObject", "GetOverlappedResult", "CancelIoEx", "ClearCommError", "Sleep",
    "WSAStartup", "WSACleanup", "socket", "inet_addr", "htons",
    "connect", "ioctlsocket", "send", "recv", "closesocket",
};

long callCounts[FnCount];

inline void counted(Fn fn)
{
    ++callCounts[fn];
}

// ---- errors ----------------------------------------------------------------

thread_local DWORD lastError = ERROR_SUCCESS;

DWORD fail(DWORD code)
{
    lastError = code;
    return code;
}

DWORD errorFromErrno(int e)
{
    switch (e) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOTTY:
        return ERROR_INVALID_FUNCTION;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// ---- handles ---------------------------------------------------------------

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

std::unordered_set<Object*>& objects()
{
    static std::unordered_set<Object*> all;
    return all;
}

Object* lookup(HANDLE h)
{
    auto* object = static_cast<Object*>(h);
    if (!object || objects().count(object) == 0) {
        fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

Device* lookupDevice(HANDLE h)
{
    Object* object = lookup(h);
    if (object && object->kind != Object::Kind::Device) {
        fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<Device*>(object);
}

Event* lookupEvent(HANDLE h)
{
    auto* object = static_cast<Object*>(h);
    if (!object || objects().count(object) == 0 || object->kind != Object::Kind::Event)
        return nullptr;
    return static_cast<Event*>(object);
}

void setSignalled(Event* e)
{
    if (e)
        e->signalled = true;
}

void reset(Event* e)
{
    if (e)
        e->signalled = false;
}

// ---- the outstanding write -------------------------------------------------

void finishWrite(Device& d, DWORD status)
{
    if (d.writeOverlapped) {
        d.writeOverlapped->Internal = status;
        d.writeOverlapped->InternalHigh = d.sent;
    }
    if (d.writeEvent) {
        setSignalled(d.writeEvent);
        d.writeEvent->writer = nullptr;
    }
    d.writePending = false;
    d.unsent.clear();
    d.sent = 0;
    d.writeOverlapped = nullptr;
    d.writeEvent = nullptr;
}

// Hands the device as much of the outstanding write as it takes now, and
// ends the write when it is all out, when it fails, or when its time is up.
// Returns true when the device took at least one byte.
bool pumpWrite(Device& d)
{
    if (!d.writePending)
        return false;
    bool progressed = false;
    while (d.sent < d.unsent.size()) {
        ssize_t r = ::write(d.fd, d.unsent.data() + d.sent, d.unsent.size() - d.sent);
        if (r > 0) {
            d.sent += static_cast<std::size_t>(r);
            progressed = true;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A serial write time-out ends the write successfully with fewer
            // bytes, as the Windows driver does.
            if (Clock::now() >= d.writeDeadline)
                finishWrite(d, ERROR_SUCCESS);
            return progressed;
        }
        finishWrite(d, errorFromErrno(r < 0 ? errno : EIO));
        return progressed;
    }
    finishWrite(d, ERROR_SUCCESS);
    return progressed;
}

// Waits until the outstanding write ends or `until` passes, whichever comes
// first. The write always ends by its own deadline.
void waitWrite(Device& d, Clock::time_point until)
{
    bool idleWake = false;
    for (;;) {
        bool progressed = pumpWrite(d);
        if (!d.writePending)
            return;
        Clock::time_point now = Clock::now();
        if (now >= d.writeDeadline) {
            finishWrite(d, ERROR_SUCCESS); // the device's write time-out
            return;
        }
        if (now >= until)
            return;
        if (idleWake && !progressed) {
            // poll said the device could take data and it took none: pause
            // briefly instead of spinning.
            struct timespec pause = {0, 5 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
        auto left = std::min(until, d.writeDeadline) - now;
        long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
        struct pollfd p = {d.fd, POLLOUT, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(ms, INT_MAX)));
        idleWake = r > 0;
    }
}

DWORD writeTimeoutMs(const Device& d, DWORD bytes)
{
    unsigned long long ms = static_cast<unsigned long long>(d.timeouts.WriteTotalTimeoutMultiplier) * bytes
        + d.timeouts.WriteTotalTimeoutConstant;
    if (ms == 0)
        ms = 5000; // the layer never waits without a bound
    return static_cast<DWORD>(std::min<unsigned long long>(ms, 0x7FFFFFFFu));
}

// ---- names and line settings -------------------------------------------------

std::string toUtf8(LPCWSTR name)
{
    std::string out;
    for (const WCHAR* p = name; *p; ++p) {
        char32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// "COMn" is whatever the user linked as korvane/ports/COMn in the config
// directory, else the n-th on-board port; an absolute path stands for itself.
bool devicePath(const std::string& name, std::string* path)
{
    if (name.empty())
        return false;
    if (name[0] == '/') {
        *path = name;
        return true;
    }
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0 || name[3] == '0' || name.size() > 6)
        return false;
    int number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return false;
        number = number * 10 + (name[i] - '0');
    }
    std::string configHome;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        configHome = xdg;
    } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
        configHome = std::string(home) + "/.config";
    }
    if (!configHome.empty()) {
        std::string link = configHome + "/korvane/ports/" + name;
        struct stat st;
        if (::lstat(link.c_str(), &st) == 0) {
            *path = link;
            return true;
        }
    }
    *path = "/dev/ttyS" + std::to_string(number - 1);
    return true;
}

// Binary-transparent: every byte passes unchanged both ways, nothing is
// echoed or translated, no byte means flow control, the modem lines are
// ignored and stay up when the port closes.
void makeRaw(struct termios& t)
{
    ::cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(HUPCL | CRTSCTS);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

int tcgetattrRetry(int fd, struct termios* t)
{
    int r;
    do {
        r = ::tcgetattr(fd, t);
    } while (r != 0 && errno == EINTR);
    return r;
}

int tcsetattrRetry(int fd, const struct termios* t)
{
    int r;
    do {
        r = ::tcsetattr(fd, TCSANOW, t);
    } while (r != 0 && errno == EINTR);
    return r;
}

int ioctlRetry(int fd, unsigned long request, void* arg)
{
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r != 0 && errno == EINTR);
    return r;
}

struct Speed {
    DWORD baud;
    speed_t code;
};

const Speed speeds[] = {
    {110, B110}, {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool speedCode(DWORD baud, speed_t* code)
{
    for (const Speed& s : speeds) {
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

DWORD baudOf(speed_t code)
{
    for (const Speed& s : speeds) {
        if (s.code == code)
            return s.baud;
    }
    return 0;
}

// ---- sockets ---------------------------------------------------------------

int startups = 0;
int connectTimeoutMs = 21000;

// Descriptors that socket() made; only these are ever used or closed.
std::vector<bool>& ownSockets()
{
    static std::vector<bool> own;
    return own;
}

int ownFd(SOCKET s)
{
    std::vector<bool>& own = ownSockets();
    if (s >= own.size() || !own[s]) {
        errno = EBADF;
        return -1;
    }
    return static_cast<int>(s);
}

int socketFlags(int flags)
{
    int out = 0;
    if (flags & 0x1)
        out |= MSG_OOB;
    if (flags & 0x2)
        out |= MSG_PEEK;
    return out;
}

} // namespace

// ---- Win32 serial ------------------------------------------------------------

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, SECURITY_ATTRIBUTES*,
                   DWORD creationDisposition, DWORD, HANDLE)
{
    counted(FnCreateFileW);
    std::string path;
    if (!fileName || !devicePath(toUtf8(fileName), &path)) {
        fail(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition != OPEN_EXISTING) {
        fail(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    int access;
    if ((desiredAccess & GENERIC_READ) && (desiredAccess & GENERIC_WRITE))
        access = O_RDWR;
    else if (desiredAccess & GENERIC_WRITE)
        access = O_WRONLY;
    else
        access = O_RDONLY;

    int fd;
    do {
        fd = ::open(path.c_str(), access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        fail(errorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }

    const bool exclusive = shareMode == 0;
    int locked;
    do {
        locked = ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        DWORD code = errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : errorFromErrno(errno);
        ::close(fd);
        fail(code);
        return INVALID_HANDLE_VALUE;
    }

    auto* d = new Device;
    d->fd = fd;
    d->terminal = ::isatty(fd) == 1;
    d->exclusive = exclusive;
    if (d->terminal) {
        if (exclusive)
            ioctlRetry(fd, TIOCEXCL, nullptr);
        struct termios t;
        if (tcgetattrRetry(fd, &t) == 0) {
            makeRaw(t);
            tcsetattrRetry(fd, &t);
        }
    }
    objects().insert(d);
    return d;
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts)
{
    counted(FnSetCommTimeouts);
    Device* d = lookupDevice(file);
    if (!d)
        return kFalse;
    if (!timeouts) {
        fail(ERROR_INVALID_PARAMETER);
        return kFalse;
    }
    d->timeouts = *timeouts;
    return kTrue;
}

HANDLE CreateEventW(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    counted(FnCreateEventW);
    if (name) {
        // Named events are shared between processes, which this layer does not offer.
        fail(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto* e = new Event;
    e->manualReset = manualReset != kFalse;
    e->signalled = initialState != kFalse;
    objects().insert(e);
    return e;
}

BOOL GetCommState(HANDLE file, DCB* dcb)
{
    counted(FnGetCommState);
    Device* d = lookupDevice(file);
    if (!d)
        return kFalse;
    if (!dcb) {
        fail(ERROR_INVALID_PARAMETER);
        return kFalse;
    }
    struct termios t;
    if (tcgetattrRetry(d->fd, &t) != 0) {
        fail(errorFromErrno(errno));
        return kFalse;
    }
    DWORD length = dcb->DCBlength;
    *dcb = DCB{};
    dcb->DCBlength = length;
    dcb->BaudRate = baudOf(::cfgetospeed(&t));
    dcb->fBinary = 1;
    dcb->fParity = (t.c_iflag & INPCK) ? 1 : 0;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    dcb->fRtsControl = (t.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    switch (t.c_cflag & CSIZE) {
    case CS5: dcb->ByteSize = 5; break;
    case CS6: dcb->ByteSize = 6; break;
    case CS7: dcb->ByteSize = 7; break;
    default: dcb->ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        dcb->Parity = NOPARITY;
    else
        dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return kTrue;
}

BOOL SetCommState(HANDLE file, DCB* dcb)
{
    counted(FnSetCommState);
    Device* d = lookupDevice(file);
    if (!d)
        return kFalse;
    speed_t speed;
    if (!dcb || !speedCode(dcb->BaudRate, &speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8
        || dcb->Parity > EVENPARITY || (dcb->StopBits != ONESTOPBIT && dcb->StopBits != TWOSTOPBITS)) {
        fail(ERROR_INVALID_PARAMETER);
        return kFalse;
    }
    struct termios t;
    if (tcgetattrRetry(d->fd, &t) != 0) {
        fail(errorFromErrno(errno));
        return kFalse;
    }
    makeRaw(t);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    t.c_cflag |= sizes[dcb->ByteSize - 5];
    if (dcb->Parity != NOPARITY) {
        t.c_cflag |= PARENB;
        if (dcb->Parity == ODDPARITY)
            t.c_cflag |= PARODD;
        if (dcb->fParity)
            t.c_iflag |= INPCK;
    }
    if (dcb->StopBits == TWOSTOPBITS)
        t.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    if (dcb->fOutX)
        t.c_iflag |= IXON;
    if (dcb->fInX)
        t.c_iflag |= IXOFF;
    if (dcb->XonChar)
        t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    if (dcb->XoffChar)
        t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (tcsetattrRetry(d->fd, &t) != 0) {
        fail(errorFromErrno(errno));
        return kFalse;
    }
    return kTrue;
}

BOOL SetupComm(HANDLE file, DWORD, DWORD)
{
    counted(FnSetupComm);
    // The kernel's tty queues have fixed sizes; the request is accepted as it stands.
    return lookupDevice(file) ? kTrue : kFalse;
}

BOOL CloseHandle(HANDLE object)
{
    counted(FnCloseHandle);
    Object* o = lookup(object);
    if (!o)
        return kFalse;
    objects().erase(o);
    if (o->kind == Object::Kind::Event) {
        auto* e = static_cast<Event*>(o);
        if (e->writer)
            e->writer->writeEvent = nullptr;
        delete e;
        return kTrue;
    }
    auto* d = static_cast<Device*>(o);
    if (d->writeEvent)
        d->writeEvent->writer = nullptr;
    // An outstanding write dies with the handle; its OVERLAPPED may already
    // be gone, so it is not touched.
    if (d->terminal && d->exclusive)
        ioctlRetry(d->fd, TIOCNXCL, nullptr);
    ::flock(d->fd, LOCK_UN);
    ::close(d->fd);
    delete d;
    return kTrue;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, OVERLAPPED* overlapped)
{
    counted(FnWriteFile);
    if (bytesWritten)
        *bytesWritten = 0;
    Device* d = lookupDevice(file);
    if (!d)
        return kFalse;
    if (!buffer && bytesToWrite > 0) {
        fail(ERROR_INVALID_PARAMETER);
        return kFalse;
    }
    if (d->writePending) {
        pumpWrite(*d);
        if (d->writePending) {
            fail(ERROR_BUSY);
            return kFalse;
        }
    }
    Event* event = overlapped ? lookupEvent(overlapped->hEvent) : nullptr;
    reset(event);

    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    int error = 0;
    while (done < bytesToWrite) {
        ssize_t r = ::write(d->fd, bytes + done, bytesToWrite - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            error = r < 0 ? errno : EIO;
            break;
        }
    }
    if (done == bytesToWrite) {
        if (overlapped) {
            overlapped->Internal = ERROR_SUCCESS;
            overlapped->InternalHigh = done;
        }
        setSignalled(event);
        if (bytesWritten)
            *bytesWritten = static_cast<DWORD>(done);
        return kTrue;
    }
    if (error != EAGAIN && error != EWOULDBLOCK) {
        if (overlapped) {
            overlapped->Internal = errorFromErrno(error);
            overlapped->InternalHigh = done;
        }
        setSignalled(event);
        fail(errorFromErrno(error));
        return kFalse;
    }

    // The device cannot take it all now: keep the rest and let it pend.
    OVERLAPPED local{};
    d->writePending = true;
    d->unsent.assign(bytes, bytes + bytesToWrite);
    d->sent = done;
    d->writeOverlapped = overlapped ? overlapped : &local;
    d->writeOverlapped->Internal = ERROR_IO_PENDING;
    d->writeOverlapped->InternalHigh = 0;
    d->writeEvent = event;
    if (event)
        event->writer = d;
    d->writeDeadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs(*d, bytesToWrite));
    if (overlapped) {
        fail(ERROR_IO_PENDING);
        return kFalse;
    }
    // A handle without overlapped I/O writes synchronously, within the device's time-out.
    waitWrite(*d, d->writeDeadline);
    if (bytesWritten)
        *bytesWritten = static_cast<DWORD>(local.InternalHigh);
    if (local.Internal != ERROR_SUCCESS) {
        fail(static_cast<DWORD>(local.Internal));
        return kFalse;
    }
    return kTrue;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, OVERLAPPED* overlapped)
{
    counted(FnReadFile);
    Device* d = lookupDevice(file);
    if (!d) {
        if (bytesRead)
            *bytesRead = 0;
        return kFalse;
    }
    if (!buffer && bytesToRead > 0) {
        if (bytesRead)
            *bytesRead = 0;
        fail(ERROR_INVALID_PARAMETER);
        return kFalse;
    }
    Event* event = overlapped ? lookupEvent(overlapped->hEvent) : nullptr;
    reset(event);
    ssize_t r = 0;
    if (bytesToRead > 0) {
        do {
            r = ::read(d->fd, buffer, bytesToRead);
        } while (r < 0 && errno == EINTR);
    }
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        r = 0; // only what has already arrived, as with ReadIntervalTimeout = MAXDWORD
    if (r < 0) {
        DWORD code = errorFromErrno(errno);
        if (overlapped) {
            overlapped->Internal = code;
            overlapped->InternalHigh = 0;
        }
        setSignalled(event);
        if (bytesRead)
            *bytesRead = 0;
        fail(code);
        return kFalse;
    }
    if (overlapped) {
        overlapped->Internal = ERROR_SUCCESS;
        overlapped->InternalHigh = static_cast<ULONG_PTR>(r);
    }
    setSignalled(event);
    if (bytesRead)
        *bytesRead = static_cast<DWORD>(r);
    return kTrue;
}

DWORD GetLastError()
{
    counted(FnGetLastError);
    return lastError;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    counted(FnWaitForSingleObject);
    Object* o = lookup(handle);
    if (!o)
        return WAIT_FAILED;
    const Clock::time_point start = Clock::now();
    auto untilFor = [&](const Device& d) {
        return milliseconds == kInfinite ? d.writeDeadline : start + std::chrono::milliseconds(milliseconds);
    };
    if (o->kind == Object::Kind::Device) {
        auto* d = static_cast<Device*>(o);
        if (d->writePending)
            waitWrite(*d, untilFor(*d));
        return d->writePending ? WAIT_TIMEOUT : WAIT_OBJECT_0;
    }
    auto* e = static_cast<Event*>(o);
    if (!e->signalled && e->writer) {
        Device* d = e->writer;
        waitWrite(*d, untilFor(*d));
    }
    if (!e->signalled)
        return WAIT_TIMEOUT;
    if (!e->manualReset)
        e->signalled = false;
    return WAIT_OBJECT_0;
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL wait)
{
    counted(FnGetOverlappedResult);
    if (bytesTransferred)
        *bytesTransferred = 0;
    Device* d = lookupDevice(file);
    if (!d)
        return kFalse;
    if (!overlapped) {
        fail(ERROR_INVALID_PARAMETER);
        return kFalse;
    }
    if (d->writePending && d->writeOverlapped == overlapped) {
        if (wait)
            waitWrite(*d, d->writeDeadline);
        else
            pumpWrite(*d);
        if (d->writePending) {
            if (bytesTransferred)
                *bytesTransferred = static_cast<DWORD>(d->sent);
            fail(ERROR_IO_INCOMPLETE);
            return kFalse;
        }
    }
    if (bytesTransferred)
        *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (overlapped->Internal != ERROR_SUCCESS) {
        fail(static_cast<DWORD>(overlapped->Internal));
        return kFalse;
    }
    return kTrue;
}

BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped)
{
    counted(FnCancelIoEx);
    Device* d = lookupDevice(file);
    if (!d)
        return kFalse;
    pumpWrite(*d);
    if (!d->writePending || (overlapped && overlapped != d->writeOverlapped)) {
        fail(ERROR_NOT_FOUND);
        return kFalse;
    }
    finishWrite(*d, ERROR_OPERATION_ABORTED);
    return kTrue;
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat)
{
    counted(FnClearCommError);
    if (errors)
        *errors = 0;
    if (stat)
        *stat = COMSTAT{};
    Device* d = lookupDevice(file);
    if (!d)
        return kFalse;
    pumpWrite(*d);
    int waiting = 0;
    if (ioctlRetry(d->fd, FIONREAD, &waiting) != 0) {
        // A line whose far end has hung up has nothing waiting.
        fail(errorFromErrno(errno));
        return kFalse;
    }
    if (stat) {
        stat->cbInQue = waiting > 0 ? static_cast<DWORD>(waiting) : 0;
        int queued = 0;
        if (d->terminal && ioctlRetry(d->fd, TIOCOUTQ, &queued) == 0 && queued > 0)
            stat->cbOutQue = static_cast<DWORD>(queued);
        if (d->writePending)
            stat->cbOutQue += static_cast<DWORD>(d->unsent.size() - d->sent);
    }
    return kTrue;
}

void Sleep(DWORD milliseconds)
{
    counted(FnSleep);
    struct timespec left = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// ---- WinSock -------------------------------------------------------------------

int WSAStartup(WORD versionRequested, WSADATA* data)
{
    counted(FnWSAStartup);
    constexpr int wsaefault = 10014;
    constexpr int wsavernotsupported = 10092;
    if (!data)
        return wsaefault;
    if ((versionRequested & 0xFF) < 1)
        return wsavernotsupported;
    *data = WSADATA{};
    data->wVersion = std::min<WORD>(versionRequested, 0x0202);
    data->wHighVersion = 0x0202;
    std::strcpy(data->szDescription, "BSD sockets");
    std::strcpy(data->szSystemStatus, "Running");
    ++startups;
    return 0;
}

int WSACleanup()
{
    counted(FnWSACleanup);
    if (startups == 0)
        return SOCKET_ERROR;
    --startups;
    return 0;
}

SOCKET socket(int af, int type, int protocol)
{
    counted(FnSocket);
    if (af != kWinAfInet || type != kWinSockStream || (protocol != kWinIpprotoTcp && protocol != 0)) {
        errno = EAFNOSUPPORT;
        return INVALID_SOCKET;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return INVALID_SOCKET;
    std::vector<bool>& own = ownSockets();
    if (own.size() <= static_cast<std::size_t>(fd))
        own.resize(static_cast<std::size_t>(fd) + 1, false);
    own[static_cast<std::size_t>(fd)] = true;
    return static_cast<SOCKET>(fd);
}

unsigned long inet_addr(const char* text)
{
    counted(FnInetAddr);
    if (!text)
        return 0xFFFFFFFFul;
    return ::inet_addr(text);
}

u_short(htons)(u_short hostShort)
{
    counted(FnHtons);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return hostShort;
#else
    return static_cast<u_short>((hostShort << 8) | (hostShort >> 8));
#endif
}

int connect(SOCKET s, const sockaddr* name, int nameLength)
{
    counted(FnConnect);
    int fd = ownFd(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (!name || nameLength < static_cast<int>(sizeof(sockaddr_in))) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(name);
    if (in->sin_family != kWinAfInet) {
        errno = EAFNOSUPPORT;
        return SOCKET_ERROR;
    }
    struct ::sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = in->sin_port;
    to.sin_addr.s_addr = static_cast<in_addr_t>(in->sin_addr.s_addr);

    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return SOCKET_ERROR;
    if (flags & O_NONBLOCK) {
        // A non-blocking socket reports at once, as WinSock does.
        return ::connect(fd, reinterpret_cast<struct ::sockaddr*>(&to), sizeof to) == 0 ? 0 : SOCKET_ERROR;
    }

    // A blocking connect, but one that gives up where Windows does instead of
    // after Linux's two minutes of SYN retries.
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (::connect(fd, reinterpret_cast<struct ::sockaddr*>(&to), sizeof to) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connectTimeoutMs);
            error = ETIMEDOUT;
            for (;;) {
                Clock::time_point now = Clock::now();
                if (now >= deadline)
                    break;
                long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
                struct pollfd p = {fd, POLLOUT, 0};
                int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(ms, INT_MAX)));
                if (r < 0 && errno == EINTR)
                    continue;
                if (r < 0) {
                    error = errno;
                    break;
                }
                if (r > 0) {
                    int soError = 0;
                    socklen_t length = sizeof soError;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0)
                        soError = errno;
                    error = soError;
                    break;
                }
            }
        }
    }
    ::fcntl(fd, F_SETFL, flags);
    if (error != 0) {
        errno = error;
        return SOCKET_ERROR;
    }
    return 0;
}

int ioctlsocket(SOCKET s, long command, u_long* argument)
{
    counted(FnIoctlsocket);
    int fd = ownFd(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (!argument) {
        errno = EFAULT;
        return SOCKET_ERROR;
    }
    if (command == kWinFionbio) {
        int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0)
            return SOCKET_ERROR;
        flags = *argument ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        return ::fcntl(fd, F_SETFL, flags) == 0 ? 0 : SOCKET_ERROR;
    }
    if (command == kWinFionread) {
        int waiting = 0;
        if (ioctlRetry(fd, FIONREAD, &waiting) != 0)
            return SOCKET_ERROR;
        *argument = static_cast<u_long>(waiting > 0 ? waiting : 0);
        return 0;
    }
    errno = EINVAL;
    return SOCKET_ERROR;
}

int send(SOCKET s, const char* buffer, int length, int flags)
{
    counted(FnSend);
    int fd = ownFd(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (length < 0 || (!buffer && length > 0)) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    ssize_t r;
    do {
        // MSG_NOSIGNAL: a peer that has gone away is an error result, not SIGPIPE.
        r = ::send(fd, buffer, static_cast<std::size_t>(length), socketFlags(flags) | MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? SOCKET_ERROR : static_cast<int>(r);
}

int recv(SOCKET s, char* buffer, int length, int flags)
{
    counted(FnRecv);
    int fd = ownFd(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (length < 0 || (!buffer && length > 0)) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    ssize_t r;
    do {
        r = ::recv(fd, buffer, static_cast<std::size_t>(length), socketFlags(flags));
    } while (r < 0 && errno == EINTR);
    return r < 0 ? SOCKET_ERROR : static_cast<int>(r);
}

int closesocket(SOCKET s)
{
    counted(FnClosesocket);
    int fd = ownFd(s);
    if (fd < 0)
        return SOCKET_ERROR;
    ownSockets()[static_cast<std::size_t>(fd)] = false;
    return ::close(fd) == 0 ? 0 : SOCKET_ERROR;
}

// ---- counters ------------------------------------------------------------------

namespace posix {

long callCount(const char* function)
{
    if (!function)
        return -1;
    for (int i = 0; i < FnCount; ++i) {
        if (std::strcmp(function, fnNames[i]) == 0)
            return callCounts[i];
    }
    return -1;
}

long totalCallCount()
{
    long total = 0;
    for (long c : callCounts)
        total += c;
    return total;
}

void resetCallCounts()
{
    std::fill(std::begin(callCounts), std::end(callCounts), 0L);
}

int setConnectTimeoutMs(int milliseconds)
{
    int previous = connectTimeoutMs;
    connectTimeoutMs = milliseconds > 0 ? milliseconds : 0;
    return previous;
}

} // namespace posix

} // namespace win
