// The simulator's output lines.
#include "report.h"

#include "hexbytes.h"
#include "linkframe.h"
#include "monoclock.h"

#include "appendfile.h"
#include "outputspool.h"

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace Report {

namespace {

// Lines that may wait for a reader: seconds of a busy monitor's output.
constexpr std::size_t ConsoleLimit = 256 * 1024;

Flush g_flush = Flush::EachLine;
std::unique_ptr<OutputSpool> g_console;

} // namespace

void setUp(Flush flush)
{
    g_flush = flush;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Standard output as it is, blocking or not: the descriptor may be
    // shared with a shell or other programs, so its mode is left alone.
    auto out = std::make_shared<AppendFile>();
    out->adopt(STDOUT_FILENO, "standard output");
    g_console = std::make_unique<OutputSpool>(ConsoleLimit, [out](const std::string& lines) {
        return out->write(lines.data(), lines.size(), [&](std::size_t done) {
            const std::size_t end = lines.rfind('\n', done - 1);
            return end == std::string::npos ? 0 : end + 1;
        });
    }, !out->isRegular());
}

void line(const std::string& text)
{
    g_console->putLine(text);
    if (g_flush == Flush::EachLine)
        flush();
}

void flush()
{
    g_console->flush();
    if (const std::uint64_t dropped = g_console->droppedUntilResumed())
        error(std::to_string(dropped) + " printed lines were dropped while standard output was not read");
}

bool pending()
{
    return g_console->waiting();
}

void finish(std::int64_t deadlineNs)
{
    g_console->drain(deadlineNs);
}

std::uint64_t droppedLines()
{
    return g_console->dropped();
}

void error(const std::string& text)
{
    std::fprintf(stderr, "korvane-sim: %s\n", text.c_str());
}

std::string frameBytes(const ReceivedFrame& frame, std::uint64_t index)
{
    std::string text;
    appendFrameBytes(text, frame, index);
    return text;
}

void appendFrameBytes(std::string& text, const ReceivedFrame& frame, std::uint64_t index)
{
    const std::uint8_t head[] = {LinkFrame::StartByte, frame.type, frame.len};
    HexBytes::append(text, head, sizeof head);
    HexBytes::append(text, frame.data.data(), frame.data.size());
    HexBytes::append(text, &frame.checksum, 1);
    text += " [";
    text += std::to_string(index);
    text += ']';
    if (!frame.good)
        text += " bad";
}

std::string frameLine(const ReceivedFrame& frame, std::uint64_t index)
{
    return SimClock::timeOfDay(frame.startWallNs) + ' ' + frameBytes(frame, index);
}

std::string replyLine(std::uint8_t reply)
{
    std::string text = "reply";
    HexBytes::append(text, &reply, 1);
    return text;
}

std::string statsLine(const SimStats& s)
{
    return "stats sent=" + std::to_string(s.sent) + " sent_bad=" + std::to_string(s.sentBad)
        + " noise_bytes=" + std::to_string(s.noiseBytes) + " rx_good=" + std::to_string(s.rxGood)
        + " rx_bad=" + std::to_string(s.rxBad) + " acks=" + std::to_string(s.acks)
        + " naks=" + std::to_string(s.naks) + " bytes_in=" + std::to_string(s.bytesIn)
        + " bytes_out=" + std::to_string(s.bytesOut) + " bytes_flushed=" + std::to_string(s.bytesFlushed)
        + " lines_dropped=" + std::to_string(droppedLines())
        + (s.replay ? " replay_rows=" + std::to_string(s.replayRows) + " skipped_rows=" + std::to_string(s.skippedRows)
                    : std::string());
}

} // namespace Report
