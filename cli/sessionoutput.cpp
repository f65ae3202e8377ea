// The lines written out, in order, and the fate of what was written to the
// line: a frame's event or expect_frame answer says "answered" only once
// the answer has left, and is held, with the lines behind it, until then.
#include "session.h"

#include "monoclock.h"
#include "sessiontext.h"

using Json = nlohmann::ordered_json;
using namespace SessionText;

void Session::pumpLine(std::int64_t now)
{
    if (!m_link.isOpen())
        return;
    for (Answer& a : m_answers) {
        if (a.end == 0 && a.dueNs <= now) {
            a.end = m_link.queue(&a.byte, 1, now);
        }
    }
    std::string reason;
    if (!m_link.pump(reason)) {
        lose(reason);
        return;
    }
    settleAnswers();
    const bool writingPending = m_pending.active && !m_pending.out
        && (m_pending.request.command == Request::Command::Send || m_pending.request.command == Request::Command::Raw);
    if (writingPending && m_link.handed() >= m_pending.end)
        m_pending.handed = true;
    if (writingPending && m_link.left() >= m_pending.end) {
        written();
    } else if (m_link.writing() && now >= m_link.deadlineNs()) {
        // The device takes nothing: what waits is dropped, and each thing
        // that waited for it fails with what the line did take.
        const std::string took = m_link.abandon(now);
        if (m_options.command != Options::Command::Send)
            say("the device takes no data: " + took);
        failAnswers("the answer was not written: " + took, true);
        if (writingPending) {
            if (m_options.command == Options::Command::Send)
                endRun(3, "link: " + took);
            else
                failPending("link: " + took);
        }
    }
}

void Session::settleAnswers()
{
    while (!m_answers.empty() && m_answers.front().end > 0 && m_answers.front().end <= m_link.left()) {
        const Answer a = m_answers.front();
        m_recording.packet(false, SimClock::wallNs(), &a.byte, 1);
        resolveAnswer(a.ticket, replyName(a.byte), std::string());
    }
}

void Session::resolveAnswer(std::uint64_t ticket, const char* name, const std::string& error)
{
    for (auto it = m_answers.begin(); it != m_answers.end(); ++it) {
        if (it->ticket == ticket) {
            m_answers.erase(it);
            break;
        }
    }
    const auto settle = [&](Json& fields) {
        fields["answered"] = nameOrNull(name);
        if (!error.empty())
            fields["answer_error"] = error;
    };
    for (OutLine& out : m_out) {
        if (out.ticket != ticket)
            continue;
        out.ticket = 0;
        settle(out.line.contains("frame") ? out.line["frame"] : out.line);
    }
    for (Received& kept : m_frames) {
        if (kept.ticket != ticket)
            continue;
        kept.ticket = 0;
        kept.answered = name;
        kept.answerError = error;
    }
}

void Session::failAnswers(const std::string& error, bool queuedOnly)
{
    const std::deque<Answer> answers = m_answers;
    for (const Answer& a : answers) {
        if (!queuedOnly || a.end > 0)
            resolveAnswer(a.ticket, nullptr, error);
    }
}

void Session::answer(const Json& id, Json body, std::uint64_t ticket)
{
    Json line{{"id", id}, {"ok", true}};
    for (auto& item : body.items())
        line[item.key()] = std::move(item.value());
    emit(std::move(line), ticket);
}

void Session::fail(const Json& id, const std::string& error)
{
    emit(Json{{"id", id}, {"ok", false}, {"error", error}});
}

void Session::event(const Json& body, std::uint64_t ticket)
{
    emit(body, ticket);
    if (m_options.command != Options::Command::Listen || m_options.count < 0)
        return;
    const std::string& kind = body.at("event").get_ref<const std::string&>();
    if ((kind == "frame" || kind == "reply" || kind == "noise") && ++m_events >= m_options.count) {
        // Exactly that many: what the same read brings after it is not told.
        m_done = true;
        m_stopReading = true;
    }
}

void Session::emit(Json line, std::uint64_t ticket)
{
    m_out.push_back(OutLine{std::move(line), ticket});
}

void Session::flush()
{
    m_recording.flush();
    reportDropped(SimClock::monotonicNs());
    std::string text;
    while (!m_out.empty() && (m_out.front().ticket == 0 || m_outputGone)) {
        text += m_out.front().line.dump(-1, ' ', false, Json::error_handler_t::replace);
        text += '\n';
        m_out.pop_front();
    }
    if (!text.empty() && !m_outputGone && !m_console.writeOutput(text)) {
        m_outputGone = true;
        m_done = true;
    }
}

void Session::reportDropped(std::int64_t nowNs)
{
    RecordFiles::Lacking counts;
    if (m_options.command != Options::Command::Send && m_recording.dropReport(nowNs, counts))
        emit(Json{{"event", "dropped"}, {"log_rows", counts.logRows}, {"pcap_packets", counts.pcapPackets}});
}
