#pragma once
// The line to the device, opened as the window opens it: a serial port
// through the serial transport (exclusive, raw, 38400 8N1), a TCP
// connection through the network client, or a serial port shared with RFC
// 2217 through the RFC 2217 line (telnet taken out: only the device's
// bytes are read and written here). It reads what has arrived, takes
// bytes to write without ever waiting for the device, and tells when they
// have left, when the device will not take them, and when the line has gone
// away, with the reason.
//
// Bytes are counted from the open as one stream: queue() returns where a
// piece ends in it, and left() how far the stream has really gone out (on
// a serial line: past the driver's queue, not merely into it). A piece
// that has not left by its deadline, its time on the line plus a margin,
// is dropped with everything behind it (abandon()).

#include "netclient.h"
#include "portaddress.h"
#include "serialport.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class Rfc2217Line;

class Link
{
public:
    explicit Link(PortAddress address);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // False, with the reason in the tool's words, when the port cannot be
    // opened or the device not reached.
    bool open(std::string& reason);
    void close();
    bool isOpen() const { return m_open; }
    // What the open, or the line since, has to warn of: an RFC 2217 server
    // that set other line settings or refused the option. Taking them
    // empties the list.
    std::vector<std::string> takeWarnings();

    // Takes what has arrived: the count (0 for nothing), or -1 when the line
    // is gone, with the reason. hungUp: the wait saw the far end hang up.
    int read(std::uint8_t* buffer, int size, bool hungUp, std::string& reason);

    // Queues bytes for the device; returns where they end in the stream.
    std::uint64_t queue(const std::uint8_t* bytes, std::size_t count, std::int64_t nowNs);
    // Hands on what the line will take now and learns what has left; false,
    // with the reason, when the line is gone.
    bool pump(std::string& reason);
    std::uint64_t left() const { return m_left; }
    // How far the stream has been handed to the driver or the socket: the
    // device can have seen no byte beyond this.
    std::uint64_t handed() const { return m_handed; }
    std::uint64_t queued() const { return m_queued; }
    bool writing() const { return m_left < m_queued; }
    // The monotonic time by which the oldest piece not yet gone must have
    // left; -1 when nothing waits.
    std::int64_t deadlineNs() const;
    // The line took too long: drops everything not yet gone, and says how
    // far the oldest piece got.
    std::string abandon(std::int64_t nowNs);
    // While writing: whether a wait on descriptor() for room to write tells
    // of progress (a socket), or the line must be looked at again soon
    // (a serial driver's queue draining).
    bool waitsForRoom() const;

    // What to poll for input on POSIX; -1 where there is none (Windows).
    int descriptor() const;
    // The device path or the address that was opened.
    const std::string& device() const { return m_device; }
    const PortAddress& address() const { return m_address; }

private:
    struct Piece
    {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        std::int64_t queuedNs = 0;
        std::int64_t deadlineNs = 0;
    };

    bool openSerial(std::string& reason);
    bool openTcp(std::string& reason);
    bool openRfc2217(std::string& reason);
    // The network address as connected to, or false with the reason.
    bool resolve(std::string& address, std::string& reason);
    bool pumpSerial(std::string& reason);
    bool pumpTcp(std::string& reason);
    bool pumpRfc2217(std::string& reason);
    void resetWrites();

    PortAddress m_address;
    // Only the one the port needs: the network client's close waits a
    // while for the connection to settle, which a serial run should not.
    std::unique_ptr<SerialPort> m_serial;
    std::unique_ptr<NetClient> m_net;
#ifdef KORVANE_HAVE_RFC2217
    std::unique_ptr<Rfc2217Line> m_rfc;
#endif
    std::string m_device;
    bool m_open = false;

    // The write side. Stream positions: m_left <= m_handed <= m_queued.
    std::deque<Piece> m_pieces;          // not yet left, oldest first
    std::vector<std::uint8_t> m_waiting; // queued, not yet handed to the line
    std::vector<std::uint8_t> m_inFlight; // handed to an overlapped write still running
    std::uint64_t m_queued = 0;
    std::uint64_t m_handed = 0;          // given to the driver or the socket
    std::uint64_t m_left = 0;
    std::uint64_t m_rfcBase = 0; // m_left when the RFC 2217 line connected
    win::OVERLAPPED m_writeOverlapped{};
    bool m_writePending = false;
};
