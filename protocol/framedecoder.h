#pragma once
// The device's receive side: a byte state machine that assembles link frames
// from whatever the tool sends and tells a sink about each complete frame and
// each stray reply byte. Unlike the tool it keeps every data byte a len byte
// announces (up to 255), so the printed line shows exactly what arrived;
// the monitor asks it to keep 50 and so to read a line as the tool does.

#include <cstdint>
#include <vector>

struct ReceivedFrame
{
    std::int64_t startWallNs = 0; // CLOCK_REALTIME when the start byte was decoded
    std::uint8_t type = 0;
    std::uint8_t len = 0;             // as received
    std::vector<std::uint8_t> data;   // the data bytes kept, up to len
    std::uint8_t checksum = 0;    // as received
    bool good = false;            // checksum matched
};

class FrameSink
{
public:
    virtual ~FrameSink() = default;
    virtual void frameReceived(const ReceivedFrame& frame) = 0;
    // 0xFF or 0xF0 seen while waiting for a start byte.
    virtual void replyReceived(std::uint8_t reply) = 0;
    // Any other byte seen while waiting for a start byte.
    virtual void noiseReceived(std::uint8_t) {}
};

class FrameDecoder
{
public:
    // keepData: data bytes kept of a frame; after that many the next byte is
    // taken as the checksum, as the tool takes it after 50.
    explicit FrameDecoder(FrameSink& sink, std::size_t keepData = 255);

    // wallNs stamps a frame whose start byte is among these bytes.
    void feed(const std::uint8_t* bytes, std::size_t count, std::int64_t wallNs);
    // Drops a half-received frame; used when the peer changes.
    void reset();
    bool inFrame() const { return m_state != State::WaitStart; }

private:
    enum class State { WaitStart, WaitType, WaitLen, WaitData, WaitSum };

    void step(std::uint8_t byte, std::int64_t wallNs);

    FrameSink& m_sink;
    std::size_t m_keepData;
    std::size_t m_keep = 0; // data bytes kept of the current frame
    State m_state = State::WaitStart;
    ReceivedFrame m_frame;
    std::uint8_t m_sum = 0;
};
