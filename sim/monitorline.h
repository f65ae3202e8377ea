#pragma once
// One of the two lines the monitor sits between: a real serial line, opened
// and retried as in device mode, or "COMn", a pseudo-terminal linked in the
// ports folder so that a program such as the tool can be the host. What the
// other line sends is written here at once; what the line does not take yet
// waits for it to drain, so the other direction never waits. While the line
// is away, or no program has COMn open, bytes for it are dropped and counted,
// as a wire with nobody at its end would lose them.

#include "endpoint.h"
#include "outqueue.h"

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

class MonitorLine : private ChunkListener
{
public:
    // label: "COMn" or the path of a serial device.
    explicit MonitorLine(const std::string& label);

    // A COMn name rather than a device path.
    static bool isPortName(const std::string& label);
    // Whether two labels name one device: the same name, or paths to the same
    // file or terminal.
    static bool sameDevice(const std::string& a, const std::string& b);

    bool open(std::string& error);
    // Whether this open line and the other are one device after all (COMn
    // and the path of its own terminal, two names of one serial device).
    bool sameLineAs(const MonitorLine& other) const;
    // "COM4 /dev/pts/5" or the device path, for the ready line.
    std::string name() const { return m_end->readyText(); }

    int fd() const { return m_end->peerFd(); }
    int watchFd() const { return m_end->watchFd(); }
    // Reads once. Returns the bytes read, 0 when none are there, or -1 when
    // the line went away ("lost LABEL: why" is printed and retries start).
    ssize_t read(std::uint8_t* buffer, std::size_t size);
    // The line hung up or failed while it was being watched.
    void failed(const std::string& why) { lose(why); }
    // Bytes from the other line.
    void deliver(const std::uint8_t* bytes, std::size_t count);
    // Writes what waits, when the line takes it again.
    void drain();
    std::size_t pending() const { return m_out.pending(); }
    // Drops and counts what still waits (the monitor stops).
    void giveUp() { drop(); }

    // A program opened or closed COMn: prints "connected COMn" or
    // "disconnected COMn" when that changes whether the line takes bytes.
    void readWatch();
    void notePresence();
    // Tries a lost line again when that is due; prints "back LABEL".
    void retry(std::int64_t nowNs);
    std::int64_t retryDueNs() const { return m_end->reopenDueNs(); }

    std::uint64_t dropped() const { return m_dropped; }
    // Times the line was lost: what was polled before a loss is stale.
    std::uint64_t losses() const { return m_losses; }

private:
    void chunkWritten(ChunkKind, std::int64_t, std::size_t, std::int64_t) override {}
    bool takesBytes() const { return fd() >= 0 && m_end->peerPresent(); }
    void drop();
    void lose(const std::string& why);

    std::string m_label;
    std::unique_ptr<Endpoint> m_end;
    OutQueue m_out;
    bool m_present = false;
    std::uint64_t m_dropped = 0;
    std::uint64_t m_losses = 0;
};
