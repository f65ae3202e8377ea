// TCP mode: one connection at a time on a listening socket.
#include "tcpendpoint.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

bool TcpEndpoint::parseAddress(const std::string& text, std::string& address, std::uint16_t& port, std::string& error)
{
    std::string portText = text;
    address = "0.0.0.0";
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        error = "not an IPv4 address: \"" + address + "\"";
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(portText.c_str(), &end, 10);
    if (portText.empty() || *end != '\0' || errno != 0 || value < 0 || value > 65535) {
        error = "not a port number: \"" + portText + "\"";
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

TcpEndpoint::TcpEndpoint(std::string address, std::uint16_t port)
    : m_address(std::move(address))
    , m_port(port)
{
}

TcpEndpoint::~TcpEndpoint()
{
    if (m_peer >= 0)
        ::close(m_peer);
    if (m_listen >= 0)
        ::close(m_listen);
}

bool TcpEndpoint::open(std::string& error)
{
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listen < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        return false;
    }
    const int on = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(m_port);
    ::inet_pton(AF_INET, m_address.c_str(), &where.sin_addr);
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0
        || ::listen(m_listen, 4) != 0) {
        error = "cannot listen on " + m_address + ":" + std::to_string(m_port) + ": " + std::strerror(errno);
        return false;
    }
    socklen_t size = sizeof where;
    if (::getsockname(m_listen, reinterpret_cast<sockaddr*>(&where), &size) == 0)
        m_port = ntohs(where.sin_port);
    return true;
}

std::string TcpEndpoint::readyText() const
{
    return m_address + ":" + std::to_string(m_port);
}

bool TcpEndpoint::acceptPeer()
{
    if (m_peer >= 0)
        return false;
    const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return false;
    // Frames are small and latency is measured: no Nagle delay.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_peer = fd;
    return true;
}

void TcpEndpoint::peerLost()
{
    if (m_peer >= 0)
        ::close(m_peer);
    m_peer = -1;
}

bool TcpEndpoint::hangUp(bool reset, std::string&)
{
    if (m_peer < 0)
        return true;
    if (reset) {
        const linger abortive{1, 0};
        ::setsockopt(m_peer, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    } else {
        ::shutdown(m_peer, SHUT_WR);
    }
    ::close(m_peer);
    m_peer = -1;
    return true;
}
