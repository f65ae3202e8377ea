// Rows of the monitor's traffic log.
#include "monitorlog.h"

#include "hexbytes.h"
#include "linkframe.h"
#include "monoclock.h"

#include <algorithm>
#include <ctime>

namespace {

constexpr std::size_t SpoolLimit = 256 * 1024;

// The tool's header block, stamped now or at wallNs.
std::string headerBlock(bool directions, std::int64_t wallNs)
{
    const time_t now = wallNs ? static_cast<time_t>(wallNs / 1000000000) : std::time(nullptr);
    tm local{};
    SimClock::localTime(now, local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "New Data ,%Y-%m-%d \nnew Time ,%H:%M:%S,\n\n\n\n", &local);
    return std::string("Korvane Bus Traffic File \n") + stamp + "time,time_ms,head,type,len,data,...,...,-,inx"
        + (directions ? ",dir\n" : "\n");
}

} // namespace

bool MonitorLog::open(const std::string& path, std::string& error, bool directions, std::int64_t headerWallNs)
{
    if (!m_file->create(path, error))
        return false;
    const std::string header = headerBlock(directions, headerWallNs);
    // Counted with the rows by the writer, and taken off again by rows();
    // a FIFO's header is not.
    m_headerLines = m_file->isFifo() ? 0 : static_cast<std::uint64_t>(std::count(header.begin(), header.end(), '\n'));
    // A FIFO's every reader gets the header from the file itself.
    m_file->setPreamble(m_file->isFifo() ? header : std::string());
    m_spool = std::make_unique<OutputSpool>(SpoolLimit, [file = m_file, linesWritten = m_written](const std::string& rows) {
        const bool written = file->write(rows.data(), rows.size(), [&](std::size_t done) {
            const std::size_t lineEnd = rows.rfind('\n', done - 1);
            return lineEnd == std::string::npos ? 0 : lineEnd + 1;
        });
        *linesWritten += static_cast<std::uint64_t>(std::count(rows.data(), rows.data() + file->lastKept(), '\n'));
        return written;
    }, !m_file->isRegular(), m_file->isFifo() ? AppendFile::TendNs : 0);
    if (!m_file->isFifo()) {
        m_spool->put(header);
        m_spool->flush();
    }
    return true;
}

void MonitorLog::discard()
{
    m_spool.reset();
    m_file->discard();
}

void MonitorLog::row(const ReceivedFrame& frame, std::uint64_t index, const char* direction)
{
    std::string& line = m_row;
    line = SimClock::timeOfDay(frame.startWallNs);
    line[8] = ',';
    // As the tool logs it: the len byte cut to the data bytes it kept.
    const std::uint8_t head[] = {LinkFrame::StartByte, frame.type, static_cast<std::uint8_t>(frame.data.size())};
    HexBytes::append(line, head, sizeof head);
    HexBytes::append(line, frame.data.data(), frame.data.size());
    HexBytes::append(line, &frame.checksum, 1);
    line += " - [" + std::to_string(index) + "]";
    if (direction)
        line += std::string(" ") + direction;
    line += '\n';
    ++m_offered;
    for (std::size_t i = 12; i < line.size(); ++i) {
        if (line[i] == ' ')
            line[i] = ',';
    }
    m_spool->put(line);
}

