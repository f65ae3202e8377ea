#pragma once
// The device's receive side: a byte state machine that assembles link frames
// from whatever the tool sends and tells a sink about each complete frame and
// each stray reply byte. Unlike the tool it keeps every data byte a len byte
// announces (up to 255), so the printed line shows exactly what arrived.

#include <cstdint>
#include <vector>

struct ReceivedFrame
{
    std::int64_t startWallNs = 0; // CLOCK_REALTIME when the start byte was decoded
    std::uint8_t type = 0;
    std::uint8_t len = 0;
    std::vector<std::uint8_t> data;
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
};

class FrameDecoder
{
public:
    explicit FrameDecoder(FrameSink& sink);

    // wallNs stamps a frame whose start byte is among these bytes.
    void feed(const std::uint8_t* bytes, std::size_t count, std::int64_t wallNs);
    // Drops a half-received frame; used when the peer changes.
    void reset();
    bool inFrame() const { return m_state != State::WaitStart; }

private:
    enum class State { WaitStart, WaitType, WaitLen, WaitData, WaitSum };

    void step(std::uint8_t byte, std::int64_t wallNs);

    FrameSink& m_sink;
    State m_state = State::WaitStart;
    ReceivedFrame m_frame;
    std::uint8_t m_sum = 0;
};
