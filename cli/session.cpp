#include "session.h"

#include "linkframe.h"
#include "monoclock.h"
#include "sessiontext.h"

using Json = nlohmann::ordered_json;
using namespace SessionText;

namespace {

constexpr std::int64_t RetryNs = 200 * MsNs;
constexpr std::size_t QueuedRequests = 64; // read ahead of the one being served
constexpr int ReadChunk = 4096;
constexpr std::int64_t DrainNs = 2000 * MsNs; // for the log and capture at the end
// How long a lone FF that opens a TCP connection waits for a telnet verb.
constexpr std::int64_t SniffNs = 100 * MsNs;

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
    return m_recording.open(m_options.logPath, m_options.pcapPath, m_options.port.text, error);
}

int Session::run()
{
    const bool session = m_options.command == Options::Command::Session;
    std::string error;
    if (!openFiles(error)) {
        endRun(2, error);
        flush();
        return m_status;
    }
    if (!m_link.open(error)) {
        endRun(3, error);
        flush();
        return m_status;
    }
    m_sniffing = m_options.port.kind == PortAddress::Kind::Tcp;
    const std::vector<std::string> warnings = m_link.takeWarnings();
    for (const std::string& w : warnings)
        say("warning: " + w);
    // What already waits was sent before anything from here: it is read,
    // and told, before the first frame goes out, so that it cannot pass
    // for that frame's reply.
    const std::uint64_t waiting = serviceLine(false);
    if (!session && waiting > 0)
        say(std::to_string(waiting) + " bytes waited on the line at the open: read as the device's, before anything was sent");
    if (session) {
        sayHello(waiting, warnings);
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
    failAnswers("the run ended before the answer had left", false);
    m_link.close();
    flush();
    m_recording.drain(SimClock::monotonicNs() + DrainNs);
    // The totals, and a run that went as asked says its record is not whole.
    reportDropped(Recording::Final);
    flush();
    const std::string summary = m_recording.summary();
    if (!summary.empty()) {
        say(summary);
        if (m_status == 0)
            m_status = 4;
    }
    return m_status;
}

void Session::sayHello(std::uint64_t waiting, const std::vector<std::string>& warnings)
{
    Json hello{{"event", "hello"},
               {"protocol", 1},
               {"version", KORVANE_VERSION},
               {"port", m_options.port.text},
               {"device", m_link.device()},
               {"waiting", waiting}};
    if (!warnings.empty())
        hello["warnings"] = warnings;
    // First of all lines, before the events of what waited.
    m_out.push_front(OutLine{std::move(hello), 0});
}

void Session::sayLaterWarnings()
{
    for (const std::string& w : m_link.takeWarnings())
        say("warning: " + w);
}

void Session::endRun(int status, const std::string& error)
{
    // The one-shot commands print a bare error; a session and listen say it
    // as an event, which is what their readers wait for.
    emit(m_options.command == Options::Command::Send ? Json{{"error", error}}
                                                      : Json{{"event", "error"}, {"error", error}});
    say(error);
    m_status = status;
    m_done = true;
    m_stopReading = true;
}

bool Session::finished() const
{
    if (!m_done)
        return false;
    // The answers on their way are waited for (each has its deadline), so
    // that the last events say how their frames were answered.
    return m_outputGone || m_out.empty() || !m_link.isOpen();
}

void Session::loop()
{
    const bool session = m_options.command == Options::Command::Session;
    for (;;) {
        // What the line took since the last round may settle held lines.
        pumpLine(SimClock::monotonicNs());
        flush();
        if (finished())
            break;
        const bool watchInput = session && !m_done && !m_inputEnded && m_requests.size() < QueuedRequests;
        const bool open = m_link.isOpen();
        const Console::Ready ready = m_console.wait(open ? m_link.descriptor() : -1, watchInput,
                                                    open && m_link.waitsForRoom(),
                                                    nextWakeMs(SimClock::monotonicNs()));
        pumpLine(SimClock::monotonicNs());
        if (ready.line && m_link.isOpen() && !m_stopReading)
            serviceLine(ready.hungUp);
        if (ready.input)
            serviceInput();
        serviceTimers(SimClock::monotonicNs());
        serveRequests();
        // At the end of input the requests already read are still served.
        if (session && m_inputEnded && !m_pending.active && m_requests.empty())
            m_done = true;
        if (m_done) {
            // Answers not yet due will not be sent by this run.
            for (const Answer& a : std::deque<Answer>(m_answers)) {
                if (a.end == 0)
                    resolveAnswer(a.ticket, nullptr, "the run ended before the answer was due");
            }
        }
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
    // A send's own time starts once its frame has left; until then the
    // link's deadline holds.
    if (m_pending.active && (m_pending.out || m_pending.request.command == Request::Command::ExpectFrame))
        sooner(m_pending.deadlineNs);
    for (const Answer& a : m_answers) {
        if (a.end == 0) {
            sooner(a.dueNs);
            break;
        }
    }
    if (m_link.isOpen() && m_link.writing()) {
        sooner(m_link.deadlineNs());
        // A serial driver's queue drains without a word: look again soon.
        if (!m_link.waitsForRoom())
            sooner(now + MsNs);
    }
    if (!m_link.isOpen() && !m_done)
        sooner(m_retryNs);
    if (m_endNs >= 0)
        sooner(m_endNs);
    if (m_sniffing && !m_sniffed.empty())
        sooner(m_sniffMonoNs + SniffNs);
    if (m_options.command != Options::Command::Send && m_recording.dropReportDueNs() >= 0)
        sooner(m_recording.dropReportDueNs());
    if (next < 0)
        return -1;
    return next <= now ? 0 : static_cast<int>((next - now + MsNs - 1) / MsNs);
}

void Session::serviceInput()
{
    char buffer[ReadChunk];
    const long n = m_console.readInput(buffer, sizeof buffer);
    if (n < 0)
        return;
    std::vector<LineSplitter::Line> lines;
    if (n == 0) {
        // A last request without its line end is a request all the same.
        m_inputEnded = true;
        m_splitter.finish(lines);
    } else {
        m_splitter.feed(buffer, static_cast<std::size_t>(n), lines);
    }
    for (const LineSplitter::Line& line : lines)
        takeRequest(line);
}

void Session::serviceTimers(std::int64_t now)
{
    if (m_sniffing && !m_sniffed.empty() && now >= m_sniffMonoNs + SniffNs && m_link.isOpen())
        releaseSniffed();
    if (m_pending.active && !m_done && now >= m_pending.deadlineNs) {
        if (m_pending.request.command == Request::Command::Send && m_pending.out)
            finishSend(-1);
        else if (m_pending.request.command == Request::Command::ExpectFrame)
            finishExpect(nullptr, "timeout");
    }
    if (!m_link.isOpen() && !m_lostReason.empty() && !m_done && now >= m_retryNs) {
        std::string reason;
        if (m_link.open(reason)) {
            m_lostReason.clear();
            m_sniffing = m_options.port.kind == PortAddress::Kind::Tcp;
            m_sniffed.clear();
            Json back{{"event", "back"}, {"t", seconds(SimClock::wallNs())}};
            const std::vector<std::string> warnings = m_link.takeWarnings();
            for (const std::string& w : warnings)
                say("warning: " + w);
            if (!warnings.empty())
                back["warnings"] = warnings;
            event(back);
            serviceLine(false);
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
    m_lostReason = reason.empty() ? "the line went away" : reason;
    m_retryNs = SimClock::monotonicNs() + RetryNs;
    failAnswers("link lost: " + m_lostReason, false);
    event(Json{{"event", "lost"}, {"t", seconds(SimClock::wallNs())}, {"reason", m_lostReason}});
    say("line lost: " + m_lostReason);
    if (!m_pending.active)
        return;
    if (m_options.command == Options::Command::Send) {
        m_pending.active = false;
        endRun(3, "link lost: " + m_lostReason);
    } else if (m_pending.request.command == Request::Command::ExpectFrame) {
        finishExpect(nullptr, "link lost: " + m_lostReason);
    } else {
        failPending("link lost: " + m_lostReason);
    }
}
