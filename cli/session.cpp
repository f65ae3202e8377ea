#include "session.h"

#include "hexbytes.h"
#include "linkframe.h"
#include "monoclock.h"

#include <cmath>
#include <cstdio>

using Json = nlohmann::ordered_json;

namespace {

constexpr std::int64_t MsNs = 1000000;
constexpr std::int64_t RetryNs = 200 * MsNs;
constexpr std::size_t KeptFrames = 1024;   // received frames kept for expect_frame
constexpr std::size_t QueuedRequests = 64; // read ahead of the one being served
constexpr int ReadChunk = 4096;
constexpr std::int64_t DrainNs = 2000 * MsNs; // for the log and capture at the end

// Seconds since the epoch with microseconds, as a JSON number.
double seconds(std::int64_t wallNs)
{
    return std::round(static_cast<double>(wallNs) / 1e3) / 1e6;
}

const char* replyName(int reply)
{
    return reply == LinkFrame::Ack ? "ack" : reply == LinkFrame::Nak ? "nak" : nullptr;
}

Json nameOrNull(const char* name)
{
    return name ? Json(name) : Json(nullptr);
}

void say(const std::string& text)
{
    std::fprintf(stderr, "korvane-cli: %s\n", text.c_str());
}

} // namespace

Session::Session(const Options& options, Console& console)
    : m_options(options)
    , m_console(console)
    , m_link(options.port)
    , m_decoder(*this, LinkFrame::MaxRecordData)
    , m_splitter(MaxRequestLine)
    , m_answer(options.answer)
    , m_answerDelayMs(options.answerDelayMs)
{
}

bool Session::openFiles(std::string& error)
{
    return m_recording.open(m_options.logPath, m_options.pcapPath, "korvane-cli on " + m_options.port.text, error);
}

int Session::run()
{
    const bool session = m_options.command == Options::Command::Session;
    std::string error;
    if (!openFiles(error)) {
        emit(session ? Json{{"event", "error"}, {"error", error}} : Json{{"error", error}});
        flush();
        say(error);
        return 2;
    }
    if (!m_link.open(error)) {
        emit(session ? Json{{"event", "error"}, {"error", error}} : Json{{"error", error}});
        flush();
        say(error);
        return 3;
    }
    if (session) {
        emit(Json{{"event", "hello"},
                  {"protocol", 1},
                  {"version", KORVANE_VERSION},
                  {"port", m_options.port.text},
                  {"device", m_link.device()}});
    } else if (m_options.command == Options::Command::Send) {
        Request request;
        request.command = Request::Command::Send;
        request.bytes = m_options.sendBytes;
        request.expect = m_options.expect;
        request.timeoutMs = m_options.timeoutMs;
        start(request);
    } else if (m_options.durationS >= 0) {
        m_endNs = SimClock::monotonicNs() + static_cast<std::int64_t>(m_options.durationS * 1e9);
    }
    flush();
    loop();
    m_link.close();
    flush();
    m_recording.drain(SimClock::monotonicNs() + DrainNs);
    return m_status;
}

void Session::loop()
{
    const bool session = m_options.command == Options::Command::Session;
    while (!m_done) {
        const bool watchInput = session && !m_inputEnded && m_requests.size() < QueuedRequests;
        const Console::Ready ready = m_console.wait(m_link.isOpen() ? m_link.descriptor() : -1, watchInput,
                                                    nextWakeMs(SimClock::monotonicNs()));
        if (ready.line && m_link.isOpen())
            serviceLine(ready.hungUp);
        if (ready.input)
            serviceInput();
        serviceTimers(SimClock::monotonicNs());
        while (!m_done && !m_pending.active && !m_requests.empty()) {
            const auto [request, error] = std::move(m_requests.front());
            m_requests.pop_front();
            if (error.empty())
                start(request);
            else
                fail(request.id, error);
        }
        // At the end of input the requests already read are still served.
        if (session && m_inputEnded && !m_pending.active && m_requests.empty())
            m_done = true;
        flush();
    }
}

int Session::nextWakeMs(std::int64_t now) const
{
    std::int64_t next = -1;
    const auto sooner = [&next](std::int64_t at) {
        if (next < 0 || at < next)
            next = at;
    };
    if (m_pending.active)
        sooner(m_pending.deadlineNs);
    if (!m_delayed.empty())
        sooner(m_delayed.front().first);
    if (!m_link.isOpen())
        sooner(m_retryNs);
    if (m_endNs >= 0)
        sooner(m_endNs);
    if (next < 0)
        return -1;
    return next <= now ? 0 : static_cast<int>((next - now + MsNs - 1) / MsNs);
}

void Session::serviceLine(bool hungUp)
{
    std::uint8_t buffer[ReadChunk];
    for (;;) {
        std::string reason;
        const int n = m_link.read(buffer, ReadChunk, hungUp, reason);
        if (n < 0) {
            lose(reason);
            return;
        }
        if (n == 0)
            return;
        m_readWallNs = SimClock::wallNs();
        m_readMonoNs = SimClock::monotonicNs();
        m_recording.packet(true, m_readWallNs, buffer, static_cast<std::size_t>(n));
        m_decoder.feed(buffer, static_cast<std::size_t>(n), m_readWallNs);
        endNoise();
        if (n < ReadChunk || !m_link.isOpen())
            return;
    }
}

void Session::serviceInput()
{
    char buffer[ReadChunk];
    const long n = m_console.readInput(buffer, sizeof buffer);
    if (n < 0)
        return;
    if (n == 0) {
        m_inputEnded = true;
        return;
    }
    std::vector<LineSplitter::Line> lines;
    m_splitter.feed(buffer, static_cast<std::size_t>(n), lines);
    for (const LineSplitter::Line& line : lines)
        takeRequest(line);
}

void Session::takeRequest(const LineSplitter::Line& line)
{
    Request request;
    std::string error;
    if (line.oversized)
        error = "line longer than " + std::to_string(MaxRequestLine) + " bytes";
    else
        parseRequest(line.text, request, error);
    m_requests.emplace_back(std::move(request), std::move(error));
}

void Session::serviceTimers(std::int64_t now)
{
    while (!m_delayed.empty() && m_delayed.front().first <= now) {
        const std::vector<std::uint8_t> byte{m_delayed.front().second};
        m_delayed.pop_front();
        std::string reason;
        if (!write(byte, reason))
            lose(reason);
    }
    if (m_pending.active && now >= m_pending.deadlineNs) {
        if (m_pending.request.command == Request::Command::Send)
            finishSend(-1);
        else
            finishExpect(nullptr, nullptr, "timeout");
    }
    if (!m_link.isOpen() && !m_lostReason.empty() && now >= m_retryNs) {
        std::string reason;
        if (m_link.open(reason)) {
            m_lostReason.clear();
            event(Json{{"event", "back"}, {"t", seconds(SimClock::wallNs())}});
        } else {
            m_retryNs = now + RetryNs;
        }
    }
    if (m_endNs >= 0 && now >= m_endNs)
        m_done = true;
}

void Session::lose(const std::string& reason)
{
    if (!m_link.isOpen())
        return;
    m_link.close();
    m_decoder.reset();
    m_delayed.clear();
    m_lostReason = reason.empty() ? "the line went away" : reason;
    m_retryNs = SimClock::monotonicNs() + RetryNs;
    event(Json{{"event", "lost"}, {"t", seconds(SimClock::wallNs())}, {"reason", m_lostReason}});
    say("line lost: " + m_lostReason);
    if (!m_pending.active)
        return;
    if (m_options.command == Options::Command::Send) {
        m_pending.active = false;
        emit(Json{{"error", "link lost: " + m_lostReason}});
        m_status = 3;
        m_done = true;
    } else if (m_pending.request.command == Request::Command::Send) {
        m_pending.active = false;
        fail(m_pending.request.id, "link lost: " + m_lostReason);
    } else {
        finishExpect(nullptr, nullptr, "link lost: " + m_lostReason);
    }
}

bool Session::write(const std::vector<std::uint8_t>& bytes, std::string& reason)
{
    if (!m_link.isOpen()) {
        reason = m_lostReason;
        return false;
    }
    if (!m_link.write(bytes.data(), bytes.size(), reason))
        return false;
    m_recording.packet(false, SimClock::wallNs(), bytes.data(), bytes.size());
    return true;
}

void Session::start(const Request& request)
{
    const Json& id = request.id;
    switch (request.command) {
    case Request::Command::Ping:
        answer(id, Json::object());
        return;
    case Request::Command::Close:
        answer(id, Json::object());
        m_done = true;
        return;
    case Request::Command::Answer:
        m_answer = request.mode;
        m_answerDelayMs = request.delayMs;
        answer(id, Json::object());
        return;
    case Request::Command::ExpectFrame:
        for (auto it = m_frames.begin(); it != m_frames.end(); ++it) {
            if (request.pattern.matches(it->frame)) {
                const Received found = *it;
                m_frames.erase(it);
                m_pending.request = request;
                finishExpect(&found.frame, found.answered, std::string());
                return;
            }
        }
        if (!m_link.isOpen()) {
            fail(id, "link lost: " + m_lostReason);
            return;
        }
        break;
    case Request::Command::Send:
    case Request::Command::Raw: {
        std::string reason;
        // The round trip counts from before the write: the device may
        // answer while the last byte's write is still returning.
        m_pending.sentNs = SimClock::monotonicNs();
        if (!m_link.isOpen()) {
            fail(id, "link lost: " + m_lostReason);
            return;
        }
        if (!write(request.bytes, reason)) {
            lose(reason);
            if (m_options.command == Options::Command::Send) {
                emit(Json{{"error", "link lost: " + m_lostReason}});
                m_status = 3;
                m_done = true;
            } else {
                fail(id, "link lost: " + m_lostReason);
            }
            return;
        }
        m_pending.sent = HexBytes::compact(request.bytes.data(), request.bytes.size());
        if (request.command == Request::Command::Raw) {
            answer(id, Json{{"sent", m_pending.sent}});
            return;
        }
        break;
    }
    }
    m_pending.active = true;
    m_pending.request = request;
    // An expect_frame waits from now; a send from the end of its write.
    const std::int64_t from = SimClock::monotonicNs();
    if (request.command != Request::Command::Send)
        m_pending.sentNs = from;
    m_pending.deadlineNs = from + static_cast<std::int64_t>(request.timeoutMs) * MsNs;
}

void Session::finishSend(int reply)
{
    m_pending.active = false;
    const Expect expect = m_pending.request.expect;
    const bool met = expect == Expect::Any || (expect == Expect::Ack && reply == LinkFrame::Ack)
        || (expect == Expect::Nak && reply == LinkFrame::Nak) || (expect == Expect::None && reply < 0);
    Json rtt = nullptr;
    if (reply >= 0)
        rtt = std::round(static_cast<double>(m_readMonoNs - m_pending.sentNs) / 1e3) / 1e3;
    Json body{{"sent", m_pending.sent}, {"reply", nameOrNull(replyName(reply))}, {"rtt_ms", rtt}, {"met", met}};
    if (m_options.command == Options::Command::Send) {
        emit(body);
        m_status = met ? 0 : 1;
        m_done = true;
        return;
    }
    answer(m_pending.request.id, std::move(body));
}

namespace {

// The frame's fields, after whatever `into` holds already.
Json frameFields(const ReceivedFrame& frame, const char* answered, Json into = Json::object())
{
    into["t"] = seconds(frame.startWallNs);
    into["type"] = frame.type;
    into["len"] = frame.len;
    into["data"] = HexBytes::compact(frame.data.data(), frame.data.size());
    into["sum"] = HexBytes::compact(&frame.checksum, 1);
    into["good"] = frame.good;
    into["answered"] = nameOrNull(answered);
    return into;
}

} // namespace

void Session::finishExpect(const ReceivedFrame* frame, const char* answered, const std::string& error)
{
    m_pending.active = false;
    if (!frame) {
        fail(m_pending.request.id, error);
        return;
    }
    answer(m_pending.request.id, Json{{"frame", frameFields(*frame, answered)}});
}

void Session::frameReceived(const ReceivedFrame& frame)
{
    endNoise();
    int reply = -1;
    if (m_answer == AnswerMode::Ack)
        reply = frame.good ? LinkFrame::Ack : LinkFrame::Nak;
    else if (m_answer == AnswerMode::Nak)
        reply = LinkFrame::Nak;
    if (reply >= 0 && m_answerDelayMs > 0) {
        m_delayed.emplace_back(SimClock::monotonicNs() + static_cast<std::int64_t>(m_answerDelayMs) * MsNs,
                               static_cast<std::uint8_t>(reply));
    } else if (reply >= 0) {
        std::string reason;
        if (!write({static_cast<std::uint8_t>(reply)}, reason))
            lose(reason);
    }
    m_lastAnswered = replyName(reply);
    if (frame.good)
        m_recording.row(frame, ++m_goodFrames);
    if (m_options.command == Options::Command::Send)
        return;
    event(frameFields(frame, m_lastAnswered, Json{{"event", "frame"}}));
    if (m_options.command != Options::Command::Session)
        return;
    if (m_pending.active && m_pending.request.command == Request::Command::ExpectFrame
        && m_pending.request.pattern.matches(frame)) {
        finishExpect(&frame, m_lastAnswered, std::string());
        return;
    }
    if (m_frames.size() >= KeptFrames)
        m_frames.pop_front();
    m_frames.push_back(Received{frame, m_lastAnswered});
}

void Session::replyReceived(std::uint8_t reply)
{
    endNoise();
    if (m_options.command != Options::Command::Send)
        event(Json{{"event", "reply"}, {"t", seconds(m_readWallNs)}, {"reply", replyName(reply)}});
    if (m_pending.active && m_pending.request.command == Request::Command::Send)
        finishSend(reply);
}

void Session::noiseReceived(std::uint8_t byte)
{
    m_noise.push_back(static_cast<char>(byte));
}

void Session::endNoise()
{
    if (m_noise.empty())
        return;
    if (m_options.command != Options::Command::Send) {
        event(Json{{"event", "noise"},
                   {"t", seconds(m_readWallNs)},
                   {"data", HexBytes::compact(reinterpret_cast<const std::uint8_t*>(m_noise.data()), m_noise.size())}});
    }
    m_noise.clear();
}

void Session::answer(const Json& id, Json body)
{
    Json line{{"id", id}, {"ok", true}};
    for (auto& item : body.items())
        line[item.key()] = std::move(item.value());
    emit(line);
}

void Session::fail(const Json& id, const std::string& error)
{
    emit(Json{{"id", id}, {"ok", false}, {"error", error}});
}

void Session::event(const Json& body)
{
    emit(body);
    if (m_options.command != Options::Command::Listen || m_options.count < 0)
        return;
    const std::string& kind = body.at("event").get_ref<const std::string&>();
    if ((kind == "frame" || kind == "reply" || kind == "noise") && ++m_events >= m_options.count)
        m_done = true;
}

void Session::emit(const Json& line)
{
    m_out += line.dump(-1, ' ', false, Json::error_handler_t::replace);
    m_out += '\n';
}

void Session::flush()
{
    if (!m_out.empty() && !m_outputGone) {
        if (!m_console.writeOutput(m_out)) {
            m_outputGone = true;
            m_done = true;
        }
    }
    m_out.clear();
    m_recording.flush();
}
