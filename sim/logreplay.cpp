// Replaying a traffic log.
#include "logreplay.h"

#include "linkframe.h"

#include <cmath>

LogReplay::LogReplay(std::vector<TrafficLog::Row> rows, double speed)
    : m_rows(std::move(rows))
    , m_speed(speed)
{
}

std::int64_t LogReplay::offsetNs(std::size_t index) const
{
    // Far beyond any run, yet far enough from the 64-bit end that the base
    // time added to it cannot wrap round and make a late row due at once.
    constexpr double LatestNs = 1e18;
    if (m_speed <= 0)
        return 0;
    const double ns = static_cast<double>(m_rows[index].offsetMs) * 1e6 / m_speed;
    return static_cast<std::int64_t>(std::llround(ns < LatestNs ? ns : LatestNs));
}

void LogReplay::start(std::int64_t nowNs)
{
    if (m_running || finished())
        return;
    m_base = nowNs - offsetNs(m_next);
    m_running = true;
}

std::int64_t LogReplay::nextDeadline() const
{
    if (!m_running || finished())
        return -1;
    return m_base + offsetNs(m_next);
}

void LogReplay::emitDue(std::int64_t nowNs, OutQueue& queue, std::size_t queueLimit)
{
    while (m_running && !finished() && queue.pending() < queueLimit && m_base + offsetNs(m_next) <= nowNs) {
        const std::vector<std::uint8_t>& bytes = m_rows[m_next].bytes;
        // Sent exactly as logged; a row edited into a wrong checksum counts as a bad frame.
        const std::uint8_t* data = bytes.data() + 3;
        const int count = static_cast<int>(bytes.size()) - LinkFrame::Overhead;
        const bool good = LinkFrame::checksum(bytes[1], bytes[2], data, count) == bytes.back();
        queue.push(bytes.data(), bytes.size(), good ? ChunkKind::Frame : ChunkKind::BadFrame,
                   static_cast<std::int64_t>(m_next));
        ++m_next;
    }
}
