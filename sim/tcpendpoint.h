#pragma once
// TCP mode: listens on an IPv4 address and port and serves one connection at
// a time; further clients wait in the backlog until the current one goes.

#include "endpoint.h"

#include <cstdint>

class TcpEndpoint : public Endpoint
{
public:
    // "[ADDR:]PORT"; ADDR defaults to 0.0.0.0. Port 0 picks a free one, which
    // the ready line then names.
    static bool parseAddress(const std::string& text, std::string& address, std::uint16_t& port, std::string& error);

    TcpEndpoint(std::string address, std::uint16_t port);
    ~TcpEndpoint() override;

    bool open(std::string& error) override;
    std::string readyText() const override;
    int peerFd() const override { return m_peer; }
    bool peerIsSocket() const override { return true; }
    int acceptFd() const override { return m_peer < 0 ? m_listen : -1; }
    bool acceptPeer() override;
    void peerLost() override;
    // Closes the current connection: an orderly close, or with reset an RST
    // (SO_LINGER with a zero timeout). Listening goes on.
    bool hangUp(bool reset, std::string& error) override;
    bool isSerial() const override { return false; }

private:
    std::string m_address;
    std::uint16_t m_port;
    int m_listen = -1;
    int m_peer = -1;
};
