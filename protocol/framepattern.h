#pragma once
// A frame to look for: its type byte, then its data bytes, in hex pairs
// with "??" for any byte ("01 ?? 0A"). korvane-cli waits for a received
// frame that matches; the history filters and searches with it. A frame
// matches when it has exactly as many data bytes as the pattern has after
// the type and every byte that is given is equal; matches() also wants a
// good checksum, as a frame korvane-cli waits for must be one the tool
// would take.

#include "framedecoder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class FramePattern
{
public:
    // The empty pattern: any frame.
    FramePattern() = default;
    // False, with the reason, for text that is no pattern.
    bool parse(const std::string& text, std::string& error);
    bool empty() const { return m_bytes.empty(); }
    // A good frame whose type and data match.
    bool matches(const ReceivedFrame& frame) const;
    // Whether a frame of this type can match: a quick test before decoding.
    bool mayMatchType(std::uint8_t type) const { return m_bytes.empty() || m_bytes[0] < 0 || m_bytes[0] == type; }
    // The type and data bytes match, whatever the checksum.
    bool matchesBytes(std::uint8_t type, const std::uint8_t* data, std::size_t count) const;

private:
    std::vector<int> m_bytes; // type, then data; -1 for "??"
};
