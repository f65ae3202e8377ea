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

// How long what waits for a line may take to go out when the monitor stops:
// "quit" gives it up to 2 s, a stop signal less, so the monitor is gone
// within a second of it. Either way no longer than the line needs for it at
// the tool's 38400 baud (10 bits a byte), and a little more.
constexpr std::int64_t QuitDrainNs = 2000000000LL;
constexpr std::int64_t SignalDrainNs = 600000000LL;
constexpr std::int64_t LineNsPerByte = 1000000000LL * 10 / 38400;
constexpr std::int64_t DrainSlackNs = 100000000LL;
// And for the printed lines, capture and log after that; also what the
// capture and log get to catch up before "stats" counts what they hold.
constexpr std::int64_t OutputDrainNs = 150000000LL;

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
    const std::string sameDevice = m_options.monitorA + " and " + m_options.monitorB
        + " are the same device; monitor two lines";
    if (MonitorLine::sameDevice(m_options.monitorA, m_options.monitorB)) {
        Report::error(sameDevice);
        return false;
    }
    std::string error;
    if (!m_a.open(error) || !m_b.open(error)) {
        Report::error(error);
        return false;
    }
    // Names tell only so much: COMn's own terminal, or one device under two
    // names, is seen once both are open. Bytes would run round in a circle.
    if (m_a.sameLineAs(m_b)) {
        Report::error(sameDevice);
        return false;
    }
    return openOutputs();
}

bool Monitor::openOutputs()
{
    const std::string lines = "A=" + m_a.name() + " B=" + m_b.name();
    std::string error;
    if (m_files.open(m_options.logFile, true, m_options.pcapFile, {"korvane-sim --monitor", "korvane-monitor", lines}, error))
        return true;
    Report::error(error);
    return false;
}

int Monitor::run()
{
    const int signalFd = LoopSignals::prepare();
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
        // Also while a writer thread is still at it: what it ends with
        // (caught up after drops, or failed) is said on the next turn.
        if (m_outputDue < 0 && (Report::pending() || m_pcap.pending() || m_log.pending()))
            m_outputDue = now + OutputDelayNs;

        MonitorLine* lines[] = {&m_a, &m_b};
        pollfd fds[6];
        int lineIndex[2] = {-1, -1};
        int watchIndex[2] = {-1, -1};
        const std::uint64_t losses[2] = {m_a.losses(), m_b.losses()};
        nfds_t count = 0;
        if (signalFd >= 0)
            fds[count++] = {signalFd, POLLIN, 0};
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
        if (::ppoll(fds, count, wait >= 0 ? &timeout : nullptr, nullptr) < 0) {
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
        // A line lost in this turn (a write to it failed) has nothing left
        // to say: what was polled of it is stale, and reported once.
        const auto fresh = [&](int i) { return lineIndex[i] >= 0 && lines[i]->losses() == losses[i]; };
        Chunk chunks[2];
        for (int i = 0; i < 2; ++i) {
            if (fresh(i) && (fds[lineIndex[i]].revents & (POLLIN | POLLHUP | POLLERR)))
                forward(*lines[i], *lines[1 - i], chunks[i]);
        }
        record(chunks[0], m_ab, PcapngWriter::Direction::Outbound);
        record(chunks[1], m_ba, PcapngWriter::Direction::Inbound);
        for (int i = 0; i < 2; ++i) {
            if (!fresh(i))
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
    drainLines(LoopSignals::stopRequested() ? SignalDrainNs : QuitDrainNs, signalFd);
    printStats();
    Report::finish(SimClock::monotonicNs() + OutputDrainNs);
    return exitCode;
}

void Monitor::drainLines(std::int64_t maxNs, int signalFd)
{
    const std::int64_t start = SimClock::monotonicNs();
    std::int64_t deadline[2];
    MonitorLine* lines[] = {&m_a, &m_b};
    for (int i = 0; i < 2; ++i)
        deadline[i] = start + std::min<std::int64_t>(maxNs, DrainSlackNs + static_cast<std::int64_t>(lines[i]->pending()) * LineNsPerByte);
    const int signalsBefore = LoopSignals::stopCount();
    LoopSignals::clear();
    for (;;) {
        const std::int64_t now = SimClock::monotonicNs();
        pollfd fds[3];
        int lineIndex[2] = {-1, -1};
        nfds_t count = 0;
        std::int64_t wait = -1;
        for (int i = 0; i < 2; ++i) {
            MonitorLine& line = *lines[i];
            if (line.fd() < 0 || line.pending() == 0)
                continue;
            if (now >= deadline[i]) {
                line.giveUp();
                continue;
            }
            lineIndex[i] = static_cast<int>(count);
            fds[count++] = {line.fd(), POLLOUT, 0};
            wait = wait < 0 ? deadline[i] - now : std::min(wait, deadline[i] - now);
        }
        if (count == 0)
            return;
        // A further stop signal ends the wait at once.
        if (signalFd >= 0)
            fds[count++] = {signalFd, POLLIN, 0};
        timespec timeout{static_cast<time_t>(wait / 1000000000LL), static_cast<long>(wait % 1000000000LL)};
        if (::ppoll(fds, count, &timeout, nullptr) < 0 && errno != EINTR)
            break;
        if (LoopSignals::stopCount() > signalsBefore)
            break;
        for (int i = 0; i < 2; ++i) {
            if (lineIndex[i] >= 0 && fds[lineIndex[i]].revents != 0)
                lines[i]->drain();
        }
    }
    m_a.giveUp();
    m_b.giveUp();
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
    for (const std::string& news : m_files.flush("monitoring goes on"))
        Report::error(news);
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
    // Counted as the files have them, as far as they keep up.
    flushOutputs();
    const std::int64_t deadline = SimClock::monotonicNs() + OutputDrainNs;
    m_pcap.drain(deadline);
    m_log.drain(deadline);
    Report::line("stats " + m_ab.statsFields(m_b.dropped()) + ' ' + m_ba.statsFields(m_a.dropped())
                 + " pcap_packets=" + std::to_string(m_pcap.packets()) + " lines_dropped=" + std::to_string(Report::droppedLines())
                 + " pcap_dropped=" + std::to_string(m_pcap.dropped()) + " log_dropped=" + std::to_string(m_log.dropped()));
}
