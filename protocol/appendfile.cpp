// Whole-piece writes, cut back on failure.
#include "appendfile.h"

#include "filelock.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef _WIN32
#include <windows.h>
// Capture blocks and rows go out byte for byte; nothing is inherited there.
constexpr int OpenFlags = O_BINARY;
#else
#include <poll.h>
#include <sys/ioctl.h>
constexpr int OpenFlags = O_CLOEXEC;
#endif

AppendFile::~AppendFile()
{
    close();
}

void AppendFile::close()
{
    if (m_fd >= 0 && m_owned)
        ::close(m_fd);
    m_fd = -1;
}

void AppendFile::adopt(int fd, const std::string& name)
{
    struct stat info{};
    m_fd = fd;
    m_owned = false;
    m_path = name;
    const bool known = ::fstat(fd, &info) == 0;
    m_pipe = known && S_ISFIFO(info.st_mode);
    m_regular = known && S_ISREG(info.st_mode);
}

std::size_t AppendFile::pipeRoom(bool& empty) const
{
#ifdef _WIN32
    empty = false;
    return 65536; // a pipe there tells nothing of its room: whole batches go
#else
    int queued = 0;
    if (::ioctl(m_fd, FIONREAD, &queued) != 0)
        queued = 0;
#ifdef F_GETPIPE_SZ
    const long capacity = ::fcntl(m_fd, F_GETPIPE_SZ);
#else
    const long capacity = 65536;
#endif
    // An empty pipe has every page free, however few it has.
    empty = queued == 0;
    if (empty)
        return capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
    const long room = capacity - queued - ::sysconf(_SC_PAGESIZE);
    return room > 0 ? static_cast<std::size_t>(room) : 0;
#endif
}

std::size_t AppendFile::pieceEnd(std::size_t from, std::size_t size, const std::function<std::size_t(std::size_t)>& whole)
{
    // whole() only grows with n, and the batch is whole pieces.
    std::size_t low = from + 1;
    std::size_t high = size;
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (whole(mid) > from)
            high = mid;
        else
            low = mid + 1;
    }
    return low;
}

bool AppendFile::create(const std::string& path, std::string& error)
{
    m_path = path;
    struct stat info{};
    const bool fifo = ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
    // Read and write on a FIFO: the open does not wait for a reader, and
    // what is written waits in the FIFO until one comes.
    m_fd = ::open(path.c_str(), (fifo ? O_RDWR : O_WRONLY | O_CREAT) | OpenFlags, 0644);
    if (m_fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!Platform::tryLockExclusive(m_fd)) {
        error = path + " is held by another Korvane program; it is left as it is";
        close();
        return false;
    }
    m_pipe = fifo;
    m_regular = ::fstat(m_fd, &info) == 0 && S_ISREG(info.st_mode);
    if (m_regular && ::ftruncate(m_fd, 0) != 0) {
        error = "cannot empty " + path + ": " + std::strerror(errno);
        close();
        return false;
    }
    m_whole = 0;
    return true;
}

bool AppendFile::sameFile(const std::string& a, const std::string& b)
{
#ifdef _WIN32
    // No inode numbers there: the full paths, which case does not tell apart.
    char first[MAX_PATH];
    char second[MAX_PATH];
    return ::_fullpath(first, a.c_str(), MAX_PATH) && ::_fullpath(second, b.c_str(), MAX_PATH)
        && ::lstrcmpiA(first, second) == 0;
#else
    struct stat first{};
    struct stat second{};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
#endif
}

bool AppendFile::write(const void* data, std::size_t size, const std::function<std::size_t(std::size_t)>& whole)
{
    const auto* from = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        std::size_t end = size;
        if (m_pipe) {
            bool empty = false;
            const std::size_t room = pipeRoom(empty);
            const std::size_t limit = std::min(size, done + room);
            end = limit > done ? std::max(done, whole(limit)) : done;
            // A piece larger than the pipe can ever hold goes out once the
            // pipe is empty, in as many writes as its reader takes: the
            // capture keeps flowing, and only a reader that stalls in the
            // middle of it while the process ends sees half of it.
            if (end == done && empty)
                end = pieceEnd(done, size, whole);
            if (end == done) {
                // No room for the next piece yet; POLLOUT would say there is
                // as soon as a page is free, which may be too little.
                ::usleep(5000);
                continue;
            }
        }
        const ssize_t n = ::write(m_fd, from + done, end - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (errno != EINTR) {
#ifdef _WIN32
                ::Sleep(10);
#else
                pollfd out{m_fd, POLLOUT, 0};
                ::poll(&out, 1, 100);
#endif
            }
            continue;
        }
        if (n <= 0) {
            m_why = n < 0 ? std::strerror(errno) : "nothing written";
            m_lastKept = done > 0 ? whole(done) : 0;
            // A piece cut in two would spoil what comes before it for a reader.
            if (done > 0 && !m_pipe && ::ftruncate(m_fd, m_whole + static_cast<off_t>(m_lastKept)) != 0)
                m_why += std::string(" (and cannot cut the last piece off: ") + std::strerror(errno) + ")";
            close();
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    m_whole += static_cast<off_t>(size);
    m_lastKept = size;
    return true;
}
