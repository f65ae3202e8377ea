#pragma once
// A serial port shared over the network with RFC 2217: a TCP connection
// through the network client, with the telnet side (Rfc2217Client) between
// the socket and the caller. The caller sees the device's bytes only, as
// through a plain socket. Works wherever the network client does: POSIX and
// WinSock alike.

#include "netclient.h"
#include "rfc2217client.h"

#include <cstdint>
#include <string>
#include <vector>

class Rfc2217Line
{
public:
    // How long the open waits for the server's answers at most.
    static constexpr int NegotiationMs = 1000;

    Rfc2217Line() = default;
    Rfc2217Line(const Rfc2217Line&) = delete;
    Rfc2217Line& operator=(const Rfc2217Line&) = delete;

    // Connects to a dotted IPv4 address and negotiates, waiting for the
    // server at most negotiationMs. False only when the connection cannot be
    // made (the reason in connectError()); a server that never answers, or
    // answers other settings, opens with warnings (takeWarnings).
    bool connectTo(const char* address, win::u_short port, int negotiationMs = NegotiationMs);
    void close();
    bool isOpen() const { return m_open; }
    // As the network client's: off for a program that says a failed
    // connect in its own words.
    void setConnectDiagnostics(bool on) { m_net.setConnectDiagnostics(on); }

    // Device bytes that have arrived: the count, 0 when none now, -1 when
    // the connection is gone (lostCode(): the WinSock code, 0 for an
    // orderly close; failure() non-empty when the telnet stream broke).
    int read(std::uint8_t* buffer, int size);
    // Takes device bytes to send (escaped for telnet) and pushes out what
    // it can without waiting: the count taken, 0 when its queue is full,
    // -1 when the connection is gone.
    int write(const std::uint8_t* bytes, int count);
    // Pushes out queued bytes without waiting; false when the connection is gone.
    bool flush();
    // Bytes on their way to the socket still held here.
    std::size_t pending() const { return m_out.size() - m_outSent; }
    // Device bytes taken by write since the connection was made, and how
    // many of them have gone whole (escapes and all) into the socket.
    std::uint64_t deviceQueued() const { return m_deviceQueued; }
    std::uint64_t deviceSent() const { return m_deviceSent; }
    // Drops what has not begun to go out, for a caller that gives up on
    // it: a piece the socket has taken part of goes on to its end, so the
    // server never sees half an escape or half a command. Negotiation
    // answers still held go with it; a server that took nothing that long
    // has stopped reading them anyway.
    void dropUnsent();

    win::SOCKET nativeSocket() const { return m_net.nativeSocket(); }
    int connectError() const { return m_net.connectError(); }
    int lostCode() const { return m_lostCode; }
    const std::string& failure() const { return m_client.failure(); }
    std::vector<std::string> takeWarnings() { return m_client.takeWarnings(); }
    const Rfc2217Client& client() const { return m_client; }

    // The most escaped bytes held for the socket before write takes no more.
    static constexpr std::size_t MaxQueued = 65536;

private:
    // Reads the socket into the telnet side; false when the connection is gone.
    bool pump();
    bool gone(int code);
    // Marks the end of what was just added to m_out.
    void markOut();

    NetClient m_net;
    Rfc2217Client m_client;
    std::vector<std::uint8_t> m_in;  // device bytes not yet taken
    std::size_t m_inTaken = 0;
    std::vector<std::uint8_t> m_out; // wire bytes not yet sent
    std::size_t m_outSent = 0;
    // Where each piece added to m_out ends, on the wire and in device
    // bytes, for the pieces not yet gone whole; counts since the connect.
    struct Mark
    {
        std::uint64_t wireEnd;
        std::uint64_t deviceEnd;
    };
    std::vector<Mark> m_marks;
    std::uint64_t m_wireSent = 0;
    std::uint64_t m_wireGoneWhole = 0; // where the last piece gone whole ended
    std::uint64_t m_deviceQueued = 0;
    std::uint64_t m_deviceSent = 0;
    int m_lostCode = 0;
    bool m_open = false;
};
