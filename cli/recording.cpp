#include "recording.h"

#include "monitorlog.h"
#include "pcapngwriter.h"

#include <cstdio>

struct Recording::Files
{
    MonitorLog log;
    PcapngWriter pcap;
};

Recording::Recording()
    : m_files(new Files)
{
}

Recording::~Recording() = default;

bool Recording::open(const std::string& logPath, const std::string& pcapPath, const std::string& description,
                     std::string& error)
{
    if (!logPath.empty() && !pcapPath.empty() && AppendFile::sameFile(logPath, pcapPath)) {
        error = "--log and --pcap name the same file";
        return false;
    }
    return (logPath.empty() || m_files->log.open(logPath, error, false))
        && (pcapPath.empty() || m_files->pcap.open(pcapPath, description, error));
}

void Recording::packet(bool inbound, std::int64_t wallNs, const std::uint8_t* bytes, std::size_t count)
{
    if (m_files->pcap.active())
        m_files->pcap.packet(inbound ? PcapngWriter::Direction::Inbound : PcapngWriter::Direction::Outbound, wallNs,
                             bytes, count);
}

void Recording::row(const ReceivedFrame& frame, std::uint64_t index)
{
    if (m_files->log.active())
        m_files->log.row(frame, index, nullptr);
}

void Recording::flush()
{
    if (m_files->log.pending() && !m_files->log.flush())
        std::fprintf(stderr, "korvane-cli: the log stopped: %s\n", m_files->log.why().c_str());
    if (m_files->pcap.pending() && !m_files->pcap.flush())
        std::fprintf(stderr, "korvane-cli: the capture stopped: %s\n", m_files->pcap.why().c_str());
}

void Recording::drain(std::int64_t deadlineNs)
{
    flush();
    m_files->log.drain(deadlineNs);
    m_files->pcap.drain(deadlineNs);
}
