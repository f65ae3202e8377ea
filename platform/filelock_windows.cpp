#include "filelock.h"

#include <cstdio>
#include <io.h>
#include <windows.h>

namespace Platform {

bool tryLockExclusive(int fd)
{
    // The runtime's parameter check ends the program when _get_osfhandle is
    // handed -1, the descriptor of a log that did not open.
    if (fd < 0)
        return false;
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    // Locks are mandatory here: a lock over the rows would refuse every
    // reader of the log (a spreadsheet, `type Korvane_data.csv`) for as
    // long as the tool runs. One byte far beyond any real log tells a second
    // instance that the log is taken and is in no reader's way.
    OVERLAPPED beyondData = {};
    beyondData.OffsetHigh = 0x7FFFFFFF;
    if (::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &beyondData))
        return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_LOCK_VIOLATION)
        return false; // another instance holds it
    // No lock to be had at all (a network share or file system without
    // byte-range locks): that says nothing about a second instance, so the
    // log is kept anyway, unguarded, as on Linux.
    static bool said = false; // once, as on Linux
    if (!said) {
        said = true;
        std::fprintf(stderr, "Korvane: the traffic log cannot be locked here (Windows error %lu); logging without the lock\n",
                     static_cast<unsigned long>(error));
        std::fflush(stderr);
    }
    return true;
}

bool setWritesNonBlocking(int fd)
{
    // A file in a directory is always a disk file here: pipes live in their
    // own namespace and never stand behind the log's name.
    return fd >= 0;
}

} // namespace Platform
