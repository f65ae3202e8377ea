// libFuzzer target for the receive path: arbitrary bytes from the device, cut
// into arbitrary poll ticks, go through the window's own poll, decoder,
// traffic view and log, over an in-memory serial device. A separate plain
// decoder (FrameOracle) says what must come out: the log rows of the good
// frames byte for byte (the time only by its shape), one reply byte per
// complete frame, the reply label, the view and the decoder's state at the
// end. Any difference aborts, and libFuzzer keeps the input.
//
// Input layout:
//   byte 0        n = byte 0 % 16, the number of split bytes; with bits 4
//                 and 5 both set (0x30) the event loop runs in this input:
//                 after the ticks named below and at the end, where the
//                 view is then brought up to date and checked too
//   bytes 1..n    split bytes, used in turn for tick after tick: the low
//                 seven bits are how many payload bytes arrive before that
//                 tick's poll (0 to 127, so input can pile up past the
//                 100 bytes one poll takes); the high bit runs the event
//                 loop after the tick, which rebuilds the view when due
//   the rest      the bytes the device sends
// With no split bytes, or none with a size, the whole payload arrives at
// once. After the payload the poll runs until nothing is waiting.
//
// Rebuilding the view costs more than all the rest of an input together, so
// only about one input in four asks for the event loop; that keeps the
// target at thousands of inputs a second.

#include "fakedevice.h"
#include "frameoracle.h"
#include "fuzzfailure.h"
#include "korvaneprobe.h"

#include <QApplication>
#include <QTextEdit>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int PollBytes = 100;           // what one poll takes at most
constexpr long InputsPerWindow = 4000;   // then the window and its log start anew
constexpr off_t LogLimit = 16 << 20;     // or sooner, once the log is this long
constexpr std::size_t SplitCount = 16;
constexpr int ViewLines = 7;
const char LogName[] = "Korvane_data.csv";

struct Session
{
    std::string dir;
    std::string logPath;
    Korvane* window = nullptr;
    QTextEdit* view = nullptr;
    int logFd = -1;
    off_t logEnd = 0;
    long inputsOnWindow = 0;
};

Session* session = nullptr;

using Fuzz::fail;

std::string printable(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return out;
}

// The first twelve characters of a row or line are a time "hh:mm:ss" with
// `msSep` and three digits of milliseconds; the rest must be as predicted.
bool matchesWithTime(const std::string& actual, const std::string& expected, char msSep)
{
    if (actual.size() != expected.size() || actual.size() < 12)
        return false;
    auto digit = [&](std::size_t i) { return actual[i] >= '0' && actual[i] <= '9'; };
    static const std::size_t Digits[] = {0, 1, 3, 4, 6, 7, 9, 10, 11};
    for (std::size_t i : Digits) {
        if (!digit(i))
            return false;
    }
    if (actual[2] != ':' || actual[5] != ':' || actual[8] != msSep)
        return false;
    const int hh = (actual[0] - '0') * 10 + (actual[1] - '0');
    const int mm = (actual[3] - '0') * 10 + (actual[4] - '0');
    const int ss = (actual[6] - '0') * 10 + (actual[7] - '0');
    if (hh > 23 || mm > 59 || ss > 59)
        return false;
    return actual.compare(12, std::string::npos, expected, 12, std::string::npos) == 0;
}

std::string readLogFrom(off_t offset)
{
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::pread(session->logFd, buf, sizeof buf, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot read the log: %s", std::strerror(errno));
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
        offset += n;
    }
    return out;
}

void checkHeader(const std::string& log)
{
    static const char Title[] = "Korvane Bus Traffic File \n";
    static const char Columns[] = "time,time_ms,head,type,len,data,...,...,-,inx\n";
    const std::size_t size = sizeof Title - 1 + 22 + 23 + sizeof Columns - 1;
    bool ok = log.size() == size && log.compare(0, sizeof Title - 1, Title) == 0
        && log.compare(size - (sizeof Columns - 1), std::string::npos, Columns) == 0;
    if (ok) {
        const std::string date = log.substr(sizeof Title - 1, 22);
        const std::string time = log.substr(sizeof Title - 1 + 22, 23);
        ok = date.compare(0, 10, "New Data ,") == 0 && date.compare(20, 2, " \n") == 0
            && time.compare(0, 10, "new Time ,") == 0 && time.compare(18, 5, ",\n\n\n\n") == 0;
    }
    if (!ok)
        fail("log header is not as expected: \"%s\"", printable(log).c_str());
}

void openWindow()
{
    Session& s = *session;
    // The log goes to the working directory of the moment the display opens
    // it; keep it in our scratch directory without moving libFuzzer's own
    // files (crash inputs, corpus paths) there.
    char here[PATH_MAX];
    if (::getcwd(here, sizeof here) == nullptr || ::chdir(s.dir.c_str()) != 0)
        fail("cannot enter %s", s.dir.c_str());
    s.window = new Korvane();
    if (::chdir(here) != 0)
        fail("cannot go back to %s", here);

    KorvaneProbe probe(*s.window);
    probe.toggleLinkUntimed();
    if (!probe.linkOpen() || !FakeDevice::isOpen())
        fail("the window did not open COM1 on the fake device");
    // Drop the status line of the open and run the rebuild it asked for,
    // so the first input starts like every other one.
    probe.display().ClearView();
    probe.ui().ack_label->clear();
    QCoreApplication::processEvents();

    const auto views = s.window->findChildren<QTextEdit*>();
    if (views.size() != 1)
        fail("expected one text view in the window, found %d", static_cast<int>(views.size()));
    s.view = views.front();

    s.logFd = ::open(s.logPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (s.logFd < 0)
        fail("the window wrote no log at %s: %s", s.logPath.c_str(), std::strerror(errno));
    const std::string header = readLogFrom(0);
    checkHeader(header);
    s.logEnd = static_cast<off_t>(header.size());
    s.inputsOnWindow = 0;
}

void closeWindow()
{
    Session& s = *session;
    delete s.window;
    s.window = nullptr;
    s.view = nullptr;
    if (FakeDevice::isOpen())
        fail("closing the window left the serial device open");
    ::close(s.logFd);
    s.logFd = -1;
}

void removeScratch()
{
    if (session == nullptr)
        return;
    ::unlink(session->logPath.c_str());
    ::rmdir(session->dir.c_str());
}

// The log's directory: under $TMPDIR when that is set (scripts/fuzz.sh
// points it at a folder it removes afterwards, so even a run that ends in a
// crash leaves nothing behind), else in memory under /dev/shm, else /tmp.
std::string makeScratchDir()
{
    std::string base;
    const char* tmp = std::getenv("TMPDIR");
    if (tmp != nullptr && *tmp != '\0' && ::access(tmp, W_OK) == 0)
        base = tmp;
    else if (::access("/dev/shm", W_OK) == 0)
        base = "/dev/shm";
    else
        base = "/tmp";
    std::string templ = base + "/korvane-fuzz.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
        fail("cannot make a scratch directory under %s: %s", base.c_str(), std::strerror(errno));
    return std::string(buf.data());
}

// One poll tick. Checks that it took exactly what one poll may take.
void tick(KorvaneProbe& probe)
{
    const std::size_t before = FakeDevice::pendingInput();
    // The timer is stopped again so that no tick of its own comes between
    // those the input asks for.
    probe.tick();
    probe.readTimer()->stop();
    const std::size_t after = FakeDevice::pendingInput();
    const std::size_t expected = std::min<std::size_t>(before, PollBytes);
    if (before - after != expected)
        fail("a poll with %zu bytes waiting took %zu, not %zu", before, before - after, expected);
}

void checkRows(const FrameOracle& oracle)
{
    Session& s = *session;
    const std::string written = readLogFrom(s.logEnd);
    s.logEnd += static_cast<off_t>(written.size());

    const auto& frames = oracle.goodFrames();
    std::size_t at = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::string expected = FrameOracle::row(frames[i], static_cast<long>(i) + 1);
        const std::string actual = written.substr(at, expected.size());
        if (!matchesWithTime(actual, expected, ','))
            fail("log row %zu of %zu: expected \"%s\", got \"%s\"", i + 1, frames.size(),
                 printable(expected).c_str(), printable(actual).c_str());
        at += expected.size();
    }
    if (at != written.size())
        fail("log holds %zu bytes beyond the %zu predicted rows: \"%s\"", written.size() - at, frames.size(),
             printable(written.substr(at, 400)).c_str());
}

void checkView(const FrameOracle& oracle)
{
    const auto& frames = oracle.goodFrames();
    const std::string text = session->view->toPlainText().toStdString();
    if (frames.empty()) {
        if (!text.empty())
            fail("no good frame, yet the view shows \"%s\"", printable(text).c_str());
        return;
    }
    // Seven paragraphs: the last seven lines, oldest first, then empty ones.
    const std::size_t n = frames.size();
    const std::size_t first = n > ViewLines ? n - ViewLines : 0;
    std::size_t at = 0;
    for (int row = 0; row < ViewLines; ++row) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string actual = text.substr(at, end - at);
        const std::size_t frame = first + static_cast<std::size_t>(row);
        if (frame < n) {
            const std::string expected = FrameOracle::line(frames[frame], static_cast<long>(frame) + 1);
            if (!matchesWithTime(actual, expected, '.'))
                fail("view paragraph %d: expected \"%s\", got \"%s\"", row + 1, printable(expected).c_str(),
                     printable(actual).c_str());
        } else if (!actual.empty()) {
            fail("view paragraph %d should be empty, got \"%s\"", row + 1, printable(actual).c_str());
        }
        if (row < ViewLines - 1 && end >= text.size())
            fail("the view holds %d paragraphs, not %d: \"%s\"", row + 1, ViewLines, printable(text).c_str());
        at = end + 1;
    }
    if (at <= text.size())
        fail("the view holds more than %d paragraphs: \"%s\"", ViewLines, printable(text).c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The plain event dispatcher turns the loop over in a fraction of the
    // time glib's takes, and nothing here needs glib.
    ::setenv("QT_NO_GLIB", "1", 1);
    static int qtArgc = 1;
    static char qtName[] = "korvane_fuzz";
    static char* qtArgv[] = {qtName, nullptr};
    new QApplication(qtArgc, qtArgv);

    session = new Session;
    session->dir = makeScratchDir();
    session->logPath = session->dir + "/" + LogName;
    std::atexit(removeScratch);
    openWindow();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Session& s = *session;
    if (s.inputsOnWindow >= InputsPerWindow || s.logEnd > LogLimit) {
        closeWindow();
        openWindow();
    }
    ++s.inputsOnWindow;

    // Split the input into the tick script and the payload.
    std::size_t splitCount = size > 0 ? data[0] % SplitCount : 0;
    splitCount = std::min(splitCount, size > 0 ? size - 1 : 0);
    const std::uint8_t* splits = data + (size > 0 ? 1 : 0);
    const std::size_t skip = size > 0 ? 1 + splitCount : 0;
    const std::uint8_t* payload = data + skip;
    const std::size_t payloadSize = size - skip;
    const bool events = size > 0 && (data[0] & 0x30) == 0x30;
    const bool anySized = std::any_of(splits, splits + splitCount, [](std::uint8_t b) { return (b & 0x7F) != 0; });

    // Local, so that everything this input allocates is freed before it
    // returns: libFuzzer runs an input again, looking for a leak, whenever
    // it ends with more allocations than it freed.
    FrameOracle oracle;
    for (std::size_t i = 0; i < payloadSize; ++i)
        oracle.feed(payload[i]);

    KorvaneProbe probe(*s.window);
    probe.resetDecoder();
    FakeDevice::clear();

    if (!anySized) {
        FakeDevice::queueInput(payload, payloadSize);
    } else {
        std::size_t pos = 0;
        for (std::size_t t = 0; pos < payloadSize; ++t) {
            const std::uint8_t split = splits[t % splitCount];
            const std::size_t chunk = std::min<std::size_t>(split & 0x7F, payloadSize - pos);
            FakeDevice::queueInput(payload + pos, chunk);
            pos += chunk;
            tick(probe);
            if (events && (split & 0x80) != 0)
                QCoreApplication::processEvents();
        }
    }
    while (FakeDevice::pendingInput() > 0)
        tick(probe);
    if (events) {
        QCoreApplication::processEvents();
        // The view may hold back its rebuild for a while after the last
        // one; what is checked is what it shows once it has caught up.
        probe.display().RefreshView();
    }

    const std::string replies = FakeDevice::takeWritten();
    if (replies != oracle.replies()) {
        const std::string& expected = oracle.replies();
        const auto diff = std::mismatch(expected.begin(), expected.end(), replies.begin(), replies.end());
        const auto at = static_cast<std::size_t>(diff.first - expected.begin());
        fail("replies to the device: expected %zu bytes, got %zu; from reply %zu on expected \"%s\", got \"%s\"",
             expected.size(), replies.size(), at + 1, printable(expected.substr(at, 8)).c_str(),
             printable(replies.substr(at, 8)).c_str());
    }

    checkRows(oracle);

    const QString ack = probe.ui().ack_label->text();
    const QString expectedAck = oracle.lastPeerReply() == 0 ? QString()
                                                            : QStringLiteral("ack:") + QString::number(oracle.lastPeerReply(), 16);
    if (ack != expectedAck)
        fail("reply label: expected \"%s\", got \"%s\"", qPrintable(expectedAck), qPrintable(ack));

    if (probe.rxState() != oracle.phase())
        fail("decoder state at the end: expected %d, got %d", oracle.phase(), probe.rxState());
    if (oracle.phase() == FrameOracle::Payload && probe.rxCount() != oracle.dataTaken())
        fail("data bytes held by the unfinished frame: expected %d, got %d", oracle.dataTaken(), probe.rxCount());

    if (events)
        checkView(oracle);

    // Clear up here rather than before the next input, so that what this
    // input allocated is freed within it and libFuzzer's leak check stays
    // quiet unless something really leaks. An input without a good frame
    // pushed no line and leaves the view as empty as it found it.
    if (!oracle.goodFrames().empty())
        probe.display().ClearView();
    if (oracle.lastPeerReply() != 0)
        probe.ui().ack_label->clear();
    return 0;
}
