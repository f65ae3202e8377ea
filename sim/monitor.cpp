// The monitor's loop.
#include "monitor.h"

#include "commands.h"
#include "loopsignals.h"
#include "monoclock.h"
#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

// Bytes waiting for a line above which the other line is not read until
// they have drained: a line that takes nothing holds up only its own
// direction, and memory stays bounded.
constexpr std::size_t PendingLimit = 65536;

// Printed lines, capture blocks and log rows are gathered and written
// together at most this long after the first of them: a few writes a
// second instead of three more for every read, while none of them is ever
// further behind the line than this.
constexpr std::int64_t OutputDelayNs = 20000000;

} // namespace

Monitor::Monitor(const Options& options)
    : m_options(options)
    , m_a(options.monitorA)
    , m_b(options.monitorB)
    , m_ab("A>B", "ab", options.quiet, options.logFile.empty() ? nullptr : &m_log)
    , m_ba("B>A", "ba", options.quiet, options.logFile.empty() ? nullptr : &m_log)
{
}

bool Monitor::setUp()
{
    if (MonitorLine::sameDevice(m_options.monitorA, m_options.monitorB)) {
        Report::error(m_options.monitorA + " and " + m_options.monitorB + " are the same device; monitor two lines");
        return false;
    }
    std::string error;
    if (!m_a.open(error) || !m_b.open(error)) {
        Report::error(error);
        return false;
    }
    if (!m_options.pcapFile.empty() && !m_pcap.open(m_options.pcapFile, "A=" + m_a.name() + " B=" + m_b.name(), error)) {
        Report::error(error);
        return false;
    }
    if (!m_options.logFile.empty() && !m_log.open(m_options.logFile, error)) {
        Report::error(error);
        return false;
    }
    return true;
}

int Monitor::run()
{
    sigset_t waitMask = LoopSignals::prepare();
    if (!setUp())
        return 2;
    Report::line("ready A=" + m_a.name() + " B=" + m_b.name());
    Report::flush();
    int exitCode = 0;
    while (!m_stop && !LoopSignals::stopRequested()) {
        const std::int64_t now = SimClock::monotonicNs();
        m_a.retry(now);
        m_b.retry(now);
        if (m_outputDue >= 0 && now >= m_outputDue)
            flushOutputs();
        else if (m_outputDue < 0 && (Report::pending() || m_pcap.pending() || m_log.pending()))
            m_outputDue = now + OutputDelayNs;

        MonitorLine* lines[] = {&m_a, &m_b};
        pollfd fds[5];
        int lineIndex[2] = {-1, -1};
        int watchIndex[2] = {-1, -1};
        nfds_t count = 0;
        for (int i = 0; i < 2; ++i) {
            MonitorLine& line = *lines[i];
            const MonitorLine& other = *lines[1 - i];
            if (line.watchFd() >= 0) {
                watchIndex[i] = static_cast<int>(count);
                fds[count++] = {line.watchFd(), POLLIN, 0};
            }
            if (line.fd() >= 0) {
                // Hang-ups and errors are reported whatever is asked for.
                const short events = static_cast<short>((other.pending() < PendingLimit ? POLLIN : 0)
                                                        | (line.pending() > 0 ? POLLOUT : 0));
                lineIndex[i] = static_cast<int>(count);
                fds[count++] = {line.fd(), events, 0};
            }
        }
        const int inputIndex = m_inputOpen ? static_cast<int>(count) : -1;
        if (m_inputOpen)
            fds[count++] = {STDIN_FILENO, POLLIN, 0};

        const std::int64_t wait = waitNs(now);
        timespec timeout{static_cast<time_t>(wait / 1000000000LL), static_cast<long>(wait % 1000000000LL)};
        if (::ppoll(fds, count, wait >= 0 ? &timeout : nullptr, &waitMask) < 0) {
            if (errno == EINTR)
                continue;
            Report::error(std::string("poll failed: ") + std::strerror(errno));
            exitCode = 1;
            break;
        }
        // Opens and closes of COMn first: bytes for a host that has just
        // opened it are delivered, not dropped.
        for (int i = 0; i < 2; ++i) {
            if (watchIndex[i] >= 0 && (fds[watchIndex[i]].revents & POLLIN))
                lines[i]->readWatch();
        }
        Chunk chunks[2];
        for (int i = 0; i < 2; ++i) {
            if (lineIndex[i] >= 0 && (fds[lineIndex[i]].revents & (POLLIN | POLLHUP | POLLERR)))
                forward(*lines[i], *lines[1 - i], chunks[i]);
        }
        record(chunks[0], m_ab, PcapngWriter::Direction::Outbound);
        record(chunks[1], m_ba, PcapngWriter::Direction::Inbound);
        for (int i = 0; i < 2; ++i) {
            if (lineIndex[i] < 0)
                continue;
            const short revents = fds[lineIndex[i]].revents;
            MonitorLine& line = *lines[i];
            // A hung-up line that still reads "nothing yet" would wake every poll.
            if (line.fd() >= 0 && (revents & (POLLHUP | POLLERR | POLLNVAL)) && !(revents & POLLIN))
                line.failed("the line hung up");
            if (line.fd() >= 0 && (revents & POLLOUT))
                line.drain();
        }
        if (inputIndex >= 0 && fds[inputIndex].revents != 0)
            readInput();
    }
    printStats();
    Report::flush();
    return exitCode;
}

void Monitor::forward(MonitorLine& from, MonitorLine& to, Chunk& chunk)
{
    const ssize_t n = from.read(chunk.bytes, sizeof chunk.bytes);
    if (n <= 0)
        return;
    chunk.count = static_cast<std::size_t>(n);
    chunk.wallNs = SimClock::wallNs();
    to.deliver(chunk.bytes, chunk.count);
}

void Monitor::record(const Chunk& chunk, DirectionDecoder& direction, PcapngWriter::Direction flag)
{
    if (chunk.count == 0)
        return;
    if (m_pcap.active())
        m_pcap.packet(flag, chunk.wallNs, chunk.bytes, chunk.count);
    direction.feed(chunk.bytes, chunk.count, chunk.wallNs);
}

void Monitor::flushOutputs()
{
    m_outputDue = -1;
    if (m_pcap.active() && !m_pcap.flush())
        Report::error(m_pcap.path() + ": " + m_pcap.why() + "; the capture stops here, monitoring goes on");
    if (m_log.active() && !m_log.flush())
        Report::error(m_log.path() + ": " + m_log.why() + "; the log stops here, monitoring goes on");
    Report::flush();
}

std::int64_t Monitor::waitNs(std::int64_t now) const
{
    std::int64_t wait = -1;
    for (std::int64_t due : {m_a.retryDueNs(), m_b.retryDueNs(), m_outputDue}) {
        if (due >= 0) {
            const std::int64_t left = std::max<std::int64_t>(0, due - now);
            wait = wait < 0 ? left : std::min(wait, left);
        }
    }
    return wait;
}

void Monitor::readInput()
{
    std::vector<std::string> lines;
    m_inputOpen = m_input.read(STDIN_FILENO, lines);
    for (const std::string& line : lines) {
        const Command command = Command::parse(line);
        if (command.kind == Command::Kind::Stats) {
            printStats();
            Report::flush();
        }
        else if (command.kind == Command::Kind::Quit)
            m_stop = true;
        else if (command.kind != Command::Kind::None)
            Report::error("the monitor takes \"stats\" and \"quit\"; ignored \"" + line + "\"");
    }
    if (!m_inputOpen && m_options.exitOnEof)
        m_stop = true;
}

void Monitor::printStats()
{
    // Counted as the files have them.
    flushOutputs();
    Report::line("stats " + m_ab.statsFields(m_b.dropped()) + ' ' + m_ba.statsFields(m_a.dropped())
                 + " pcap_packets=" + std::to_string(m_pcap.packets()));
}
