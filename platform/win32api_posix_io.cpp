// POSIX stand-ins for the Win32 serial transfers: WriteFile with its
// outstanding write that the device takes when it can, ReadFile of what has
// already arrived, GetOverlappedResult and CancelIoEx.
#include "win32api_posix_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

#include <poll.h>
#include <unistd.h>

namespace win {
namespace posixlayer {

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

namespace {

DWORD writeTimeoutMs(const Device& d, DWORD bytes)
{
    unsigned long long ms = static_cast<unsigned long long>(d.timeouts.WriteTotalTimeoutMultiplier) * bytes
        + d.timeouts.WriteTotalTimeoutConstant;
    if (ms == 0)
        ms = 5000; // the layer never waits without a bound
    return static_cast<DWORD>(std::min<unsigned long long>(ms, 0x7FFFFFFFu));
}

} // namespace
} // namespace posixlayer

using namespace posixlayer;

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

} // namespace win
