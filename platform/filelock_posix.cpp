#include "filelock.h"

#include <cerrno>
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

} // namespace Platform
