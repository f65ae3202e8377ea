#pragma once
// Serial mode: a raw pseudo-terminal whose slave is linked as COMn in the
// tool's ports directory. The simulator keeps its own descriptor on the slave
// open, so the tool may close and reopen COMn at will without the master ever
// seeing a hang-up. On Linux an inotify watch on the slave tells when the tool
// opens and closes it; elsewhere the tool counts as always there.

#include "endpoint.h"
#include "portlink.h"

class PtyEndpoint : public Endpoint
{
public:
    explicit PtyEndpoint(std::string name);
    ~PtyEndpoint() override;

    bool open(std::string& error) override;
    std::string readyText() const override;
    int peerFd() const override { return m_master; }
    void peerLost() override;
    // Hangs up like a pulled cable: the master and the held slave are closed,
    // so the tool's descriptor reads end-of-file/EIO, and a fresh terminal is
    // linked under the same name for the tool's next open.
    bool hangUp(bool reset, std::string& error) override;
    bool isSerial() const override { return true; }
    bool peerPresent() const override { return m_watch < 0 || m_openers > 0; }
    int watchFd() const override { return m_watch; }
    void readWatch() override;
    std::uint64_t takeFlushed() override;
    int deviceFd() const override { return m_slave; }

    const std::string& slavePath() const { return m_slavePath; }

private:
    bool makeTerminal(std::string& error);
    void closeTerminal();

    std::string m_name;
    PortLink m_link;
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
    int m_watch = -1;   // inotify on the slave, -1 where there is none
    int m_openers = 0;  // opens of the slave by others, less their closes
    std::uint64_t m_flushed = 0;
};
