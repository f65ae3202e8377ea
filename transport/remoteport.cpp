#include "remoteport.h"

#include "linkreason.h"
#include "resolve.h"
#ifdef KORVANE_HAVE_RFC2217
#include "rfc2217line.h"
#endif

using namespace win; // constants are macros on Windows, names in win elsewhere

RemotePort::RemotePort()
{
    // Failures are said in the window's words, with the COM number.
    m_net.setConnectDiagnostics(false);
}

RemotePort::~RemotePort()
{
    close();
}

bool RemotePort::open(const PortAddress& address, std::string& reason)
{
    close();
    m_shown = address.mapped.empty() ? address.text : address.mapped;
    m_kind = address.kind;
    m_connectError = 0;
    m_lostCode = 0;
    if (!address.network()) {
        reason = m_shown + " is no network address";
        return false;
    }
    // The name resolver needs WinSock started before the first connect does it.
    m_net.startup();
    m_started = true;
    std::string dotted;
    if (!resolveIpv4(address.host, dotted, reason))
        return false;
    const std::string where = dotted + ':' + std::to_string(address.port);
    if (m_kind == PortAddress::Kind::Tcp) {
        m_open = m_net.connectTo(dotted.c_str(), address.port);
        m_connectError = m_open ? 0 : m_net.connectError();
    } else {
#ifdef KORVANE_HAVE_RFC2217
        m_rfc = std::make_unique<Rfc2217Line>();
        m_rfc->setConnectDiagnostics(false);
        m_open = m_rfc->connectTo(dotted.c_str(), address.port);
        m_connectError = m_open ? 0 : m_rfc->connectError();
#else
        reason = "this build has no RFC 2217";
        return false;
#endif
    }
    if (!m_open)
        reason = "cannot connect to " + where + ": " + LinkReason::connectText(m_connectError);
    return m_open;
}

void RemotePort::close()
{
#ifdef KORVANE_HAVE_RFC2217
    if (m_rfc)
        m_rfc->close();
    m_rfc.reset();
#endif
    // The network client's close waits for the connection to settle: only
    // when it has something to close.
    if (m_started)
        m_net.close();
    m_started = false;
    m_open = false;
}

std::vector<std::string> RemotePort::takeWarnings()
{
#ifdef KORVANE_HAVE_RFC2217
    if (m_rfc)
        return m_rfc->takeWarnings();
#endif
    return {};
}

std::string RemotePort::failure() const
{
#ifdef KORVANE_HAVE_RFC2217
    if (m_rfc)
        return m_rfc->failure();
#endif
    return {};
}

bool RemotePort::lost(int code)
{
    m_lostCode = code;
    return false;
}

int RemotePort::read(char* buffer, int maxBytes)
{
    if (!m_open)
        return 0;
#ifdef KORVANE_HAVE_RFC2217
    if (m_rfc) {
        const int n = m_rfc->read(reinterpret_cast<std::uint8_t*>(buffer), maxBytes);
        if (n < 0)
            lost(m_rfc->lostCode());
        return n;
    }
#endif
    const int n = m_net.recv(buffer, maxBytes);
    if (n > 0)
        return n;
    if (n == 0)
        return lost(0), -1;
    return m_net.brokenError() != 0 ? (lost(m_net.brokenError()), -1) : 0;
}

int RemotePort::write(const unsigned char* bytes, int length)
{
    if (!m_open || length <= 0)
        return 0;
#ifdef KORVANE_HAVE_RFC2217
    if (m_rfc)
        return m_rfc->write(bytes, length);
#endif
    const int n = m_net.send(reinterpret_cast<const char*>(bytes), length);
    if (n >= 0)
        return n;
    return m_net.brokenError() != 0 ? -1 : 0;
}
