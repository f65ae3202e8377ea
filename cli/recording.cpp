#include "recording.h"

#include <cstdio>

bool Recording::open(const std::string& logPath, const std::string& pcapPath, const std::string& description,
                     std::string& error)
{
    return m_files.open(logPath, false, pcapPath, {"korvane-cli " KORVANE_VERSION, "korvane-cli", description}, error);
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
