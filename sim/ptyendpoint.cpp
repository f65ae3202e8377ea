// Serial mode on a pseudo-terminal linked as COMn.
#include "ptyendpoint.h"

#include "rawline.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif

PtyEndpoint::PtyEndpoint(std::string name)
    : m_name(std::move(name))
{
}

PtyEndpoint::~PtyEndpoint()
{
    m_link.remove();
    closeTerminal();
}

bool PtyEndpoint::makeTerminal(std::string& error)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        error = std::string("cannot unlock the pseudo-terminal: ") + std::strerror(errno);
        closeTerminal();
        return false;
    }
    char name[128];
    if (::ptsname_r(m_master, name, sizeof name) != 0) {
        error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        closeTerminal();
        return false;
    }
    m_slavePath = name;
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0) {
        error = "cannot open " + m_slavePath + ": " + std::strerror(errno);
        closeTerminal();
        return false;
    }
    // Raw 8N1 at the tool's 38400 baud, as the tool sets its end: no echo,
    // no line editing, no CR/LF games, no flow control, so every byte passes
    // unchanged in both directions.
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    RawLine::makeLink(tio);
    if (::tcsetattr(m_slave, TCSANOW, &tio) != 0) {
        error = "cannot make " + m_slavePath + " raw: " + std::strerror(errno);
        closeTerminal();
        return false;
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
#ifdef __linux__
    // Added after our own open of the slave, so only other openers count.
    m_openers = 0;
    m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watch >= 0 && ::inotify_add_watch(m_watch, name, IN_OPEN | IN_CLOSE) < 0) {
        ::close(m_watch);
        m_watch = -1;
    }
#endif
    return true;
}

void PtyEndpoint::readWatch()
{
#ifdef __linux__
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_watch, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & IN_OPEN)
                ++m_openers;
            if ((event->mask & IN_CLOSE) && m_openers > 0 && --m_openers == 0) {
                // The last close: what the tool left unread must not greet
                // the next program that opens COMn.
                int waiting = 0;
                if (::ioctl(m_slave, FIONREAD, &waiting) == 0 && waiting > 0)
                    m_flushed += static_cast<std::uint64_t>(waiting);
                ::tcflush(m_slave, TCIFLUSH);
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
#endif
}

std::uint64_t PtyEndpoint::takeFlushed()
{
    const std::uint64_t flushed = m_flushed;
    m_flushed = 0;
    return flushed;
}

void PtyEndpoint::closeTerminal()
{
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_watch >= 0)
        ::close(m_watch);
    m_master = -1;
    m_slave = -1;
    m_watch = -1;
    m_openers = 0;
}

bool PtyEndpoint::open(std::string& error)
{
    if (!PortLink::validName(m_name)) {
        error = "\"" + m_name + "\" is not a usable port name";
        return false;
    }
    if (!makeTerminal(error))
        return false;
    if (!m_link.create(m_name, m_slavePath, error)) {
        closeTerminal();
        return false;
    }
    return true;
}

std::string PtyEndpoint::readyText() const
{
    return m_name + " " + m_slavePath;
}

void PtyEndpoint::peerLost()
{
    // With our own slave descriptor held this does not happen; if the master
    // reports an error anyway, start over rather than poll a dead descriptor.
    std::string ignored;
    hangUp(false, ignored);
}

bool PtyEndpoint::hangUp(bool, std::string& error)
{
    closeTerminal();
    if (!makeTerminal(error))
        return false;
    return m_link.retarget(m_slavePath, error);
}
