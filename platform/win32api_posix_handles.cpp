// POSIX stand-ins for the Win32 handle calls: the table of devices and events
// this layer hands out, CreateEventW, CloseHandle, WaitForSingleObject,
// GetLastError and Sleep, and the per-call counters that tests read.
#include "win32api_posix_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iterator>
#include <unordered_set>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace win {
namespace posixlayer {

long callCounts[FnCount];

namespace {

const char* const fnNames[FnCount] = {
    "CreateFileW", "SetCommTimeouts", "CreateEventW", "GetCommState", "SetCommState",
    "SetupComm", "CloseHandle", "WriteFile", "ReadFile", "GetLastError",
    "WaitForSingleObject", "GetOverlappedResult", "CancelIoEx", "ClearCommError", "Sleep",
    "WSAStartup", "WSACleanup", "socket", "inet_addr", "htons",
    "connect", "ioctlsocket", "send", "recv", "closesocket",
    "PurgeComm",
};

thread_local DWORD lastError = ERROR_SUCCESS;

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

} // namespace

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
    case EISDIR:
        return ERROR_INVALID_FUNCTION;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

int ioctlRetry(int fd, unsigned long request, void* arg)
{
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r != 0 && errno == EINTR);
    return r;
}

void addObject(Object* object)
{
    objects().insert(object);
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

} // namespace posixlayer

using namespace posixlayer;

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
    addObject(e);
    return e;
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

void Sleep(DWORD milliseconds)
{
    counted(FnSleep);
    struct timespec left = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace posix {

int descriptor(HANDLE device)
{
    Object* object = lookup(device);
    return object && object->kind == Object::Kind::Device ? static_cast<Device*>(object)->fd : -1;
}

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

} // namespace posix

} // namespace win
