// Receive state machine of the simulated device.
#include "framedecoder.h"

#include "linkframe.h"

#include <algorithm>

FrameDecoder::FrameDecoder(FrameSink& sink, std::size_t keepData)
    : m_sink(sink)
    , m_keepData(keepData)
{
    m_frame.data.reserve(std::min<std::size_t>(keepData, 255));
}

void FrameDecoder::feed(const std::uint8_t* bytes, std::size_t count, std::int64_t wallNs)
{
    for (std::size_t i = 0; i < count; ++i)
        step(bytes[i], wallNs);
}

void FrameDecoder::reset()
{
    m_state = State::WaitStart;
}

void FrameDecoder::step(std::uint8_t byte, std::int64_t wallNs)
{
    switch (m_state) {
    case State::WaitStart:
        if (byte == LinkFrame::StartByte) {
            m_frame.startWallNs = wallNs;
            m_frame.data.clear();
            m_state = State::WaitType;
        } else if (byte == LinkFrame::Ack || byte == LinkFrame::Nak) {
            // Replies only count between frames; inside one they are data.
            m_sink.replyReceived(byte);
        } else {
            m_sink.noiseReceived(byte);
        }
        return;
    case State::WaitType:
        m_frame.type = byte;
        m_sum = byte;
        m_state = State::WaitLen;
        return;
    case State::WaitLen:
        m_frame.len = byte;
        m_keep = std::min<std::size_t>(byte, m_keepData);
        m_sum = static_cast<std::uint8_t>(m_sum + byte);
        m_state = m_keep > 0 ? State::WaitData : State::WaitSum;
        return;
    case State::WaitData:
        m_frame.data.push_back(byte);
        m_sum = static_cast<std::uint8_t>(m_sum + byte);
        if (m_frame.data.size() >= m_keep)
            m_state = State::WaitSum;
        return;
    case State::WaitSum:
        m_frame.checksum = byte;
        m_frame.good = static_cast<std::uint8_t>(~m_sum) == byte;
        m_state = State::WaitStart;
        m_sink.frameReceived(m_frame);
        return;
    }
}
