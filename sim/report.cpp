// The simulator's output lines.
#include "report.h"

#include "hexbytes.h"
#include "linkframe.h"
#include "monoclock.h"

#include <cstdio>

namespace Report {

namespace {

Flush g_flush = Flush::EachLine;
bool g_pending = false;

} // namespace

void setUp(Flush flush)
{
    g_flush = flush;
    if (flush == Flush::EachLine)
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    else
        std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
}

void line(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    g_pending = g_flush == Flush::WhenAsked;
    if (!g_pending)
        std::fflush(stdout);
}

void flush()
{
    std::fflush(stdout);
    g_pending = false;
}

bool pending()
{
    return g_pending;
}

void error(const std::string& text)
{
    std::fprintf(stderr, "korvane-sim: %s\n", text.c_str());
}

std::string frameBytes(const ReceivedFrame& frame, std::uint64_t index)
{
    std::string text;
    const std::uint8_t head[] = {LinkFrame::StartByte, frame.type, frame.len};
    HexBytes::append(text, head, sizeof head);
    HexBytes::append(text, frame.data.data(), frame.data.size());
    HexBytes::append(text, &frame.checksum, 1);
    text += " [" + std::to_string(index) + "]";
    if (!frame.good)
        text += " bad";
    return text;
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
        + " bytes_out=" + std::to_string(s.bytesOut)
        + (s.replay ? " replay_rows=" + std::to_string(s.replayRows) + " skipped_rows=" + std::to_string(s.skippedRows)
                    : std::string());
}

} // namespace Report
