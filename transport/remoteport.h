#pragma once
// The window's line to a COMn that the port numbering maps to a network
// address: the device behind raw TCP (socket://) through the network
// client, or a serial port shared with RFC 2217 (rfc2217://) through the
// RFC 2217 line, with the telnet side taken out. Read and written as the
// window reads and writes a serial port, without ever waiting for input.

#include "netclient.h"
#include "portaddress.h"

#include <memory>
#include <string>
#include <vector>

class Rfc2217Line;

class RemotePort
{
public:
    RemotePort();
    ~RemotePort();
    RemotePort(const RemotePort&) = delete;
    RemotePort& operator=(const RemotePort&) = delete;

    // Resolves and connects to a socket:// or rfc2217:// address, given or
    // mapped; an RFC 2217 server is given about a second to
    // answer. False, with the reason in English and the WinSock code in
    // connectError() (0 when it failed before the network).
    bool open(const PortAddress& address, std::string& reason);
    void close();
    bool isOpen() const { return m_open; }
    // The address as the user wrote it, from the last open.
    const std::string& address() const { return m_shown; }
    int connectError() const { return m_connectError; }
    // What the RFC 2217 server set otherwise or refused; taken once.
    std::vector<std::string> takeWarnings();

    // Device bytes that have arrived: the count, 0 when none now, -1 when
    // the connection is gone (lostCode(): the WinSock code, 0 for an
    // orderly close; failure(): a telnet stream that broke, else empty).
    int read(char* buffer, int maxBytes);
    // Bytes handed to the connection (queued for it when the socket is
    // full), 0 when it takes none now, -1 when it is gone.
    int write(const unsigned char* bytes, int length);
    int lostCode() const { return m_lostCode; }
    std::string failure() const;

private:
    bool lost(int code);

    PortAddress::Kind m_kind = PortAddress::Kind::Tcp;
    NetClient m_net;
#ifdef KORVANE_HAVE_RFC2217
    std::unique_ptr<Rfc2217Line> m_rfc;
#endif
    std::string m_shown;
    int m_connectError = 0;
    int m_lostCode = 0;
    bool m_open = false;
    bool m_started = false; // the network client holds a WinSock start-up
};
