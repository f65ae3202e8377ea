// The simulated device's event loop.
#include "simulator.h"

#include "deviceendpoint.h"
#include "framescheduler.h"
#include "linkframe.h"
#include "logreplay.h"
#include "loopsignals.h"
#include "monoclock.h"
#include "ptyendpoint.h"
#include "tcpendpoint.h"
#include "trafficlog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

// Queued output above which no further frames are generated while sending
// as fast as the tool reads. A paced stream queues a frame only when all
// before it are out: while the tool does not read, nothing piles up that it
// would later get as a stale burst.
constexpr std::size_t UnpacedQueueLimit = 16384;

// What the last printed lines get to reach a reader at the end.
constexpr std::int64_t OutputDrainNs = 200000000LL;

// Reasons for skipped rows of a replayed log that are kept and printed.
constexpr std::size_t SkippedShown = 20;

} // namespace

Simulator::Simulator(const Options& options)
    : m_options(options)
    , m_decoder(*this)
    , m_started(!options.hold)
{
}

Simulator::~Simulator()
{
    if (m_timestamps)
        std::fclose(m_timestamps);
}

bool Simulator::setUp()
{
    if (!m_options.timestampsFile.empty()) {
        m_timestamps = std::fopen(m_options.timestampsFile.c_str(), "w");
        if (!m_timestamps) {
            Report::error("cannot write " + m_options.timestampsFile + ": " + std::strerror(errno));
            return false;
        }
        std::setvbuf(m_timestamps, nullptr, _IOFBF, 1 << 16);
    }
    if (m_options.replayFile.empty())
        m_source = std::make_unique<FrameScheduler>(m_options.schedule);
    else if (!loadReplay())
        return false;
    if (m_options.mode == Options::Mode::Serial)
        m_link = std::make_unique<PtyEndpoint>(m_options.portName);
    else if (m_options.mode == Options::Mode::Device)
        m_link = std::make_unique<DeviceEndpoint>(m_options.devicePath);
    else
        m_link = std::make_unique<TcpEndpoint>(m_options.address, m_options.port);
    std::string error;
    if (!m_link->open(error)) {
        Report::error(error);
        return false;
    }
    return true;
}

bool Simulator::loadReplay()
{
    TrafficLog::Contents log;
    log.reasonsKept = SkippedShown;
    std::string error;
    if (!TrafficLog::read(m_options.replayFile, log, error)) {
        Report::error(error);
        return false;
    }
    for (const std::string& why : log.skipped)
        Report::error(m_options.replayFile + ": " + why + "; skipped");
    if (log.skippedRows > log.skipped.size())
        Report::error(m_options.replayFile + ": \u2026 and " + std::to_string(log.skippedRows - log.skipped.size())
                      + " more rows skipped");
    m_stats.replay = true;
    m_stats.replayRows = log.rows.size();
    m_stats.skippedRows = log.skippedRows;
    m_source = std::make_unique<LogReplay>(std::move(log.rows), m_options.replaySpeed);
    return true;
}

int Simulator::run()
{
    const int signalFd = LoopSignals::prepare();
    if (!setUp())
        return 2;
    Report::line("ready " + m_link->readyText());
    notePresence();

    while (!m_stop && !LoopSignals::stopRequested()) {
        std::int64_t now = SimClock::monotonicNs();
        retryLink(now);
        if (!m_link->peerPresent()) {
            m_source->pause();
        } else if (m_started && !m_quitting && m_source->hasWork()) {
            m_source->start(now);
            m_source->emitDue(now, m_out, queueLimit());
        }
        if (m_link->peerFd() >= 0 && !m_out.empty())
            writePeer();
        if (m_stop)
            break;

        if (m_quitting && (m_out.empty() || m_link->peerFd() < 0 || now >= m_drainUntil))
            break;
        if (m_options.bounded && !m_options.stay && m_source->finished() && m_out.empty()) {
            if (m_lingerUntil < 0)
                m_lingerUntil = now + m_options.lingerMs * 1000000LL;
            if (now >= m_lingerUntil)
                break;
        }

        pollfd fds[5];
        nfds_t count = 0;
        if (signalFd >= 0)
            fds[count++] = {signalFd, POLLIN, 0};
        int peerIndex = -1;
        int acceptIndex = -1;
        int watchIndex = -1;
        int inputIndex = -1;
        if (m_link->watchFd() >= 0) {
            watchIndex = static_cast<int>(count);
            fds[count++] = {m_link->watchFd(), POLLIN, 0};
        }
        if (m_link->peerFd() >= 0) {
            peerIndex = static_cast<int>(count);
            fds[count++] = {m_link->peerFd(), static_cast<short>(POLLIN | (m_out.empty() ? 0 : POLLOUT)), 0};
        } else if (m_link->acceptFd() >= 0) {
            acceptIndex = static_cast<int>(count);
            fds[count++] = {m_link->acceptFd(), POLLIN, 0};
        }
        if (m_inputOpen && !m_quitting) {
            inputIndex = static_cast<int>(count);
            fds[count++] = {STDIN_FILENO, POLLIN, 0};
        }

        const std::int64_t wait = waitNs(now);
        timespec timeout{};
        if (wait >= 0) {
            timeout.tv_sec = static_cast<time_t>(wait / 1000000000LL);
            timeout.tv_nsec = static_cast<long>(wait % 1000000000LL);
        }
        const int ready = ::ppoll(fds, count, wait >= 0 ? &timeout : nullptr, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            Report::error(std::string("poll failed: ") + std::strerror(errno));
            m_exitCode = 1;
            break;
        }
        // Opens and closes first: a tool that wrote and closed at once still
        // has its bytes decoded below.
        if (watchIndex >= 0 && (fds[watchIndex].revents & POLLIN)) {
            m_link->readWatch();
            m_stats.bytesFlushed += m_link->takeFlushed();
            notePresence();
        }
        if (peerIndex >= 0 && fds[peerIndex].revents != 0) {
            bool dropped = false;
            if (fds[peerIndex].revents & (POLLIN | POLLHUP | POLLERR))
                dropped = readPeer();
            // A hung-up line that still reads "nothing yet" would wake every poll.
            if (!dropped && (fds[peerIndex].revents & (POLLHUP | POLLERR | POLLNVAL)))
                dropPeer(false, false, "the line hung up");
            if (!m_stop && m_link->peerFd() >= 0 && (fds[peerIndex].revents & POLLOUT))
                writePeer();
        }
        if (acceptIndex >= 0 && (fds[acceptIndex].revents & POLLIN))
            takePeer();
        if (inputIndex >= 0 && fds[inputIndex].revents != 0)
            readInput();
    }

    printStats();
    if (m_timestamps)
        std::fflush(m_timestamps);
    Report::finish(SimClock::monotonicNs() + OutputDrainNs);
    return m_exitCode;
}

std::size_t Simulator::queueLimit() const
{
    return m_source->paced() ? 1 : UnpacedQueueLimit;
}

std::int64_t Simulator::waitNs(std::int64_t now) const
{
    std::int64_t wait = -1;
    auto sooner = [&](std::int64_t deadline) {
        const std::int64_t left = std::max<std::int64_t>(0, deadline - now);
        wait = wait < 0 ? left : std::min(wait, left);
    };
    // With the queue full the next event is POLLOUT, not the timetable.
    if (m_link->peerPresent() && m_source->running() && m_out.pending() < queueLimit()) {
        const std::int64_t deadline = m_source->nextDeadline();
        if (deadline >= 0)
            sooner(deadline);
    }
    if (m_lingerUntil >= 0)
        sooner(m_lingerUntil);
    if (m_link->reopenDueNs() >= 0)
        sooner(m_link->reopenDueNs());
    if (m_quitting)
        sooner(m_drainUntil);
    return wait;
}

bool Simulator::readPeer()
{
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(m_link->peerFd(), buffer, sizeof buffer);
        if (n > 0) {
            m_stats.bytesIn += static_cast<std::uint64_t>(n);
            m_decoder.feed(buffer, static_cast<std::size_t>(n), SimClock::wallNs());
            if (static_cast<std::size_t>(n) < sizeof buffer)
                return false;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return false;
        dropPeer(false, false, n == 0 ? "end of file" : std::strerror(errno));
        return true;
    }
}

void Simulator::writePeer()
{
    if (m_out.writeTo(m_link->peerFd(), m_link->peerIsSocket(), *this) == OutQueue::Result::Failed)
        dropPeer(false, false, std::strerror(errno));
}

void Simulator::takePeer()
{
    if (m_link->acceptPeer())
        notePresence();
}

void Simulator::notePresence()
{
    const bool present = m_link->peerPresent();
    if (present == m_present)
        return;
    m_present = present;
    if (present) {
        // A new tool starts with a clean slate, not inside an old half frame.
        m_decoder.reset();
        Report::line("connected");
    } else {
        m_source->pause();
        // Nothing that waited for the tool that went is kept for the next.
        m_stats.bytesFlushed += m_out.pending();
        m_out.clear();
        Report::line("disconnected");
    }
}

void Simulator::dropPeer(bool byUser, bool reset, const std::string& why)
{
    m_out.clear();
    m_decoder.reset();
    if (!byUser && m_link->comesBack()) {
        m_link->peerLost();
        Report::line("lost " + m_link->readyText() + ": " + why);
        notePresence();
        return;
    }
    if (!m_link->isSerial()) {
        if (byUser) {
            std::string ignored;
            m_link->hangUp(reset, ignored);
        } else {
            m_link->peerLost();
        }
        notePresence();
        return;
    }
    std::string error;
    const bool replugged = m_link->hangUp(reset, error);
    notePresence();
    if (!replugged && m_link->reopenDueNs() >= 0) {
        Report::line("lost " + m_link->readyText() + ": " + error);
        return;
    }
    if (!replugged) {
        Report::error(error);
        m_exitCode = 1;
        m_stop = true;
        return;
    }
    Report::line("hangup");
    Report::line("ready " + m_link->readyText());
    notePresence();
}

void Simulator::retryLink(std::int64_t now)
{
    const std::int64_t due = m_link->reopenDueNs();
    if (due < 0 || now < due || !m_link->reopen())
        return;
    Report::line("back " + m_link->readyText());
    notePresence();
}

void Simulator::queueFrame(std::uint8_t type, const std::vector<std::uint8_t>& data, bool bad)
{
    std::vector<std::uint8_t> frame(data.size() + LinkFrame::Overhead);
    LinkFrame::encode(type, static_cast<std::uint8_t>(data.size()), data.data(), frame.data());
    if (bad)
        frame.back() = static_cast<std::uint8_t>(frame.back() + 1);
    m_out.push(frame.data(), frame.size(), bad ? ChunkKind::BadFrame : ChunkKind::Frame);
}

void Simulator::frameReceived(const ReceivedFrame& frame)
{
    ++m_rxIndex;
    if (frame.good)
        ++m_stats.rxGood;
    else
        ++m_stats.rxBad;
    if (!m_options.quiet)
        Report::line(Report::frameLine(frame, m_rxIndex));
    if (!m_options.noReply) {
        const std::uint8_t reply = frame.good ? LinkFrame::Ack : LinkFrame::Nak;
        m_out.push(&reply, 1, ChunkKind::Reply);
    }
}

void Simulator::replyReceived(std::uint8_t reply)
{
    if (reply == LinkFrame::Ack)
        ++m_stats.acks;
    else
        ++m_stats.naks;
    if (!m_options.quiet)
        Report::line(Report::replyLine(reply));
}

void Simulator::chunkWritten(ChunkKind kind, std::int64_t seq, std::size_t bytes, std::int64_t wallNs)
{
    switch (kind) {
    case ChunkKind::BadFrame:
        ++m_stats.sentBad;
        [[fallthrough]];
    case ChunkKind::Frame:
        ++m_stats.sent;
        if (m_timestamps && seq >= 0)
            std::fprintf(m_timestamps, "%lld %lld\n", static_cast<long long>(seq), static_cast<long long>(wallNs));
        break;
    case ChunkKind::Noise:
        m_stats.noiseBytes += bytes;
        break;
    case ChunkKind::Reply:
    case ChunkKind::Raw:
        break;
    }
}

void Simulator::printStats()
{
    m_stats.bytesOut = m_out.bytesWritten();
    Report::line(Report::statsLine(m_stats));
}
