#include "recording.h"

#include <cstdio>

namespace {

// At most one "dropped" event a second.
constexpr std::int64_t ReportNs = 1000000000;

} // namespace

bool Recording::open(const std::string& logPath, const std::string& pcapPath, const std::string& port, std::string& error)
{
    return m_files.open(logPath, false, pcapPath, {"korvane-cli " KORVANE_VERSION, port, "korvane-cli on " + port}, error);
}

void Recording::packet(bool inbound, std::int64_t wallNs, const std::uint8_t* bytes, std::size_t count)
{
    if (m_files.pcap.active())
        m_files.pcap.packet(inbound ? PcapngWriter::Direction::Inbound : PcapngWriter::Direction::Outbound, wallNs,
                             bytes, count);
}

void Recording::row(const ReceivedFrame& frame, std::uint64_t index)
{
    if (m_files.log.active())
        m_files.log.row(frame, index, nullptr);
}

void Recording::flush()
{
    for (const std::string& news : m_files.flush("the run goes on"))
        std::fprintf(stderr, "korvane-cli: %s\n", news.c_str());
}

void Recording::drain(std::int64_t deadlineNs)
{
    flush();
    m_files.log.drain(deadlineNs);
    m_files.pcap.drain(deadlineNs);
    m_drained = true;
}

RecordFiles::Lacking Recording::dropped() const
{
    return m_drained ? m_files.lacking() : m_files.dropped();
}

bool Recording::dropReport(std::int64_t nowNs, RecordFiles::Lacking& counts)
{
    const RecordFiles::Lacking now = dropped();
    if (!(now != m_reported) || (nowNs != Final && nowNs < m_reportedNs + ReportNs))
        return false;
    m_reported = counts = now;
    m_reportedNs = nowNs;
    return true;
}

std::int64_t Recording::dropReportDueNs() const
{
    return dropped() != m_reported ? m_reportedNs + ReportNs : -1;
}

std::string Recording::summary() const
{
    const RecordFiles::Lacking lacking = dropped();
    if (!lacking.any())
        return std::string();
    return "the record is incomplete: " + std::to_string(lacking.logRows) + " log rows and "
        + std::to_string(lacking.pcapPackets) + " capture packets were dropped";
}
