// A monitored line.
#include "monitorline.h"

#include "deviceendpoint.h"
#include "ptyendpoint.h"
#include "report.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

MonitorLine::MonitorLine(const std::string& label)
    : m_label(label)
{
    if (isPortName(label))
        m_end = std::make_unique<PtyEndpoint>(label);
    else
        m_end = std::make_unique<DeviceEndpoint>(label);
}

bool MonitorLine::isPortName(const std::string& label)
{
    return label.find('/') == std::string::npos;
}

bool MonitorLine::sameDevice(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    struct stat first{};
    struct stat second{};
    if (isPortName(a) || isPortName(b) || ::stat(a.c_str(), &first) != 0 || ::stat(b.c_str(), &second) != 0)
        return false;
    if (first.st_dev == second.st_dev && first.st_ino == second.st_ino)
        return true;
    return S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode) && first.st_rdev == second.st_rdev;
}

bool MonitorLine::open(std::string& error)
{
    if (!m_end->open(error))
        return false;
    m_present = takesBytes();
    return true;
}

bool MonitorLine::sameLineAs(const MonitorLine& other) const
{
    struct stat mine{};
    struct stat theirs{};
    if (m_end->deviceFd() < 0 || other.m_end->deviceFd() < 0 || ::fstat(m_end->deviceFd(), &mine) != 0
        || ::fstat(other.m_end->deviceFd(), &theirs) != 0)
        return false;
    if (S_ISCHR(mine.st_mode) && S_ISCHR(theirs.st_mode))
        return mine.st_rdev == theirs.st_rdev;
    return mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

ssize_t MonitorLine::read(std::uint8_t* buffer, std::size_t size)
{
    const ssize_t n = ::read(fd(), buffer, size);
    if (n > 0)
        return n;
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    lose(n == 0 ? "end of file" : std::strerror(errno));
    return -1;
}

void MonitorLine::deliver(const std::uint8_t* bytes, std::size_t count)
{
    if (!takesBytes()) {
        m_dropped += count;
        return;
    }
    if (m_out.empty()) {
        // Straight on when nothing waits, as nearly always.
        ssize_t n;
        do
            n = ::write(fd(), bytes, count);
        while (n < 0 && errno == EINTR);
        if (n == static_cast<ssize_t>(count))
            return;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            m_dropped += count;
            lose(std::strerror(errno));
            return;
        }
        const std::size_t written = n > 0 ? static_cast<std::size_t>(n) : 0;
        bytes += written;
        count -= written;
    }
    m_out.push(bytes, count, ChunkKind::Raw);
    drain();
}

void MonitorLine::drain()
{
    if (m_out.writeTo(fd(), false, *this) == OutQueue::Result::Failed)
        lose(std::strerror(errno));
}

void MonitorLine::drop()
{
    m_dropped += m_out.pending();
    m_out.clear();
}

void MonitorLine::lose(const std::string& why)
{
    ++m_losses;
    drop();
    if (!m_end->comesBack()) {
        // A terminal of our own that failed: start it over under its name.
        m_end->peerLost();
        notePresence();
        return;
    }
    m_end->peerLost();
    m_present = false;
    Report::line("lost " + m_label + ": " + why);
}

void MonitorLine::retry(std::int64_t nowNs)
{
    const std::int64_t due = m_end->reopenDueNs();
    if (due < 0 || nowNs < due || !m_end->reopen())
        return;
    m_present = takesBytes();
    Report::line("back " + m_label);
}

void MonitorLine::readWatch()
{
    m_end->readWatch();
    m_dropped += m_end->takeFlushed();
    notePresence();
}

void MonitorLine::notePresence()
{
    const bool present = takesBytes();
    if (present == m_present)
        return;
    m_present = present;
    if (!present)
        drop();
    Report::line((present ? "connected " : "disconnected ") + m_label);
}
