#include "filelock.h"

#include <io.h>
#include <windows.h>

namespace Platform {

bool tryLockExclusive(int fd)
{
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    OVERLAPPED whole = {};
    return ::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole) != 0;
}

bool setWritesNonBlocking(int fd)
{
    // A file in a directory is always a disk file here: pipes live in their
    // own namespace and never stand behind the log's name.
    return fd >= 0;
}

} // namespace Platform
