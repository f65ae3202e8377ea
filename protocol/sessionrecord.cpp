// The session's record through the shared capture writer.
#include "sessionrecord.h"

#include "pcapngwriter.h"

SessionRecord::SessionRecord()
    : m_writer(new PcapngWriter)
{
}

SessionRecord::~SessionRecord() = default;

std::string SessionRecord::pathBeside(const std::string& logPath)
{
    const std::string csv = ".csv";
    std::string path = logPath;
    if (path.size() > csv.size()) {
        std::string tail = path.substr(path.size() - csv.size());
        for (char& c : tail)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (tail == csv)
            path.resize(path.size() - csv.size());
    }
    return path + ".pcapng";
}

bool SessionRecord::open(const std::string& path, const std::string& description, std::string& error)
{
    return m_writer->open(path, description, error, "korvane", "korvane-session");
}

bool SessionRecord::active() const
{
    return m_writer->active();
}

void SessionRecord::sent(std::int64_t wallNs, const std::uint8_t* frame, std::size_t count)
{
    if (m_writer->active())
        m_writer->packet(PcapngWriter::Direction::Outbound, wallNs, frame, count);
}

void SessionRecord::received(std::int64_t wallNs, const std::uint8_t* frame, std::size_t count, std::uint64_t logIndex)
{
    if (m_writer->active())
        m_writer->packet(PcapngWriter::Direction::Inbound, wallNs, frame, count,
                         logIndex ? "[" + std::to_string(logIndex) + "]" : std::string());
}

void SessionRecord::replySent(std::int64_t wallNs, std::uint8_t reply)
{
    if (m_writer->active())
        m_writer->packet(PcapngWriter::Direction::Outbound, wallNs, &reply, 1);
}

void SessionRecord::replyReceived(std::int64_t wallNs, std::uint8_t reply)
{
    if (m_writer->active())
        m_writer->packet(PcapngWriter::Direction::Inbound, wallNs, &reply, 1);
}

bool SessionRecord::flush()
{
    return !m_writer->pending() || m_writer->flush();
}

const std::string& SessionRecord::why() const
{
    return m_writer->why();
}

const std::string& SessionRecord::path() const
{
    return m_writer->path();
}

void SessionRecord::drain(std::int64_t deadlineNs)
{
    // The spool's own flush: a failure stays for flush() to say.
    m_writer->drain(deadlineNs);
}
