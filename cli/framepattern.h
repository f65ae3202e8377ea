#pragma once
// A received frame to wait for: its type byte, then its data bytes, in hex
// pairs with "??" for any byte ("01 ?? 0A"). A frame matches when its
// checksum is good, it has exactly as many data bytes as the pattern has
// after the type, and every byte that is given is equal.

#include "framedecoder.h"

#include <string>
#include <vector>

class FramePattern
{
public:
    // The empty pattern: any good frame.
    FramePattern() = default;
    // False, with the reason, for text that is no pattern.
    bool parse(const std::string& text, std::string& error);
    bool matches(const ReceivedFrame& frame) const;

private:
    std::vector<int> m_bytes; // type, then data; -1 for "??"
};
