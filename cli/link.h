#pragma once
// The line to the device, opened as the window opens it: a serial port
// through the serial transport (exclusive, raw, 38400 8N1) or a TCP
// connection through the network client. It reads what has arrived, writes
// whole buffers and tells when the line has gone away, with the reason.

#include "netclient.h"
#include "portaddress.h"
#include "serialport.h"

#include <cstdint>
#include <memory>
#include <string>

class Link
{
public:
    explicit Link(PortAddress address);

    // False, with the reason in the tool's words, when the port cannot be
    // opened or the device not reached.
    bool open(std::string& reason);
    void close();
    bool isOpen() const { return m_open; }

    // Takes what has arrived: the count (0 for nothing), or -1 when the line
    // is gone, with the reason. hungUp: the wait saw the far end hang up.
    int read(std::uint8_t* buffer, int size, bool hungUp, std::string& reason);
    // False, with the reason, when the line is gone.
    bool write(const std::uint8_t* bytes, std::size_t count, std::string& reason);

    // What to poll for input on POSIX; -1 where there is none (Windows).
    int descriptor() const;
    // The device path or the address that was opened.
    const std::string& device() const { return m_device; }
    const PortAddress& address() const { return m_address; }

private:
    bool openSerial(std::string& reason);
    bool openTcp(std::string& reason);

    PortAddress m_address;
    // Only the one the port needs: the network client's close waits a
    // while for the connection to settle, which a serial run should not.
    std::unique_ptr<SerialPort> m_serial;
    std::unique_ptr<NetClient> m_net;
    std::string m_device;
    bool m_open = false;
};
