#include "link.h"

#include "linkreason.h"
#include "portnumbering.h"
#include "resolve.h"
#ifdef KORVANE_HAVE_RFC2217
#include "rfc2217line.h"
#endif


using namespace win; // constants are macros on Windows, names in win elsewhere

namespace {

#ifndef _WIN32
// COMn as the window numbers ports (the address has made it upper case
// and checked the range): the number, or 0 for another name.
int comNumber(const std::string& name)
{
    if (name.size() != 4 || name.compare(0, 3, "COM") != 0 || name[3] < '1' || name[3] > '9')
        return 0;
    return name[3] - '0';
}
#endif

} // namespace

Link::Link(PortAddress address)
    : m_address(std::move(address))
{
    if (m_address.kind == PortAddress::Kind::Tcp) {
        m_net = std::make_unique<NetClient>();
        // A refused connect is said in the session's words, once.
        m_net->setConnectDiagnostics(false);
    } else if (m_address.kind == PortAddress::Kind::Rfc2217) {
#ifdef KORVANE_HAVE_RFC2217
        m_rfc = std::make_unique<Rfc2217Line>();
        m_rfc->setConnectDiagnostics(false);
#endif
    } else {
        m_serial = std::make_unique<SerialPort>();
        m_writeOverlapped.hEvent = win::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
}

Link::~Link()
{
    close();
    if (m_writeOverlapped.hEvent != nullptr)
        win::CloseHandle(m_writeOverlapped.hEvent);
}

bool Link::open(std::string& reason)
{
    close();
    switch (m_address.kind) {
    case PortAddress::Kind::Tcp: m_open = openTcp(reason); break;
    case PortAddress::Kind::Rfc2217: m_open = openRfc2217(reason); break;
    case PortAddress::Kind::Serial: m_open = openSerial(reason); break;
    }
    return m_open;
}

bool Link::openSerial(std::string& reason)
{
    const std::string& name = m_address.text;
#ifdef _WIN32
    m_device = name;
#else
    const int number = comNumber(name);
    if (number > 0)
        PortNumbering::assign();
    m_device = number > 0 ? PortNumbering::openPath(number) : name;
#endif
    if (m_serial->open(std::u16string(name.begin(), name.end())))
        return true;
    reason = "cannot open " + name + (m_device != name ? " (" + m_device + ")" : std::string()) + ": "
        + LinkReason::serialOpenText(m_serial->openError(), m_device);
    return false;
}

bool Link::resolve(std::string& address, std::string& reason)
{
    if (!resolveIpv4(m_address.host, address, reason))
        return false;
    m_device = address + ':' + std::to_string(m_address.port);
    return true;
}

bool Link::openTcp(std::string& reason)
{
    std::string address;
    if (!resolve(address, reason))
        return false;
    if (m_net->connectTo(address.c_str(), m_address.port))
        return true;
    reason = "cannot connect to " + m_device + ": " + LinkReason::connectText(m_net->connectError());
    return false;
}

bool Link::openRfc2217(std::string& reason)
{
#ifdef KORVANE_HAVE_RFC2217
    std::string address;
    if (!resolve(address, reason))
        return false;
    // The negotiation holds the open for about a second at the most; a
    // server that never answers it opens all the same, with a warning.
    if (m_rfc->connectTo(address.c_str(), m_address.port)) {
        // The line counts its bytes from the connect, the link from its first open.
        m_rfcBase = m_left;
        return true;
    }
    reason = "cannot connect to " + m_device + ": " + LinkReason::connectText(m_rfc->connectError());
#else
    reason = "this build has no RFC 2217";
#endif
    return false;
}

std::vector<std::string> Link::takeWarnings()
{
#ifdef KORVANE_HAVE_RFC2217
    if (m_rfc)
        return m_rfc->takeWarnings();
#endif
    return {};
}

void Link::close()
{
    if (!m_open)
        return;
    m_open = false;
    resetWrites();
    if (m_address.kind == PortAddress::Kind::Tcp)
        m_net->close();
#ifdef KORVANE_HAVE_RFC2217
    else if (m_address.kind == PortAddress::Kind::Rfc2217)
        m_rfc->close();
#endif
    else if (m_serial)
        m_serial->close();
}

int Link::read(std::uint8_t* buffer, int size, bool hungUp, std::string& reason)
{
    if (!m_open)
        return 0;
    if (m_address.kind == PortAddress::Kind::Tcp) {
        const int n = m_net->recv(reinterpret_cast<char*>(buffer), size);
        if (n > 0)
            return n;
        const int code = n == 0 ? 0 : win::WSAGetLastError();
        if (n < 0 && code == WSAEWOULDBLOCK)
            return 0;
        reason = LinkReason::lostText(LinkReason::connectionLost(code), code);
        return -1;
    }
#ifdef KORVANE_HAVE_RFC2217
    if (m_address.kind == PortAddress::Kind::Rfc2217) {
        const int n = m_rfc->read(buffer, size);
        if (n >= 0)
            return n;
        const int code = m_rfc->lostCode();
        reason = !m_rfc->failure().empty() ? m_rfc->failure()
                                           : LinkReason::lostText(LinkReason::connectionLost(code), code);
        return -1;
    }
#endif
    // The transport's read asks the driver what waits and takes it; a query
    // that fails outright is the line gone.
    const int n = m_serial->read(buffer, size);
    if (n > 0)
        return n;
    if (m_serial->lineError() != 0) {
        const DWORD code = m_serial->lineError();
        reason = LinkReason::lostText(LinkReason::serialLost(code), static_cast<long>(code));
        return -1;
    }
    if (hungUp) {
        reason = LinkReason::lostText(LinkReason::Lost::HungUp, 0);
        return -1;
    }
    return 0;
}

int Link::descriptor() const
{
#ifdef _WIN32
    return -1;
#else
    if (!m_open)
        return -1;
    if (m_address.kind == PortAddress::Kind::Tcp)
        return static_cast<int>(m_net->nativeSocket());
#ifdef KORVANE_HAVE_RFC2217
    if (m_address.kind == PortAddress::Kind::Rfc2217)
        return static_cast<int>(m_rfc->nativeSocket());
#endif
    return win::posix::descriptor(m_serial->nativeHandle());
#endif
}
