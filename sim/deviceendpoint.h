#pragma once
// Device mode: a real serial line (a USB adapter wired null-modem to the
// tool's), opened exclusively at the tool's 38400 baud 8N1, raw. The line
// counts as the tool being there while it is open. When it goes away (the
// adapter is unplugged) it is tried again every second until it is back.

#include "endpoint.h"

#include <cstdint>

class DeviceEndpoint : public Endpoint
{
public:
    explicit DeviceEndpoint(std::string path);
    ~DeviceEndpoint() override;

    bool open(std::string& error) override;
    std::string readyText() const override { return m_path; }
    int peerFd() const override { return m_fd; }
    void peerLost() override;
    // Closes the line and opens it again at once; when that fails the line
    // counts as lost and is retried.
    bool hangUp(bool reset, std::string& error) override;
    bool isSerial() const override { return true; }
    bool comesBack() const override { return true; }
    std::int64_t reopenDueNs() const override { return m_reopenDue; }
    bool reopen() override;

private:
    void closeLine();

    std::string m_path;
    int m_fd = -1;
    std::int64_t m_reopenDue = -1;
};
