#pragma once
// The link frame that crosses the wire in both directions and the one-byte
// replies. Plain C++, shared with the simulator and the Windows test program;
// the record a received frame is decoded into is in typedata.h.
//
//   0x2E | type | len | data[len] | checksum
//
// checksum = ~(type + len + data...) in 8 bits; the start byte is not summed.
// There is no escaping: 0x2E, 0xF0 and 0xFF may stand anywhere inside a frame.

#include <cstdint>

namespace LinkFrame {

constexpr std::uint8_t StartByte = 0x2E;
constexpr std::uint8_t Ack = 0xFF; // checksum matched
constexpr std::uint8_t Nak = 0xF0; // checksum failed

constexpr int MaxRecordData = 50; // data bytes a received record holds
constexpr int MinSendData = 1;    // the tool never sends a frame without data
constexpr int MaxSendData = 13;   // one hex digit 0..D in a send panel
constexpr int Overhead = 4;       // start, type, len, checksum
constexpr int MaxSendFrame = MaxSendData + Overhead;

// One's complement of the 8-bit sum of type, len and data.
inline std::uint8_t checksum(std::uint8_t type, std::uint8_t len, const std::uint8_t* data, int count)
{
    std::uint8_t sum = static_cast<std::uint8_t>(type + len);
    for (int i = 0; i < count; ++i)
        sum = static_cast<std::uint8_t>(sum + data[i]);
    return static_cast<std::uint8_t>(~sum);
}

// Writes the whole frame for type, len and len data bytes into out, which
// must hold len + Overhead bytes. Returns the frame's length.
inline int encode(std::uint8_t type, std::uint8_t len, const std::uint8_t* data, std::uint8_t* out)
{
    out[0] = StartByte;
    out[1] = type;
    out[2] = len;
    for (int i = 0; i < len; ++i)
        out[3 + i] = data[i];
    out[3 + len] = checksum(type, len, data, len);
    return len + Overhead;
}

} // namespace LinkFrame
