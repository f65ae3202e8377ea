#include "filelock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

namespace Platform {

bool tryLockExclusive(int fd)
{
    if (fd < 0)
        return false;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool setWritesNonBlocking(int fd)
{
    if (fd < 0)
        return false;
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace Platform
