// Ordered, loss-free output towards the tool.
#include "outqueue.h"

#include "monoclock.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

void OutQueue::push(const std::uint8_t* bytes, std::size_t count, ChunkKind kind, std::int64_t seq)
{
    if (count == 0)
        return;
    // Reclaim the written head once it is worth the copy.
    if (m_head > 65536 && m_head * 2 > m_buf.size()) {
        m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(m_head));
        m_head = 0;
    }
    m_buf.insert(m_buf.end(), bytes, bytes + count);
    m_marks.push_back({m_written + pending(), kind, seq, count});
}

OutQueue::Result OutQueue::writeTo(int fd, bool useSend, ChunkListener& listener)
{
    while (pending() > 0) {
        const std::uint8_t* from = m_buf.data() + m_head;
        ssize_t n = useSend ? ::send(fd, from, pending(), MSG_NOSIGNAL) : ::write(fd, from, pending());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return Result::WouldBlock;
            return Result::Failed;
        }
        if (n == 0)
            return Result::WouldBlock;
        const std::int64_t stamp = SimClock::wallNs();
        m_head += static_cast<std::size_t>(n);
        m_written += static_cast<std::uint64_t>(n);
        while (!m_marks.empty() && m_marks.front().end <= m_written) {
            const Mark mark = m_marks.front();
            m_marks.pop_front();
            listener.chunkWritten(mark.kind, mark.seq, mark.bytes, stamp);
        }
    }
    m_buf.clear();
    m_head = 0;
    return Result::Drained;
}

void OutQueue::clear()
{
    m_buf.clear();
    m_head = 0;
    m_marks.clear();
}
