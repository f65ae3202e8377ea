// Requests, served one at a time in order, and their answers: the session
// protocol's and the one frame of `send`.
#include "session.h"

#include "hexbytes.h"
#include "linkframe.h"
#include "monoclock.h"
#include "sessiontext.h"

#include <cmath>

using Json = nlohmann::ordered_json;
using namespace SessionText;

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

void Session::serveRequests()
{
    while (!m_done && !m_pending.active && !m_requests.empty()) {
        const auto [request, error] = std::move(m_requests.front());
        m_requests.pop_front();
        if (error.empty())
            start(request);
        else
            fail(request.id, error);
    }
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
        m_pending = Pending();
        m_pending.request = request;
        for (auto it = m_frames.begin(); it != m_frames.end(); ++it) {
            if (request.pattern.matches(it->frame)) {
                const Received found = *it;
                m_frames.erase(it);
                finishExpect(&found, std::string());
                return;
            }
        }
        if (!m_link.isOpen()) {
            fail(id, "link lost: " + m_lostReason);
            return;
        }
        m_pending.active = true;
        m_pending.sentNs = SimClock::monotonicNs();
        m_pending.deadlineNs = m_pending.sentNs + static_cast<std::int64_t>(request.timeoutMs) * MsNs;
        return;
    case Request::Command::Send:
    case Request::Command::Raw:
        startWrite(request);
        return;
    }
}

void Session::startWrite(const Request& request)
{
    m_pending = Pending();
    m_pending.request = request;
    if (!m_link.isOpen()) {
        if (m_options.command == Options::Command::Send)
            endRun(3, "link lost: " + m_lostReason);
        else
            fail(request.id, "link lost: " + m_lostReason);
        return;
    }
    // The round trip counts from before the write: the device may answer
    // while the last byte's write is still returning.
    m_pending.active = true;
    m_pending.sentNs = SimClock::monotonicNs();
    m_pending.sent = HexBytes::compact(request.bytes.data(), request.bytes.size());
    m_pending.end = m_link.queue(request.bytes.data(), request.bytes.size(), m_pending.sentNs);
    // Until the bytes have left, the link's own deadline holds; the reply's
    // time starts when they have.
    m_pending.deadlineNs = m_pending.sentNs + static_cast<std::int64_t>(request.timeoutMs) * MsNs;
    pumpLine(SimClock::monotonicNs());
}

void Session::written()
{
    m_pending.out = true;
    m_recording.packet(false, SimClock::wallNs(), m_pending.request.bytes.data(), m_pending.request.bytes.size());
    if (m_pending.request.command == Request::Command::Raw) {
        m_pending.active = false;
        answer(m_pending.request.id, Json{{"sent", m_pending.sent}});
        return;
    }
    m_pending.deadlineNs = SimClock::monotonicNs() + static_cast<std::int64_t>(m_pending.request.timeoutMs) * MsNs;
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
        m_stopReading = true;
        return;
    }
    answer(m_pending.request.id, std::move(body));
}

void Session::finishExpect(const Received* found, const std::string& error)
{
    m_pending.active = false;
    if (found) {
        Json frame = frameFields(found->frame, found->answered);
        if (!found->answerError.empty()) {
            frame["answered"] = nullptr;
            frame["answer_error"] = found->answerError;
        }
        answer(m_pending.request.id, Json{{"frame", std::move(frame)}}, found->ticket);
        return;
    }
    if (error != "timeout") {
        fail(m_pending.request.id, error);
        return;
    }
    // Say what came instead: a pattern one byte off is the usual mistake.
    Json came = Json::array();
    for (const ReceivedFrame& frame : m_pending.came)
        came.push_back(frameShort(frame));
    emit(Json{{"id", m_pending.request.id},
              {"ok", false},
              {"error", "timeout"},
              {"came", std::move(came)},
              {"came_count", m_pending.cameCount}});
}

void Session::failPending(const std::string& error)
{
    if (!m_pending.active)
        return;
    m_pending.active = false;
    fail(m_pending.request.id, error);
}
