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
#ifndef _WIN32
    if (::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode))
        return createFifo(error);
#endif
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | OpenFlags, 0644);
    m_created = m_fd >= 0;
    if (m_fd < 0 && errno == EEXIST)
        m_fd = ::open(path.c_str(), O_WRONLY | OpenFlags);
    if (m_fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!Platform::tryLockExclusive(m_fd)) {
        error = path + " is held by another Korvane program; it is left as it is";
        close();
        return false;
    }
    m_regular = ::fstat(m_fd, &info) == 0 && S_ISREG(info.st_mode);
    if (m_regular && ::ftruncate(m_fd, 0) != 0) {
        error = "cannot empty " + path + ": " + std::strerror(errno);
        close();
        return false;
    }
    m_whole = 0;
    return true;
}

#ifndef _WIN32
bool AppendFile::createFifo(std::string& error)
{
    m_pipe = true;
    m_fifo = true;
    // Whether another Korvane program writes into it, asked without waiting
    // for a reader; the writes themselves wait for one (connect()).
    const int probe = ::open(m_path.c_str(), O_RDWR | O_NONBLOCK | OpenFlags);
    if (probe < 0) {
        error = "cannot write " + m_path + ": " + std::strerror(errno);
        return false;
    }
    const bool free = Platform::tryLockExclusive(probe);
    ::close(probe);
    if (!free)
        error = m_path + " is held by another Korvane program; it is left as it is";
    return free;
}

AppendFile::Reader AppendFile::connect()
{
    const int fd = ::open(m_path.c_str(), O_WRONLY | O_NONBLOCK | OpenFlags);
    if (fd < 0)
        return Reader::None;
    if (!Platform::tryLockExclusive(fd)) {
        ::close(fd);
        m_why = m_path + " is held by another Korvane program";
        return Reader::Refused;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_fd = fd;
    // A new pipe: whole pieces fit, the preamble is a few of them.
    std::size_t done = 0;
    while (done < m_preamble.size()) {
        const ssize_t n = ::write(m_fd, m_preamble.data() + done, m_preamble.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close();
            return Reader::None;
        }
        done += static_cast<std::size_t>(n);
    }
    return Reader::Ready;
}

bool AppendFile::tend()
{
    if (m_fd < 0)
        return connect() != Reader::Refused;
    // No reader left: the pipe and what it held go with the last end.
    pollfd out{m_fd, POLLOUT, 0};
    if (::poll(&out, 1, 0) > 0 && (out.revents & POLLERR))
        close();
    return true;
}
#endif

void AppendFile::discard()
{
    struct stat named{};
    struct stat held{};
    // Only while the name still leads to the file this run made.
    const bool made = m_created && m_fd >= 0 && ::fstat(m_fd, &held) == 0 && ::stat(m_path.c_str(), &named) == 0
        && named.st_dev == held.st_dev && named.st_ino == held.st_ino;
    m_created = false;
    // Closed first: Windows removes no file that is open.
    close();
    if (made)
        ::unlink(m_path.c_str());
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
#ifndef _WIN32
    if (m_fifo && size == 0) {
        m_lastKept = 0;
        return tend();
    }
#endif
    while (done < size) {
        std::size_t end = size;
#ifndef _WIN32
        const Reader reader = m_fifo && m_fd < 0 ? connect() : Reader::Ready;
        if (reader == Reader::None) {
            ::usleep(10000); // the pieces wait for a reader
            continue;
        }
        if (reader == Reader::Refused) {
            m_lastKept = done > 0 ? whole(done) : 0;
            return false;
        }
#endif
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
#ifndef _WIN32
        if (n < 0 && errno == EPIPE && m_fifo) {
            // The reader went away. The next one gets the piece it was in
            // whole, after the preamble.
            close();
            done = done > 0 ? whole(done) : 0;
            continue;
        }
#endif
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
