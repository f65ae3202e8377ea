#include "filelock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
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
    if (rc == 0 || errno == EWOULDBLOCK)
        return rc == 0;
    // No lock to be had here at all (ENOLCK: NFS without a lock daemon;
    // EOPNOTSUPP or EINVAL: a file system without locks). That says nothing
    // about a second instance, so the log is kept anyway, unguarded.
    // Said once: starting a log may lock twice (the previous one, kept
    // aside, and the new one).
    static bool said = false;
    if (!said) {
        said = true;
        std::fprintf(stderr, "Korvane: the traffic log cannot be locked here (%s); logging without the lock\n",
                     std::strerror(errno));
        std::fflush(stderr);
    }
    return true;
}

bool setWritesNonBlocking(int fd)
{
    if (fd < 0)
        return false;
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace Platform
