#include "framepattern.h"

#include "hexbytes.h"

#include <cctype>

bool FramePattern::parse(const std::string& text, std::string& error)
{
    m_bytes.clear();
    std::string pair;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) && pair.empty())
            continue;
        pair += c;
        if (pair.size() < 2)
            continue;
        if (pair == "??") {
            m_bytes.push_back(-1);
        } else if (HexBytes::digit(pair[0]) >= 0 && HexBytes::digit(pair[1]) >= 0) {
            m_bytes.push_back(HexBytes::digit(pair[0]) * 16 + HexBytes::digit(pair[1]));
        } else {
            error = "not a hex byte or ?? in the pattern: \"" + pair + "\"";
            return false;
        }
        pair.clear();
    }
    if (!pair.empty()) {
        error = "the pattern ends in half a byte";
        return false;
    }
    // A frame holds a type and at most 255 data bytes.
    if (m_bytes.size() > 256) {
        error = "the pattern is longer than any frame";
        return false;
    }
    return true;
}

bool FramePattern::matches(const ReceivedFrame& frame) const
{
    if (!frame.good)
        return false;
    // A frame cut short after 50 data bytes matches only the empty pattern.
    return m_bytes.empty() || (frame.len == frame.data.size() && matchesBytes(frame.type, frame.data.data(), frame.data.size()));
}

bool FramePattern::matchesBytes(std::uint8_t type, const std::uint8_t* data, std::size_t count) const
{
    if (m_bytes.empty())
        return true;
    if (count + 1 != m_bytes.size())
        return false;
    if (m_bytes[0] >= 0 && m_bytes[0] != type)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (m_bytes[i + 1] >= 0 && m_bytes[i + 1] != data[i])
            return false;
    }
    return true;
}
