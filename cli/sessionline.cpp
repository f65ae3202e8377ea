// What the line brings: frames (answered as set), replies, noise, and the
// first bytes of a TCP connection, which tell whether a telnet server
// speaks there instead of the device.
#include "session.h"

#include "hexbytes.h"
#include "linkframe.h"
#include "monoclock.h"
#include "sessiontext.h"

using Json = nlohmann::ordered_json;
using namespace SessionText;

namespace {

constexpr int ReadChunk = 4096;
constexpr std::size_t KeptFrames = 1024; // received frames kept for expect_frame
// Frames an expect_frame failure lists of those that came instead.
constexpr std::size_t CameListed = 5;

constexpr std::uint8_t Iac = 0xFF;

// WILL, WONT, DO, DONT: what a telnet server opens a connection with.
bool telnetVerb(std::uint8_t byte)
{
    return byte >= 0xFB && byte <= 0xFE;
}

} // namespace

std::uint64_t Session::serviceLine(bool hungUp)
{
    // Whether the pending send's frame has left is settled before the read:
    // a reply that this read brings may count only then.
    // A serial driver may tell that its queue has drained only after the
    // device has answered, so "handed on" is what counts here.
    m_sendOutBeforeRead = m_pending.active && m_pending.handed && m_pending.request.command == Request::Command::Send;
    // What the last reads brought the line to warn of (an RFC 2217 server's late answers).
    sayLaterWarnings();
    std::uint8_t buffer[ReadChunk];
    std::uint64_t total = 0;
    for (;;) {
        std::string reason;
        const int n = m_link.read(buffer, ReadChunk, hungUp, reason);
        if (n < 0) {
            lose(reason);
            return total;
        }
        if (n == 0)
            return total;
        total += static_cast<std::uint64_t>(n);
        m_readWallNs = SimClock::wallNs();
        m_readMonoNs = SimClock::monotonicNs();
        const std::uint8_t* bytes = buffer;
        std::size_t count = static_cast<std::size_t>(n);
        std::vector<std::uint8_t> held;
        if (m_sniffing) {
            if (!sniffTelnet(buffer, count))
                return total;
            // The bytes held back go on with this read's, in one piece.
            held.swap(m_sniffed);
            bytes = held.data();
            count = held.size();
        }
        m_recording.packet(true, m_readWallNs, bytes, count);
        m_decoder.feed(bytes, count, m_readWallNs);
        if (!m_stopReading)
            endNoise();
        if (n < ReadChunk || !m_link.isOpen() || m_stopReading)
            return total;
    }
}

bool Session::sniffTelnet(const std::uint8_t* bytes, std::size_t count)
{
    // A device speaks only when spoken to, or with a frame (2E): a server
    // that opens with IAC and a verb is a telnet server (ser2net as a
    // lab's exporter runs it), and its negotiation would read as ACKs.
    if (m_sniffed.empty()) {
        m_sniffWallNs = m_readWallNs;
        m_sniffMonoNs = m_readMonoNs;
        m_sniffOutBeforeRead = m_sendOutBeforeRead;
    }
    m_sniffed.insert(m_sniffed.end(), bytes, bytes + count);
    // One IAC alone: the next byte decides, or, if none comes soon, it was
    // the device's ACK after all (releaseSniffed).
    if (m_sniffed.size() < 2 && m_sniffed.front() == Iac)
        return false;
    m_sniffing = false;
    if (m_sniffed.size() >= 2 && m_sniffed[0] == Iac && telnetVerb(m_sniffed[1])) {
        m_link.close();
        failAnswers("this port speaks telnet (RFC 2217): use rfc2217://HOST:PORT", false);
        if (m_pending.active && m_options.command != Options::Command::Send)
            failPending("this port speaks telnet (RFC 2217): use rfc2217://HOST:PORT");
        m_pending.active = false;
        endRun(3, "this port speaks telnet (RFC 2217): use rfc2217://HOST:PORT");
        return false;
    }
    return true;
}

void Session::releaseSniffed()
{
    // Told with the time it was read at, as if it had gone on then.
    m_sniffing = false;
    std::vector<std::uint8_t> held;
    held.swap(m_sniffed);
    m_readWallNs = m_sniffWallNs;
    m_readMonoNs = m_sniffMonoNs;
    m_sendOutBeforeRead = m_sniffOutBeforeRead;
    m_recording.packet(true, m_readWallNs, held.data(), held.size());
    m_decoder.feed(held.data(), held.size(), m_readWallNs);
    if (!m_stopReading)
        endNoise();
}

void Session::answerFrame(const ReceivedFrame& frame, Received& kept)
{
    int reply = -1;
    if (m_answer == AnswerMode::Ack)
        reply = frame.good ? LinkFrame::Ack : LinkFrame::Nak;
    else if (m_answer == AnswerMode::Nak)
        reply = LinkFrame::Nak;
    kept.answered = nullptr;
    kept.ticket = 0;
    if (reply < 0)
        return;
    if (!m_link.isOpen()) {
        kept.answerError = "link lost: " + m_lostReason;
        return;
    }
    Answer a;
    a.ticket = m_nextTicket++;
    a.byte = static_cast<std::uint8_t>(reply);
    a.dueNs = SimClock::monotonicNs() + static_cast<std::int64_t>(m_answerDelayMs) * MsNs;
    if (m_answerDelayMs <= 0)
        a.end = m_link.queue(&a.byte, 1, SimClock::monotonicNs());
    m_answers.push_back(a);
    kept.answered = replyName(reply);
    kept.ticket = a.ticket;
}

void Session::frameReceived(const ReceivedFrame& frame)
{
    if (m_stopReading)
        return;
    endNoise();
    Received kept{frame, nullptr, 0, std::string()};
    answerFrame(frame, kept);
    if (frame.good)
        m_recording.row(frame, ++m_goodFrames);
    if (m_options.command == Options::Command::Send)
        return;
    // Held until the answer has left or failed, when it says which.
    Json line = frameFields(frame, kept.answered, Json{{"event", "frame"}});
    if (!kept.answerError.empty()) {
        line["answered"] = nullptr;
        line["answer_error"] = kept.answerError;
    }
    event(line, kept.ticket);
    if (m_options.command != Options::Command::Session)
        return;
    if (m_pending.active && m_pending.request.command == Request::Command::ExpectFrame) {
        if (m_pending.request.pattern.matches(frame)) {
            finishExpect(&kept, std::string());
            return;
        }
        if (m_pending.came.size() < CameListed)
            m_pending.came.push_back(frame);
        ++m_pending.cameCount;
    }
    if (m_frames.size() >= KeptFrames)
        m_frames.pop_front();
    m_frames.push_back(std::move(kept));
}

void Session::replyReceived(std::uint8_t reply)
{
    if (m_stopReading)
        return;
    endNoise();
    if (m_options.command != Options::Command::Send)
        event(Json{{"event", "reply"}, {"t", seconds(m_readWallNs)}, {"reply", replyName(reply)}});
    // Only a reply read after the frame had left can be its reply; one
    // that came before was meant for something else.
    if (m_pending.active && m_pending.request.command == Request::Command::Send && m_sendOutBeforeRead) {
        if (!m_pending.out)
            written(); // the device has answered it: it has left
        finishSend(reply);
    }
}

void Session::noiseReceived(std::uint8_t byte)
{
    if (!m_stopReading)
        m_noise.push_back(static_cast<char>(byte));
}

void Session::endNoise()
{
    if (m_noise.empty())
        return;
    const std::string noise = std::move(m_noise);
    m_noise.clear();
    if (m_options.command != Options::Command::Send) {
        event(Json{{"event", "noise"},
                   {"t", seconds(m_readWallNs)},
                   {"data", HexBytes::compact(reinterpret_cast<const std::uint8_t*>(noise.data()), noise.size())}});
    }
}
