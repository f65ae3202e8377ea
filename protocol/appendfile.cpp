// Whole-piece writes, cut back on failure.
#include "appendfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

AppendFile::~AppendFile()
{
    close();
}

void AppendFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool AppendFile::create(const std::string& path, std::string& error)
{
    m_path = path;
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    m_whole = 0;
    return true;
}

bool AppendFile::write(const void* data, std::size_t size, const std::function<std::size_t(std::size_t)>& whole)
{
    const auto* from = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_fd, from + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_why = n < 0 ? std::strerror(errno) : "nothing written";
            // A piece cut in two would spoil what comes before it for a reader.
            if (done > 0 && ::ftruncate(m_fd, m_whole + static_cast<off_t>(whole(done))) != 0)
                m_why += std::string(" (and cannot cut the last piece off: ") + std::strerror(errno) + ")";
            close();
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    m_whole += static_cast<off_t>(size);
    return true;
}
