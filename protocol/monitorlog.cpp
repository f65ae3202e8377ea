// Rows of the monitor's traffic log.
#include "monitorlog.h"

#include "hexbytes.h"
#include "linkframe.h"
#include "monoclock.h"

#include <ctime>

namespace {

constexpr std::size_t SpoolLimit = 256 * 1024;

} // namespace

bool MonitorLog::open(const std::string& path, std::string& error, bool directions, std::int64_t headerWallNs)
{
    if (!m_file->create(path, error))
        return false;
    m_spool = std::make_unique<OutputSpool>(SpoolLimit, [file = m_file](const std::string& rows) {
        return file->write(rows.data(), rows.size(), [&](std::size_t done) {
            const std::size_t lineEnd = rows.rfind('\n', done - 1);
            return lineEnd == std::string::npos ? 0 : lineEnd + 1;
        });
    }, !m_file->isRegular());
    const time_t now = headerWallNs ? static_cast<time_t>(headerWallNs / 1000000000) : std::time(nullptr);
    tm local{};
    SimClock::localTime(now, local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "New Data ,%Y-%m-%d \nnew Time ,%H:%M:%S,\n\n\n\n", &local);
    m_spool->put(std::string("Korvane Bus Traffic File \n") + stamp + "time,time_ms,head,type,len,data,...,...,-,inx"
                 + (directions ? ",dir\n" : "\n"));
    m_spool->flush();
    return true;
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
    for (std::size_t i = 12; i < line.size(); ++i) {
        if (line[i] == ' ')
            line[i] = ',';
    }
    m_spool->put(line);
}

