// Device mode on a real serial line.
#include "deviceendpoint.h"

#include "monoclock.h"
#include "rawline.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr std::int64_t RetryNs = 1000000000LL;

// Opens the line the way the tool opens its port: exclusive against this and
// every other program (flock plus TIOCEXCL), raw 38400 8N1, no flow control
// either way.
int openLine(const std::string& path, std::string& error)
{
    int fd;
    do
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno == EBUSY ? path + " is held by another program"
                               : "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    auto refuse = [&](const std::string& why) {
        error = why;
        ::close(fd);
        return -1;
    };
    if (!::isatty(fd))
        return refuse(path + " is not a terminal");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return refuse(errno == EWOULDBLOCK ? path + " is held by another program"
                                           : "cannot lock " + path + ": " + std::strerror(errno));
    // flock keeps out programs that lock; TIOCEXCL keeps out every other open.
    if (::ioctl(fd, TIOCEXCL) != 0)
        return refuse("cannot open " + path + " exclusively: " + std::strerror(errno));
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return refuse("cannot read the settings of " + path + ": " + std::strerror(errno));
    RawLine::makeLink(tio); // exactly as the tool sets its end
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        return refuse("cannot make " + path + " raw 38400 8N1: " + std::strerror(errno));
    return fd;
}

} // namespace

DeviceEndpoint::DeviceEndpoint(std::string path)
    : m_path(std::move(path))
{
}

DeviceEndpoint::~DeviceEndpoint()
{
    closeLine();
}

void DeviceEndpoint::closeLine()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool DeviceEndpoint::open(std::string& error)
{
    m_fd = openLine(m_path, error);
    return m_fd >= 0;
}

void DeviceEndpoint::peerLost()
{
    closeLine();
    m_reopenDue = SimClock::monotonicNs() + RetryNs;
}

bool DeviceEndpoint::hangUp(bool, std::string& error)
{
    closeLine();
    if (open(error)) {
        m_reopenDue = -1;
        return true;
    }
    m_reopenDue = SimClock::monotonicNs() + RetryNs;
    return false;
}

bool DeviceEndpoint::reopen()
{
    std::string ignored;
    if (open(ignored)) {
        m_reopenDue = -1;
        return true;
    }
    // Quiet until it is back: the loss was reported once already.
    m_reopenDue = SimClock::monotonicNs() + RetryNs;
    return false;
}
