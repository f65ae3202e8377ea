#pragma once
// Bytes on their way to the tool, in order, with a mark at the end of each
// frame, noise run and reply, so the simulator counts only what was really
// written and can stamp the moment a frame's last byte left.

#include <cstdint>
#include <deque>
#include <vector>

enum class ChunkKind { Frame, BadFrame, Noise, Reply, Raw };

class ChunkListener
{
public:
    virtual ~ChunkListener() = default;
    // The last byte of a chunk was written; wallNs is taken right after the
    // write call returned. seq is -1 for chunks without a sequence number.
    virtual void chunkWritten(ChunkKind kind, std::int64_t seq, std::size_t bytes, std::int64_t wallNs) = 0;
};

class OutQueue
{
public:
    enum class Result { Drained, WouldBlock, Failed };

    void push(const std::uint8_t* bytes, std::size_t count, ChunkKind kind, std::int64_t seq = -1);
    // Writes as much as fd takes without blocking. useSend selects send() with
    // MSG_NOSIGNAL, so a vanished TCP peer is an error and not a SIGPIPE.
    Result writeTo(int fd, bool useSend, ChunkListener& listener);
    // Forgets everything not yet written (the peer went away).
    void clear();

    bool empty() const { return pending() == 0; }
    std::size_t pending() const { return m_buf.size() - m_head; }
    std::uint64_t bytesWritten() const { return m_written; }

private:
    struct Mark
    {
        std::uint64_t end; // stream position just past the chunk
        ChunkKind kind;
        std::int64_t seq;
        std::size_t bytes;
    };

    std::vector<std::uint8_t> m_buf;
    std::size_t m_head = 0;
    std::uint64_t m_written = 0; // stream position of m_buf[m_head]
    std::deque<Mark> m_marks;
};
